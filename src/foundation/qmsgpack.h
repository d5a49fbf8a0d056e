#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>

#include <cstdint>
#include <memory>
#include <vector>

enum TQMsgPackType {
    mptUnknown,
    mptInteger,
    mptNull,
    mptBoolean,
    mptSingle,
    mptFloat,
    mptString,
    mptBinary,
    mptArray,
    mptMap,
    mptExtended,
    mptDateTime
};

// A small tree of named, typed values. The program uses it as the payload record of main-thread jobs: a worker
// builds it, the job owns it, the main thread reads it.
class TQMsgPack {
public:
    TQMsgPack() = default;
    ~TQMsgPack();
    TQMsgPack(const TQMsgPack&) = delete;
    TQMsgPack& operator=(const TQMsgPack&) = delete;

    TQMsgPack* Add(const QString& AName, const QString& AValue);
    TQMsgPack* Add(const QString& AName, qint64 AValue);
    TQMsgPack* Add(const QString& AName, int AValue) { return Add(AName, static_cast<qint64>(AValue)); }

    // Segments split at '.', '/' and '\'; "name[i]" or "[i]" selects a child by position. Nil when not found.
    TQMsgPack* ItemByPath(QStringView APath) const;

    QString AsString() const;
    int AsInteger() const;

    TQMsgPackType DataType() const { return FDataType; }
    QString Name() const;
    TQMsgPack* Parent() const { return FParent; }
    int Count() const { return static_cast<int>(FItems.size()); }
    TQMsgPack* Items(int AIndex) const;

private:
    void SetDataType(TQMsgPackType AType);
    TQMsgPack* NewChild(const QString& AName);
    TQMsgPack* ChildByName(QStringView AName) const;
    quint32 KeyHash() const;

    QByteArray FKey; // UTF-16 code units of the key
    mutable quint32 FKeyHash = 0;
    QByteArray FValue; // 8 bytes little-endian for mptInteger, UTF-16 code units for mptString
    std::vector<std::unique_ptr<TQMsgPack>> FItems;
    TQMsgPack* FParent = nullptr;
    TQMsgPackType FDataType = mptUnknown;
    TQMsgPackType FKeyType = mptUnknown;
};
