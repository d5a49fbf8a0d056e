#include "foundation/qjson.h"

#include "foundation/nodepath.h"
#include "foundation/qerror.h"
#include "foundation/qjsonnumbers.h"
#include "foundation/qjsonstore.h"

#include <cmath>

void TQJson::TText::Own(QString AValue)
{
    FOwned = std::move(AValue);
    FData = FOwned.constData();
    FSize = FOwned.size();
}

QString TQJson::TText::ToString() const
{
    if (!FOwned.isNull() && FData == FOwned.constData())
        return FOwned;
    return FData == nullptr ? QString() : QString(FData, FSize);
}

void TQJson::TText::Reset()
{
    Refer(nullptr, 0);
}

TQJson::TQJson()
    : FInteger(0)
{
}

TQJson::TQJson(TQJsonStore* AStore, TQJson* AParent)
    : FInteger(0)
    , FParent(AParent)
    , FStore(AStore)
{
}

TQJson::~TQJson()
{
    if (!FItems.empty())
        ReleaseChildren();
}

TQJsonStore* TQJson::Store()
{
    if (FStore == nullptr) {
        FOwnStore = std::make_unique<TQJsonStore>();
        FStore = FOwnStore.get();
    }
    return FStore;
}

// Walks the subtree with a list instead of recursion: a parsed tree may be deep.
void TQJson::ReleaseChildren()
{
    if (FItems.empty())
        return;
    std::vector<TQJson*> pending;
    pending.swap(FItems);
    while (!pending.empty()) {
        TQJson* node = pending.back();
        pending.pop_back();
        pending.insert(pending.end(), node->FItems.begin(), node->FItems.end());
        node->FItems.clear();
        FStore->Release(node);
    }
}

void TQJson::ResetValue()
{
    ReleaseChildren();
    FValue.Reset();
    FInteger = 0;
}

void TQJson::SetDataType(TQJsonDataType AType)
{
    if (FDataType == AType)
        return;
    ResetValue();
    FDataType = AType;
}

TQJson* TQJson::NewChild()
{
    if (!IsContainer())
        SetDataType(jdtObject);
    TQJson* child = Store()->Allocate(this);
    FItems.push_back(child);
    return child;
}

TQJson* TQJson::Add(const QString& AName)
{
    TQJson* child = NewChild();
    child->FName.Own(AName);
    return child;
}

void TQJson::Clear()
{
    ReleaseChildren();
}

void TQJson::Delete(int AIndex)
{
    TQJson* child = Items(AIndex);
    FItems.erase(FItems.begin() + AIndex);
    child->ReleaseChildren();
    FStore->Release(child);
}

TQJson* TQJson::Items(int AIndex) const
{
    if (AIndex < 0 || AIndex >= Count())
        throw EQuenlarError(QStringLiteral("Argument out of range"));
    return FItems[size_t(AIndex)];
}

quint32 TQJson::NameHash() const
{
    if (FNameHash == 0)
        FNameHash = NodeNameHash(FName.View());
    return FNameHash;
}

TQJson* TQJson::ItemByName(QStringView AName) const
{
    if (FDataType != jdtObject)
        return nullptr;
    quint32 hash = 0;
    for (TQJson* child : FItems) {
        // Only names of the same length get hashed, and each at most once.
        if (child->FName.FSize != AName.size())
            continue;
        if (hash == 0)
            hash = NodeNameHash(AName);
        if (child->NameHash() == hash && child->FName.View() == AName)
            return child;
    }
    return nullptr;
}

int TQJson::IndexOf(QStringView AName) const
{
    const TQJson* child = ItemByName(AName);
    for (int i = 0; child != nullptr && i < Count(); ++i)
        if (FItems[size_t(i)] == child)
            return i;
    return -1;
}

QString TQJson::MemberText(QStringView AName) const
{
    const TQJson* member = ItemByName(AName);
    return member != nullptr ? member->AsString() : QString();
}

TQJson* TQJson::ItemByPath(QStringView APath) const
{
    return WalkNodePath(
        const_cast<TQJson*>(this), APath, [](TQJson* ANode, QStringView AName) { return ANode->ItemByName(AName); },
        [](TQJson* ANode, qint64 AIndex) { return AIndex < ANode->Count() ? ANode->FItems[size_t(AIndex)] : nullptr; });
}

QString TQJson::TypeName(TQJsonDataType AType)
{
    switch (AType) {
    case jdtUnknown:
        return QStringLiteral("Unknown");
    case jdtNull:
        return QStringLiteral("Null");
    case jdtString:
        return QStringLiteral("String");
    case jdtInteger:
        return QStringLiteral("Integer");
    case jdtFloat:
        return QStringLiteral("Float");
    case jdtBcd:
        return QStringLiteral("Bcd");
    case jdtBoolean:
        return QStringLiteral("Boolean");
    case jdtArray:
        return QStringLiteral("Array");
    case jdtObject:
        return QStringLiteral("Object");
    }
    return QStringLiteral("Unknown");
}

void TQJson::RaiseConvert(const char16_t* ATarget) const
{
    QString message = TypeName(FDataType);
    message += u" 不是一个有效的 ";
    message += QStringView(ATarget);
    message += u" 类型的值。";
    throw EQuenlarError(message);
}

