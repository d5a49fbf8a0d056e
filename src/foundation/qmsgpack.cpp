#include "foundation/qmsgpack.h"

#include "foundation/nodepath.h"

#include <QtEndian>

namespace {

QByteArray Utf16Bytes(QStringView text)
{
    return QByteArray(reinterpret_cast<const char*>(text.utf16()), text.size() * qsizetype(sizeof(char16_t)));
}

QStringView Utf16View(const QByteArray& bytes)
{
    return QStringView(reinterpret_cast<const char16_t*>(bytes.constData()), bytes.size() / 2);
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
        FKeyHash = NodeNameHash(Utf16View(FKey));
    return FKeyHash;
}

TQMsgPack* TQMsgPack::ChildByName(QStringView AName) const
{
    if (FDataType != mptMap)
        return nullptr;
    const quint32 hash = NodeNameHash(AName);
    for (const auto& item : FItems) {
        const QStringView key = Utf16View(item->FKey);
        if (key.size() == AName.size() && item->KeyHash() == hash && key == AName)
            return item.get();
    }
    return nullptr;
}

TQMsgPack* TQMsgPack::ItemByPath(QStringView APath) const
{
    return WalkNodePath(
        const_cast<TQMsgPack*>(this), APath,
        [](TQMsgPack* ANode, QStringView AName) { return ANode->ChildByName(AName); },
        [](TQMsgPack* ANode, qint64 AIndex) { return AIndex < ANode->Count() ? ANode->Items(int(AIndex)) : nullptr; });
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
