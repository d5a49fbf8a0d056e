// The order cache against bare SQLite C loops on the same kind of file: a lookup (open, select, close) on caches
// of growing size, and one delivered batch of 100 orders (parsing included on our side).
#include "store/udb.h"

#include <QDir>
#include <QTemporaryDir>

#include <sqlite3.h>

#include <benchmark/benchmark.h>

#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using TConnection = std::unique_ptr<sqlite3, int (*)(sqlite3*)>;
using TStatement = std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)>;

TConnection OpenRaw(const std::string& path)
{
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
    TConnection db(raw, sqlite3_close_v2);
    if (rc != SQLITE_OK)
        throw std::runtime_error(sqlite3_errstr(rc));
    return db;
}

TStatement PrepareRaw(sqlite3* db, const char* sql)
{
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK)
        throw std::runtime_error(sqlite3_errmsg(db));
    return TStatement(raw, sqlite3_finalize);
}

// Ids shaped like Taobao's: 19 digits.
std::string ParentId(long long i)
{
    return std::to_string(2'000'000'000'000'000'000LL + i * 7919);
}
std::string ChildId(long long i)
{
    return std::to_string(3'000'000'000'000'000'000LL + i * 104'729);
}

const char kInsert[] = "insert into cache_order(order_type,parent_order_id,child_order_id) values(?1,?2,?3)";

// One folder per cache; it lives for the whole run, so each size is built only once.
class TCacheFolder {
public:
    explicit TCacheFolder(long long rows)
    {
        CreateOrderCache(Path());
        const TConnection db = OpenRaw(PathUtf8());
        sqlite3_exec(db.get(), "BEGIN", nullptr, nullptr, nullptr);
        const TStatement insert = PrepareRaw(db.get(), kInsert);
        for (long long i = 0; i < rows; ++i) {
            const std::string parent = ParentId(i);
            const std::string child = ChildId(i);
            sqlite3_bind_int(insert.get(), 1, 0);
            sqlite3_bind_text(insert.get(), 2, parent.c_str(), -1, SQLITE_STATIC);
            sqlite3_bind_text(insert.get(), 3, child.c_str(), -1, SQLITE_STATIC);
            sqlite3_step(insert.get());
            sqlite3_reset(insert.get());
        }
        sqlite3_exec(db.get(), "COMMIT", nullptr, nullptr, nullptr);
    }
    QString Folder() const { return FDir.path(); }
    QString Path() const { return FDir.filePath(QStringLiteral("db.db")); }
    std::string PathUtf8() const { return Path().toStdString(); }

private:
    QTemporaryDir FDir;
};

const TCacheFolder& CacheOf(long long rows)
{
    static std::map<long long, std::unique_ptr<TCacheFolder>> folders;
    auto& folder = folders[rows];
    if (!folder)
        folder = std::make_unique<TCacheFolder>(rows);
    return *folder;
}

struct TLookup {
    std::string parent;
    std::string child;
};

// Alternating hits (random recorded orders) and misses (a recorded parent with a child it does not have).
std::vector<TLookup> Lookups(long long rows)
{
    std::vector<TLookup> lookups;
    unsigned long long seed = 88172645463325252ULL;
    for (int i = 0; i < 1024; ++i) {
        seed ^= seed << 13;
        seed ^= seed >> 7;
        seed ^= seed << 17;
        const long long row = static_cast<long long>(seed % static_cast<unsigned long long>(rows));
        lookups.push_back({ParentId(row), i % 2 == 0 ? ChildId(row) : ChildId(row + rows)});
    }
    return lookups;
}

void BM_ExistOrderQuenlar(benchmark::State& state)
{
    const TCacheFolder& folder = CacheOf(state.range(0));
    const TDBCacheClass cache(folder.Folder());
    std::vector<std::pair<QString, QString>> lookups;
    for (const TLookup& lookup : Lookups(state.range(0)))
        lookups.emplace_back(QString::fromStdString(lookup.parent), QString::fromStdString(lookup.child));
    std::size_t i = 0;
    long long hits = 0;
    for (auto _ : state) {
        const auto& [parent, child] = lookups[i++ % lookups.size()];
        hits += cache.existOrder(parent, child, 0) ? 1 : 0;
    }
    state.counters["hit_ratio"] = static_cast<double>(hits) / static_cast<double>(state.iterations());
}

void BM_ExistOrderSqlite(benchmark::State& state)
{
    const std::string path = CacheOf(state.range(0)).PathUtf8();
    const std::vector<TLookup> lookups = Lookups(state.range(0));
    std::size_t i = 0;
    long long hits = 0;
    for (auto _ : state) {
        const TLookup& lookup = lookups[i++ % lookups.size()];
        sqlite3* db = nullptr;
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
        sqlite3_stmt* select = nullptr;
        sqlite3_prepare_v2(db,
            "select * from cache_order where order_type=?1 and parent_order_id=?2 and "
            "child_order_id=?3",
            -1, &select, nullptr);
        sqlite3_bind_int(select, 1, 0);
        sqlite3_bind_text(select, 2, lookup.parent.c_str(), -1, SQLITE_STATIC);
        sqlite3_bind_text(select, 3, lookup.child.c_str(), -1, SQLITE_STATIC);
        hits += sqlite3_step(select) == SQLITE_ROW ? 1 : 0;
        sqlite3_finalize(select);
        sqlite3_close(db);
    }
    state.counters["hit_ratio"] = static_cast<double>(hits) / static_cast<double>(state.iterations());
}

constexpr int kBatchOrders = 100;

// Each case writes into a fresh empty cache of its own.
void BM_AddBatchQuenlar(benchmark::State& state)
{
    const TCacheFolder folder(0);
    TDBCacheClass cache(folder.Folder());
    std::vector<TDBCacheClass::TOrderKey> batch;
    for (int i = 0; i < kBatchOrders; ++i)
        batch.emplace_back(QString::fromStdString(ParentId(i)), QString::fromStdString(ChildId(i)));
    for (auto _ : state)
        cache.add(batch, 0);
    state.SetItemsProcessed(state.iterations() * kBatchOrders);
}

void BM_AddBatchSqlite(benchmark::State& state)
{
    const TCacheFolder folder(0);
    const std::string path = folder.PathUtf8();
    std::vector<TLookup> orders;
    for (int i = 0; i < kBatchOrders; ++i)
        orders.push_back({ParentId(i), ChildId(i)});
    for (auto _ : state) {
        sqlite3* db = nullptr;
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
        sqlite3_exec(db, "BEGIN TRANSACTION", nullptr, nullptr, nullptr);
        sqlite3_stmt* insert = nullptr;
        sqlite3_prepare_v2(db, kInsert, -1, &insert, nullptr);
        for (const TLookup& order : orders) {
            sqlite3_bind_int(insert, 1, 0);
            sqlite3_bind_text(insert, 2, order.parent.c_str(), -1, SQLITE_STATIC);
            sqlite3_bind_text(insert, 3, order.child.c_str(), -1, SQLITE_STATIC);
            sqlite3_step(insert);
            sqlite3_reset(insert);
        }
        sqlite3_finalize(insert);
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }
    state.SetItemsProcessed(state.iterations() * kBatchOrders);
}

// Registered size by size, each rival right after ours, so both meet the file in the same state.
[[maybe_unused]] const bool kRegistered = [] {
    for (const long long rows : {10'000LL, 100'000LL, 1'000'000LL}) {
        benchmark::RegisterBenchmark("BM_ExistOrder/quenlar", BM_ExistOrderQuenlar)
            ->Arg(rows)
            ->Unit(benchmark::kMicrosecond);
        benchmark::RegisterBenchmark("BM_ExistOrder/sqlite", BM_ExistOrderSqlite)
            ->Arg(rows)
            ->Unit(benchmark::kMicrosecond);
    }
    benchmark::RegisterBenchmark("BM_AddBatch/quenlar", BM_AddBatchQuenlar)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("BM_AddBatch/sqlite", BM_AddBatchSqlite)->Unit(benchmark::kMicrosecond);
    return true;
}();

} // namespace
