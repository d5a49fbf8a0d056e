#pragma once

#include "foundation/globals.h"

#include <QString>
#include <QtGlobal>

#include <memory>
#include <mutex>
#include <utility>
#include <vector>

// One affiliate account as a plain value: what the account refresh hands to updateToken, and the copy a reader
// takes of a stored record. Unix seconds are kept in 64 bits.
struct TAlimmTokenData {
    QString userId;
    QString userName;
    qint64 authTime = 0;
    qint64 expTime = 0;
    QString token;
    QString cookies;
    QString _tb_token_;
    bool isLogin = false;
    bool readLock = false;
    bool listed = true; // in the operator's latest account list; only listed accounts are synchronised
};

class TAlimmTokenMgr;

// A record owned by the store. Workers, the datagram thread and the main thread share it while updateToken and
// updateCookies assign it, so every field is read and written under the store's lock; a caller that needs several
// fields that belong together takes one Snapshot().
class TAlimmTokenRecord {
    // Only the store creates records.
    class TKey {
        friend class TAlimmTokenMgr;
        TKey() = default;
    };

public:
    TAlimmTokenRecord(TKey, std::mutex& ACS, TAlimmTokenData AData)
        : FCS(ACS)
        , FData(std::move(AData))
    {
    }
    TAlimmTokenRecord(const TAlimmTokenRecord&) = delete;
    TAlimmTokenRecord& operator=(const TAlimmTokenRecord&) = delete;

    TAlimmTokenData Snapshot() const;
    QString userId() const;
    QString userName() const;
    qint64 authTime() const;
    qint64 expTime() const;
    QString token() const;
    QString cookies() const;
    QString _tb_token_() const;
    bool isLogin() const;
    bool readLock() const;
    bool listed() const;

    void setIsLogin(bool AValue);
    void setReadLock(bool AValue);

private:
    friend class TAlimmTokenMgr;

    std::mutex& FCS;
    TAlimmTokenData FData;
};

// An account has a web session when it holds cookies; the refund report and the keep-alive need one.
bool HasWebSession(const TAlimmTokenRecord& AAccount);

using PAlimmTokenData = TAlimmTokenRecord*;

// The process-wide store of the affiliate accounts: TOP tokens and web-session cookies. Records are only ever
// appended; a PAlimmTokenData stays valid, and an index keeps naming the same record, until the store is destroyed.
// Accounts are matched by their trimmed user id, letter case significant.
class TAlimmTokenMgr {
public:
    TAlimmTokenMgr() = default;
    TAlimmTokenMgr(const TAlimmTokenMgr&) = delete;
    TAlimmTokenMgr& operator=(const TAlimmTokenMgr&) = delete;

    // Inserts the account (isLogin false, whatever the argument says) or refreshes only its authTime, expTime
    // and token; either way the account is listed.
    void updateToken(TAlimmTokenData token);
    // Marks every account whose trimmed user id is not among AUserIds as no longer listed: the operator took it
    // out of the list, so it is not synchronised any more (its record stays, as every record does).
    void keepListed(const std::vector<QString>& AUserIds);
    // Stores the cookies of a known account, marks it signed in and extracts its "_tb_token_=value" pair; the
    // pair keeps its old value when the cookies hold none followed by ';'. An unknown user id changes nothing.
    void updateCookies(const QString& userId, const QString& cookies);

    // Rotating read: the record at the cursor, read-locked for the caller, or nullptr when it is already
    // read-locked; the cursor moves on in both cases. Returns nullptr on an empty store.
    PAlimmTokenData get();
    PAlimmTokenData get(const QString& userId) const;
    PAlimmTokenData GetItem(qint32 index) const;
    PAlimmTokenData Items(qint32 index) const { return GetItem(index); }
    qint32 count() const;

private:
    PAlimmTokenData Find(const QString& trimmedUserId) const;

    mutable std::mutex FCS;
    std::vector<std::unique_ptr<TAlimmTokenRecord>> List;
    qint32 FReadIndex = 0;
};

inline TAlimmTokenMgr* AlimmTokenMgr()
{
    return TGlobal<TAlimmTokenMgr>::Get();
}
