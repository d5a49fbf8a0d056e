#include "store/udb.h"

#include "foundation/qerror.h"
#include "foundation/textutil.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <sqlite3.h>

#include <memory>
#include <utility>
#include <vector>

// Generated at configure time from schema.sql: the whole schema and its watermark table alone.
extern const char QCacheOrderSchema[];
extern const char QOrderWatermarkSchema[];

namespace {

struct TConnectionClose {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct TStatementFinalize {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using TConnection = std::unique_ptr<sqlite3, TConnectionClose>;
using TStatement = std::unique_ptr<sqlite3_stmt, TStatementFinalize>;

const char kLookup[] = "select * from cache_order where order_type=?1 and parent_order_id=?2 and child_order_id=?3";
const char kInsert[] = "insert into cache_order(order_type,parent_order_id,child_order_id) values(?1,?2,?3)";

const char kWatermarkRead[] = "select updated_to,full_at from order_watermark where account=?1 and tk_status=?2";
const char kWatermarkWrite[]
    = "insert or replace into order_watermark(account,tk_status,updated_to,full_at) values(?1,?2,?3,?4)";

QString SqliteMessage(sqlite3* db, int rc)
{
    return db ? QString::fromUtf16(static_cast<const char16_t*>(sqlite3_errmsg16(db)))
              : QString::fromUtf8(sqlite3_errstr(rc));
}

[[noreturn]] void RaiseSqlite(sqlite3* db, int rc)
{
    throw ECacheError(SqliteMessage(db, rc));
}

QString CacheText(const QString& AFileName, const QString& AProblem)
{
    return QStringLiteral("订单缓存 ") + AFileName + u' ' + AProblem;
}

bool IsLock(int rc)
{
    return (rc & 0xFF) == SQLITE_BUSY || (rc & 0xFF) == SQLITE_LOCKED;
}

// Opens an existing file only: a file deleted after the existence test must not come back empty.
TConnection Open(const QByteArray& AFileName, int AFlags, int ABusyTimeoutMs)
{
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(AFileName.constData(), &raw, AFlags | SQLITE_OPEN_NOMUTEX, nullptr);
    TConnection db(raw);
    if (rc != SQLITE_OK)
        RaiseSqlite(raw, rc);
    sqlite3_busy_timeout(raw, ABusyTimeoutMs);
    return db;
}

TStatement Prepare(sqlite3* db, const char* ASql)
{
    sqlite3_stmt* raw = nullptr;
    const int rc = sqlite3_prepare_v2(db, ASql, -1, &raw, nullptr);
    TStatement statement(raw);
    if (rc != SQLITE_OK)
        RaiseSqlite(db, rc);
    return statement;
}

void Execute(sqlite3* db, const char* ASql)
{
    const int rc = sqlite3_exec(db, ASql, nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK)
        RaiseSqlite(db, rc);
}

void BindId(sqlite3_stmt* statement, int AIndex, const QString& AId)
{
    // The texts outlive the step, so SQLite need not copy them.
    sqlite3_bind_text16(statement, AIndex, AId.utf16(), static_cast<int>(AId.size() * 2), SQLITE_STATIC);
}

void BindOrder(sqlite3_stmt* statement, int AOrderType, const QString& AParent, const QString& AChild)
{
    sqlite3_bind_int(statement, 1, AOrderType);
    BindId(statement, 2, AParent);
    BindId(statement, 3, AChild);
}

// Rolls back whatever a failure left open; the connection is closed after it.
class TTransaction {
public:
    explicit TTransaction(sqlite3* db)
        : FDB(db)
    {
        Execute(FDB, "BEGIN TRANSACTION");
    }
    TTransaction(const TTransaction&) = delete;
    TTransaction& operator=(const TTransaction&) = delete;
    ~TTransaction()
    {
        if (!sqlite3_get_autocommit(FDB))
            sqlite3_exec(FDB, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    void Commit() { Execute(FDB, "COMMIT"); }

private:
    sqlite3* FDB;
};

} // namespace

TDBCacheClass::TDBCacheClass(const QString& AFolder, int ABusyTimeoutMs)
    : FDBFileName(QDir(AFolder).absoluteFilePath(QStringLiteral("db.db")))
    , FDBFileNameUtf8(FDBFileName.toUtf8())
    , FBusyTimeoutMs(ABusyTimeoutMs)
{
}

void TDBCacheClass::RaiseMissing() const
{
    throw ECacheError(CacheText(FDBFileName, QStringLiteral("不存在")));
}

QString TDBCacheClass::add(const std::vector<TOrderKey>& AOrders, qint32 order_type)
{
    if (!QFile::exists(FDBFileName))
        return CacheText(FDBFileName, QStringLiteral("不存在"));
    try {
        const std::scoped_lock lock(FCS);
        const TConnection db = Open(FDBFileNameUtf8, SQLITE_OPEN_READWRITE, FBusyTimeoutMs);
        TTransaction transaction(db.get());
        const TStatement insert = Prepare(db.get(), kInsert);
        for (const auto& [parentId, childId] : AOrders) {
            const QString parent = Trim(parentId);
            const QString child = Trim(childId);
            if (parent.isEmpty() || child.isEmpty())
                continue;
            BindOrder(insert.get(), order_type, parent, child);
            const int rc = sqlite3_step(insert.get());
            if (rc != SQLITE_DONE)
                RaiseSqlite(db.get(), rc);
            sqlite3_reset(insert.get());
        }
        transaction.Commit();
        return {};
    } catch (const EQuenlarError& error) {
        // The batch is not recorded; its orders are downloaded and delivered again by the next run.
        return CacheText(FDBFileName, QStringLiteral("无法记录:") + error.Message());
    }
}

QString TDBCacheClass::unusableReason() const
{
    const QFileInfo file(FDBFileName);
    if (!file.exists()) {
        return CacheText(
            FDBFileName, QStringLiteral("不存在,请先运行 quenlar-initdb ") + FDBFileName + QStringLiteral(" 准备它"));
    }
    if (file.isDir())
        return CacheText(FDBFileName, QStringLiteral("是一个文件夹,不是订单缓存文件"));
    sqlite3* raw = nullptr;
    int rc = sqlite3_open_v2(FDBFileNameUtf8.constData(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    const TConnection db(raw);
    if (rc != SQLITE_OK)
        return CacheText(FDBFileName, QStringLiteral("无法打开:") + SqliteMessage(raw, rc));
    sqlite3_busy_timeout(raw, FBusyTimeoutMs);
    if (sqlite3_db_readonly(raw, "main") == 1)
        return CacheText(FDBFileName, QStringLiteral("只能读取,无法记录已送达的订单"));
    const auto failed = [&](int ACode, const QString& AProblem) {
        return CacheText(
            FDBFileName, (IsLock(ACode) ? QStringLiteral("被其他程序锁定:") : AProblem) + SqliteMessage(raw, ACode));
    };
    // The lookup and the insert of a pass, prepared: the file is a database with the order table and its columns.
    for (const char* sql : {kLookup, kInsert}) {
        sqlite3_stmt* statement = nullptr;
        rc = sqlite3_prepare_v2(raw, sql, -1, &statement, nullptr);
        const TStatement owned(statement);
        if (rc != SQLITE_OK) {
            const bool foreign = (rc & 0xFF) == SQLITE_ERROR || (rc & 0xFF) == SQLITE_NOTADB;
            return failed(rc, foreign ? QStringLiteral("不是订单缓存数据库:") : QStringLiteral("无法读取:"));
        }
    }
    // A real write, rolled back: the journal must be created beside the file and a page written to it.
    if ((rc = sqlite3_exec(raw, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr)) != SQLITE_OK)
        return failed(rc, QStringLiteral("无法写入:"));
    sqlite3_stmt* statement = nullptr;
    rc = sqlite3_prepare_v2(raw, kInsert, -1, &statement, nullptr);
    const TStatement probe(statement);
    if (rc == SQLITE_OK) {
        BindOrder(statement, -1, QString(), QString());
        rc = sqlite3_step(statement);
    }
    const QString reason = rc == SQLITE_OK || rc == SQLITE_DONE ? QString() : failed(rc, QStringLiteral("无法写入:"));
    sqlite3_exec(raw, "ROLLBACK", nullptr, nullptr, nullptr);
    return reason;
}

bool TDBCacheClass::existOrder(const QString& parent_order_id, const QString& child_order_id, qint32 order_type) const
{
    return existOrders({{parent_order_id, child_order_id}}, order_type).front();
}

std::vector<bool> TDBCacheClass::existOrders(const std::vector<TOrderKey>& AOrders, qint32 order_type) const
{
    std::vector<bool> found(AOrders.size(), false);
    if (AOrders.empty())
        return found;
    if (!QFile::exists(FDBFileName))
        RaiseMissing();
    try {
        const TConnection db = Open(FDBFileNameUtf8, SQLITE_OPEN_READWRITE, FBusyTimeoutMs);
        const TStatement lookup = Prepare(db.get(), kLookup);
        for (size_t i = 0; i < AOrders.size(); ++i) {
            sqlite3_reset(lookup.get());
            BindOrder(lookup.get(), order_type, Trim(AOrders[i].first), Trim(AOrders[i].second));
            const int rc = sqlite3_step(lookup.get());
            if (rc != SQLITE_ROW && rc != SQLITE_DONE)
                RaiseSqlite(db.get(), rc);
            found[i] = rc == SQLITE_ROW;
        }
    } catch (const ECacheError& error) {
        throw ECacheError(CacheText(FDBFileName, QStringLiteral("查询失败:") + error.Message()));
    }
    return found;
}

std::optional<TOrderWatermark> TDBCacheClass::watermark(const QString& AAccount, qint32 AStatus) const
{
    if (!QFile::exists(FDBFileName))
        return std::nullopt;
    try {
        const TConnection db = Open(FDBFileNameUtf8, SQLITE_OPEN_READWRITE, FBusyTimeoutMs);
        Execute(db.get(), QOrderWatermarkSchema);
        const TStatement read = Prepare(db.get(), kWatermarkRead);
        BindId(read.get(), 1, AAccount);
        sqlite3_bind_int(read.get(), 2, AStatus);
        const int rc = sqlite3_step(read.get());
        if (rc == SQLITE_DONE)
            return std::nullopt;
        if (rc != SQLITE_ROW)
            RaiseSqlite(db.get(), rc);
        return TOrderWatermark {sqlite3_column_int64(read.get(), 0), sqlite3_column_int64(read.get(), 1)};
    } catch (const EQuenlarError&) {
        return std::nullopt;
    }
}

bool TDBCacheClass::setWatermark(const QString& AAccount, qint32 AStatus, const TOrderWatermark& AValue)
{
    if (!QFile::exists(FDBFileName))
        return false;
    try {
        const std::scoped_lock lock(FCS);
        const TConnection db = Open(FDBFileNameUtf8, SQLITE_OPEN_READWRITE, FBusyTimeoutMs);
        Execute(db.get(), QOrderWatermarkSchema);
        const TStatement write = Prepare(db.get(), kWatermarkWrite);
        BindId(write.get(), 1, AAccount);
        sqlite3_bind_int(write.get(), 2, AStatus);
        sqlite3_bind_int64(write.get(), 3, AValue.updatedTo);
        sqlite3_bind_int64(write.get(), 4, AValue.fullAt);
        const int rc = sqlite3_step(write.get());
        if (rc != SQLITE_DONE)
            RaiseSqlite(db.get(), rc);
        return true;
    } catch (const EQuenlarError&) {
        return false;
    }
}

void CreateOrderCache(const QString& AFileName)
{
    const TConnection db
        = Open(AFileName.toUtf8(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, TDBCacheClass::kDefaultBusyTimeoutMs);
    TTransaction transaction(db.get());
    Execute(db.get(), QCacheOrderSchema);
    transaction.Commit();
}
