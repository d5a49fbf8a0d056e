#include "foundation/qjson.h"

namespace {

void AppendIndent(QString& AOut, const QString& AIndent, int ALevel)
{
    for (int i = 0; i < ALevel; ++i)
        AOut += AIndent;
}

void AppendEscaped(QString& AOut, QStringView AText, bool ADoEscape)
{
    static constexpr char16_t kHex[] = u"0123456789abcdef";
    const QChar* run = AText.data();
    const QChar* const end = AText.data() + AText.size();
    for (const QChar* p = run; p != end; ++p) {
        const char16_t c = p->unicode();
        const bool plain = c >= 0x20 && c != u'"' && c != u'\\' && (!ADoEscape || c < 0x7F);
        if (plain)
            continue;
        AOut.append(run, p - run);
        run = p + 1;
        switch (c) {
        case u'"':
            AOut += u"\\\"";
            break;
        case u'\\':
            AOut += u"\\\\";
            break;
        case 8:
            AOut += u"\\b";
            break;
        case 9:
            AOut += u"\\t";
            break;
        case 10:
            AOut += u"\\n";
            break;
        case 12:
            AOut += u"\\f";
            break;
        case 13:
            AOut += u"\\r";
            break;
        default: {
            const char16_t escaped[]
                = {u'\\', u'u', kHex[(c >> 12) & 15], kHex[(c >> 8) & 15], kHex[(c >> 4) & 15], kHex[c & 15]};
            AOut.append(reinterpret_cast<const QChar*>(escaped), 6);
        }
        }
    }
    AOut.append(run, end - run);
}

} // namespace

QString TQJson::Encode(bool ADoFormat, bool ADoEscape, const QString& AIndent) const
{
    QString out;
    EncodeTo(out, ADoFormat, ADoEscape, AIndent, 0, false);
    return out;
}

void TQJson::EncodeTo(
    QString& AOut, bool ADoFormat, bool ADoEscape, const QString& AIndent, int ALevel, bool AWithName) const
{
    if (AWithName) {
        if (ADoFormat)
            AppendIndent(AOut, AIndent, ALevel);
        AOut += u'"';
        AppendEscaped(AOut, FName.View(), ADoEscape);
        AOut += u"\":";
    }
    switch (FDataType) {
    case jdtString:
        AOut += u'"';
        AppendEscaped(AOut, FValue.View(), ADoEscape);
        AOut += u'"';
        break;
    case jdtInteger:
    case jdtFloat:
    case jdtBcd:
    case jdtBoolean:
        AOut += AsString();
        break;
    case jdtObject:
        if (FItems.empty()) {
            AOut += u"{}";
            break;
        }
        AOut += u'{';
        if (ADoFormat)
            AOut += u"\r\n";
        for (const TQJson* child : FItems) {
            child->EncodeTo(AOut, ADoFormat, ADoEscape, AIndent, ALevel + 1, true);
            AOut += ADoFormat ? QStringView(u",\r\n") : QStringView(u",");
        }
        AOut.chop(ADoFormat ? 3 : 1);
        if (ADoFormat) {
            AOut += u"\r\n";
            AppendIndent(AOut, AIndent, ALevel);
        }
        AOut += u'}';
        break;
    case jdtArray: {
        AOut += u'[';
        bool nested = false;
        for (const TQJson* child : FItems) {
            if (ADoFormat && child->IsContainer()) {
                nested = true;
                AOut += u"\r\n";
                AppendIndent(AOut, AIndent, ALevel + 1);
            }
            child->EncodeTo(AOut, ADoFormat, ADoEscape, AIndent, ALevel + 1, false);
            AOut += u',';
        }
        if (!FItems.empty())
            AOut.chop(1);
        if (nested) {
            AOut += u"\r\n";
            AppendIndent(AOut, AIndent, ALevel);
        }
        AOut += u']';
        break;
    }
    default:
        AOut += u"null";
        break;
    }
}
