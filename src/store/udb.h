#pragma once

#include "foundation/globals.h"
#include "foundation/qerror.h"
#include "store/orderWatermark.h"

#include <QByteArray>
#include <QString>
#include <QStringView>
#include <QtGlobal>

#include <mutex>
#include <optional>
#include <utility>
#include <vector>

// A failure of the order cache itself: a lookup or a record that SQLite refused (a lock held past the busy time-out,
// a missing table, an unreadable file) or a file that is not there. It fails the pass that needed the answer; it is
// never an empty answer.
class ECacheError : public EQuenlarError {
public:
    using EQuenlarError::EQuenlarError;
};

// The order cache "db.db": which orders the operator back end has already accepted, table cache_order. The file
// is prepared in the data folder (quenlar-initdb); the cache itself never creates it. Every call opens its own
// connection and closes it before returning.
class TDBCacheClass {
public:
    static constexpr int kDefaultBusyTimeoutMs = 5000;

    // AFolder is the data folder (--data-dir, QUENLAR_DATA_DIR, the executable's folder when it may be used, or
    // $XDG_DATA_HOME/quenlar), which the program entry chooses. A connection waits up to ABusyTimeoutMs for another
    // connection's lock before it fails.
    explicit TDBCacheClass(const QString& AFolder, int ABusyTimeoutMs = kDefaultBusyTimeoutMs);
    TDBCacheClass(const TDBCacheClass&) = delete;
    TDBCacheClass& operator=(const TDBCacheClass&) = delete;

    // Whether the cache can serve a pass: the file is there, opens, has the order table and takes a write (tried in
    // a transaction that is rolled back, so a read-only file or folder, a full disk or a lock held past the busy
    // time-out show). Empty when it can; otherwise why not, naming the file. A missing file's reason names the
    // command that prepares it.
    QString unusableReason() const;

    using TOrderKey = std::pair<QString, QString>; // parent id, child id

    // Record the orders of a delivered batch under order_type (0 invalid orders, 1 refunds); ids are trimmed, an
    // order lacking either is skipped. All or nothing: any failure records nothing of the batch. Answers why it was
    // not recorded (naming the file), empty when it was. Never creates the file.
    QString add(const std::vector<TOrderKey>& AOrders, qint32 order_type);

    // Whether that order is recorded under that type; ids are trimmed. Raises ECacheError, naming the file and
    // with SQLite's message, when the lookup fails (missing file or table, unreadable file, a lock held past the
    // busy time-out).
    bool existOrder(const QString& parent_order_id, const QString& child_order_id, qint32 order_type) const;

    // The same lookup for many orders over one connection: a page of downloaded orders costs one open, not one
    // per order. Answers in the order asked.
    std::vector<bool> existOrders(const std::vector<TOrderKey>& AOrders, qint32 order_type) const;

    // The watermark of an account and status, kept in table order_watermark of the same file (created there when
    // missing). Nothing without the file or the row, or when it cannot be read: the caller then reads the whole
    // window, which is always safe.
    std::optional<TOrderWatermark> watermark(const QString& AAccount, qint32 AStatus) const;
    // Records it; false when it could not be (no file, a write failure), which leaves the previous one.
    bool setWatermark(const QString& AAccount, qint32 AStatus, const TOrderWatermark& AValue);

    const QString& dbFileName() const { return FDBFileName; }

private:
    [[noreturn]] void RaiseMissing() const;

    std::mutex FCS; // one batch is written at a time
    const QString FDBFileName;
    const QByteArray FDBFileNameUtf8;
    const int FBusyTimeoutMs;
};

inline TDBCacheClass* DBCache()
{
    return TGlobal<TDBCacheClass>::Get();
}

// Creates the cache file with its table and index from the schema built into the program; an existing file keeps
// its rows, so running it again changes nothing. Raises EQuenlarError with SQLite's message on failure.
void CreateOrderCache(const QString& AFileName);