// Digits with the point before the fraction, without superfluous zeros.
QString TQJson::BcdText() const
{
    QStringView text = FValue.View();
    bool negative = false;
    if (!text.isEmpty() && (text.front() == u'-' || text.front() == u'+')) {
        negative = text.front() == u'-';
        text = text.mid(1);
    }
    const qsizetype point = text.indexOf(u'.');
    QStringView integer = point < 0 ? text : text.left(point);
    QStringView fraction = point < 0 ? QStringView() : text.mid(point + 1);
    while (!integer.isEmpty() && integer.front() == u'0')
        integer = integer.mid(1);
    while (!fraction.isEmpty() && fraction.back() == u'0')
        fraction.chop(1);
    QString out;
    out.reserve(text.size() + 2);
    if (negative && (!integer.isEmpty() || !fraction.isEmpty()))
        out += u'-';
    if (integer.isEmpty())
        out += u'0';
    else
        out += integer;
    if (!fraction.isEmpty()) {
        out += u'.';
        out += fraction;
    }
    return out;
}

qint64 TQJson::StringToInt64() const
{
    TTextNumber number;
    if (!ReadTextNumber(FValue.View(), number))
        RaiseConvert(u"Numeric");
    if (number.FIsInteger)
        return number.FInteger;
    qint64 value = 0;
    if (!TruncToInt64(number.FFloat, value))
        RaiseConvert(u"Numeric");
    return value;
}

double TQJson::StringToFloat() const
{
    TTextNumber number;
    if (!ReadTextNumber(FValue.View(), number))
        RaiseConvert(u"Numeric");
    return number.FIsInteger ? double(number.FInteger) : number.FFloat;
}

QString TQJson::AsString() const
{
    switch (FDataType) {
    case jdtString:
        return FValue.ToString();
    case jdtInteger:
        return QString::number(FInteger);
    case jdtFloat:
        return FloatText(FFloat);
    case jdtBcd:
        return BcdText();
    case jdtBoolean:
        return FBoolean ? QStringLiteral("true") : QStringLiteral("false");
    case jdtArray:
    case jdtObject:
        return Encode(true, false, QStringLiteral("  "));
    default:
        return QString();
    }
}

QString TQJson::NumberText() const
{
    if (FDataType == jdtFloat && FValue.FData != nullptr)
        return FValue.ToString();
    return AsString();
}

qint64 TQJson::AsInt64() const
{
    switch (FDataType) {
    case jdtNull:
        return 0;
    case jdtString:
        return StringToInt64();
    case jdtInteger:
        return FInteger;
    case jdtFloat: {
        qint64 value = 0;
        if (!TruncToInt64(FFloat, value))
            RaiseConvert(u"Numeric");
        return value;
    }
    case jdtBcd: {
        const QString text = BcdText();
        const bool negative = text.startsWith(u'-');
        const QStringView unsignedText = QStringView(text).sliced(negative ? 1 : 0);
        const qsizetype point = unsignedText.indexOf(u'.');
        const std::optional<qint64> value
            = SignedInteger(point < 0 ? unsignedText : unsignedText.first(point), negative);
        if (!value)
            RaiseConvert(u"Numeric");
        return *value;
    }
    case jdtBoolean:
        return FBoolean ? 1 : 0;
    default:
        RaiseConvert(u"Numeric");
    }
}

int TQJson::AsInteger() const
{
    return static_cast<int>(static_cast<quint32>(static_cast<quint64>(AsInt64())));
}

double TQJson::AsFloat() const
{
    switch (FDataType) {
    case jdtNull:
        return 0;
    case jdtString:
        return StringToFloat();
    case jdtInteger:
        return double(FInteger);
    case jdtFloat:
        return FFloat;
    case jdtBcd: {
        double value = 0;
        if (!DecimalToDouble(BcdText(), value))
            RaiseConvert(u"Numeric");
        return value;
    }
    case jdtBoolean:
        return FBoolean ? 1 : 0;
    default:
        RaiseConvert(u"Numeric");
    }
}

bool TQJson::AsBoolean() const
{
    switch (FDataType) {
    case jdtString: {
        const QStringView text = FValue.View();
        if (text.compare(u"true", Qt::CaseInsensitive) == 0)
            return true;
        if (text.compare(u"false", Qt::CaseInsensitive) == 0)
            return false;
        TTextNumber number;
        if (!ReadTextNumber(text, number))
            RaiseConvert(u"Boolean");
        return number.FIsInteger ? number.FInteger != 0 : number.FFloat != 0;
    }
    case jdtInteger:
        return FInteger != 0;
    case jdtFloat:
        return FFloat != 0;
    case jdtBcd:
        for (const QChar c : FValue.View())
            if (c.unicode() >= u'1' && c.unicode() <= u'9')
                return true;
        return false;
    case jdtBoolean:
        return FBoolean;
    default:
        RaiseConvert(u"Boolean");
    }
}

void TQJson::SetAsString(const QString& AValue)
{
    SetDataType(jdtString);
    FValue.Own(AValue);
}

void TQJson::SetAsInteger(qint64 AValue)
{
    SetDataType(jdtInteger);
    FInteger = AValue;
}

void TQJson::SetAsFloat(double AValue)
{
    if (!std::isfinite(AValue))
        throw EQuenlarError(QStringLiteral("NaN/+∞/-∞不受JSON规范支持。"));
    SetDataType(jdtFloat);
    FValue.Reset();
    FFloat = AValue;
}

void TQJson::SetAsBoolean(bool AValue)
{
    SetDataType(jdtBoolean);
    FBoolean = AValue;
}

void TQJson::SetNull()
{
    SetDataType(jdtNull);
}
