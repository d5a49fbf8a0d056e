#include "foundation/qmsgpack.h"

#include <QtEndian>

#include <cstring>

namespace {

QByteArray Utf16Bytes(QStringView text)
{
    return QByteArray(reinterpret_cast<const char*>(text.utf16()), text.size() * qsizetype(sizeof(char16_t)));
}

QStringView Utf16View(const QByteArray& bytes)
{
    return QStringView(reinterpret_cast<const char16_t*>(bytes.constData()), bytes.size() / 2);
}

// FNV-1a over the code units; 0 is reserved for "not computed".
quint32 HashOf(QStringView text, bool ignoreCase)
{
    quint32 hash = 2166136261u;
    for (const QChar c : text) {
        const char16_t unit = ignoreCase ? c.toLower().unicode() : c.unicode();
        hash = (hash ^ unit) * 16777619u;
    }
    return hash == 0 ? 1 : hash;
}

// Splits "name[1][2]" into the name and its indices; false when the brackets are malformed.
bool SplitIndexed(QStringView segment, QStringView& name, std::vector<int>& indices)
{
    const qsizetype open = segment.indexOf(u'[');
    name = open < 0 ? segment : segment.left(open);
    for (qsizetype pos = open; pos >= 0 && pos < segment.size();) {
        if (segment[pos] != u'[')
            return false;
        const qsizetype close = segment.indexOf(u']', pos);
        if (close < 0)
            return false;
        bool ok = false;
        const int index = segment.mid(pos + 1, close - pos - 1).toInt(&ok);
        if (!ok)
            return false;
        indices.push_back(index);
        pos = close + 1;
    }
    return true;
}

} // namespace

TQMsgPack::~TQMsgPack() = default;

void TQMsgPack::SetDataType(TQMsgPackType AType)
{
    if (FDataType == AType)
        return;
    FDataType = AType;
    FItems.clear();
    FValue.clear();
    if (AType == mptInteger)
        FValue.resize(sizeof(qint64), '\0');
}

TQMsgPack* TQMsgPack::NewChild(const QString& AName)
{
    if (FDataType != mptArray && FDataType != mptMap)
        SetDataType(mptMap);
    auto child = std::make_unique<TQMsgPack>();
    child->FParent = this;
    child->FIgnoreCase = FIgnoreCase;
    child->FKey = Utf16Bytes(AName);
    child->FKeyType = mptString;
    child->FKeyHash = 0;
    FItems.push_back(std::move(child));
    return FItems.back().get();
}

TQMsgPack* TQMsgPack::Add(const QString& AName, const QString& AValue)
{
    TQMsgPack* child = NewChild(AName);
    child->SetDataType(mptString);
    child->FValue = Utf16Bytes(AValue);
    return child;
}

TQMsgPack* TQMsgPack::Add(const QString& AName, qint64 AValue)
{
    TQMsgPack* child = NewChild(AName);
    child->SetDataType(mptInteger);
    qToLittleEndian(AValue, child->FValue.data());
    return child;
}

QString TQMsgPack::Name() const
{
    return Utf16View(FKey).toString();
}

TQMsgPack* TQMsgPack::Items(int AIndex) const
{
    if (AIndex < 0 || AIndex >= Count())
        return nullptr;
    return FItems[static_cast<size_t>(AIndex)].get();
}

quint32 TQMsgPack::KeyHash() const
{
    if (FKeyHash == 0)
        FKeyHash = HashOf(Utf16View(FKey), FIgnoreCase);
    return FKeyHash;
}

TQMsgPack* TQMsgPack::ChildByName(QStringView AName) const
{
    if (FDataType != mptMap)
        return nullptr;
    const quint32 hash = HashOf(AName, FIgnoreCase);
    const Qt::CaseSensitivity cs = FIgnoreCase ? Qt::CaseInsensitive : Qt::CaseSensitive;
    for (const auto& item : FItems) {
        const QStringView key = Utf16View(item->FKey);
        if (key.size() == AName.size() && item->KeyHash() == hash && key.compare(AName, cs) == 0)
            return item.get();
    }
    return nullptr;
}

TQMsgPack* TQMsgPack::ItemByPath(QStringView APath) const
{
    const TQMsgPack* node = this;
    bool any = false;
    qsizetype start = 0;
    for (qsizetype i = 0; i <= APath.size(); ++i) {
        if (i < APath.size() && APath[i] != u'.' && APath[i] != u'/' && APath[i] != u'\\')
            continue;
        const QStringView segment = APath.mid(start, i - start);
        start = i + 1;
        if (segment.isEmpty())
            continue;
        QStringView name;
        std::vector<int> indices;
        if (!SplitIndexed(segment, name, indices))
            return nullptr;
        if (!name.isEmpty())
            node = node->ChildByName(name);
        for (const int index : indices) {
            if (node == nullptr || (node->FDataType != mptArray && node->FDataType != mptMap))
                return nullptr;
            node = node->Items(index);
        }
        if (node == nullptr)
            return nullptr;
        any = true;
    }
    return any ? const_cast<TQMsgPack*>(node) : nullptr;
}

QString TQMsgPack::AsString() const
{
    switch (FDataType) {
    case mptString:
        return Utf16View(FValue).toString();
    case mptInteger:
        return QString::number(qFromLittleEndian<qint64>(FValue.constData()));
    default:
        return {};
    }
}

int TQMsgPack::AsInteger() const
{
    if (FDataType == mptInteger)
        return static_cast<int>(qFromLittleEndian<qint64>(FValue.constData()));
    if (FDataType == mptString) {
        bool ok = false;
        const qint64 value = Utf16View(FValue).toLongLong(&ok);
        return ok ? static_cast<int>(value) : 0;
    }
    return 0;
}
