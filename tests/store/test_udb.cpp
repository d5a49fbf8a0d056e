#include "store/udb.h"

#include "foundation/qerror.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <sqlite3.h>

#include <chrono>
#include <csignal>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

namespace {

using TRow = std::tuple<int, std::string, std::string>;

// A second, independent connection to the cache file: the fixture's view of what really is on disk.
class TRawConnection {
public:
    explicit TRawConnection(const QString& path)
    {
        sqlite3* raw = nullptr;
        FOpenResult = sqlite3_open_v2(path.toUtf8().constData(), &raw, SQLITE_OPEN_READWRITE, nullptr);
        FDB.reset(raw);
    }
    bool IsOpen() const { return FOpenResult == SQLITE_OK; }
    int Exec(const char* sql) { return sqlite3_exec(FDB.get(), sql, nullptr, nullptr, nullptr); }
    std::vector<std::string> Column(const char* sql, int column)
    {
        std::vector<std::string> values;
        sqlite3_stmt* raw = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(FDB.get(), sql, -1, &raw, nullptr), SQLITE_OK) << sqlite3_errmsg(FDB.get());
        const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> statement(raw, sqlite3_finalize);
        while (sqlite3_step(raw) == SQLITE_ROW)
            values.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(raw, column)));
        return values;
    }
    std::vector<TRow> Rows()
    {
        std::vector<TRow> rows;
        sqlite3_stmt* raw = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(FDB.get(),
                      "select order_type, parent_order_id, child_order_id from cache_order "
                      "order by rowid",
                      -1, &raw, nullptr),
            SQLITE_OK);
        const std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)> statement(raw, sqlite3_finalize);
        while (sqlite3_step(raw) == SQLITE_ROW)
            rows.emplace_back(sqlite3_column_int(raw, 0), reinterpret_cast<const char*>(sqlite3_column_text(raw, 1)),
                reinterpret_cast<const char*>(sqlite3_column_text(raw, 2)));
        return rows;
    }

private:
    std::unique_ptr<sqlite3, int (*)(sqlite3*)> FDB {nullptr, sqlite3_close_v2};
    int FOpenResult = SQLITE_ERROR;
};

class OrderCache : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(FDir.isValid());
        CreateOrderCache(Path());
    }
    QString Path() const { return FDir.filePath(QStringLiteral("db.db")); }
    std::vector<TRow> Rows() const { return TRawConnection(Path()).Rows(); }
    // The orders of one batch, parent id first.
    static std::vector<TDBCacheClass::TOrderKey> Ids(std::initializer_list<std::pair<const char*, const char*>> AIds)
    {
        std::vector<TDBCacheClass::TOrderKey> ids;
        for (const auto& [parent, child] : AIds)
            ids.emplace_back(QString::fromUtf8(parent), QString::fromUtf8(child));
        return ids;
    }

    QTemporaryDir FDir;
    TDBCacheClass FCache {FDir.path()};
};

TEST_F(OrderCache, FileLivesInTheGivenFolder)
{
    EXPECT_EQ(FCache.dbFileName(), QDir(FDir.path()).absoluteFilePath(QStringLiteral("db.db")));
}

TEST_F(OrderCache, OrderTypesAreKeptApart)
{
    FCache.add(Ids({{"P1", "C1"}}), 0);
    FCache.add(Ids({{"P2", "C2"}}), 1);

    EXPECT_EQ(Rows(), (std::vector<TRow> {{0, "P1", "C1"}, {1, "P2", "C2"}}));
    const struct {
        const char16_t* parent;
        const char16_t* child;
        int type;
        bool found;
    } cases[] = {
        {u"P1", u"C1", 0, true},
        {u"P1", u"C1", 1, false},
        {u"P2", u"C2", 1, true},
        {u"P2", u"C2", 0, false},
        {u"P1", u"C2", 0, false},
        {u"p1", u"c1", 0, false},
        {u"C1", u"P1", 0, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FCache.existOrder(QString::fromUtf16(c.parent), QString::fromUtf16(c.child), c.type), c.found)
            << QString::fromUtf16(c.parent).toStdString() << '/' << QString::fromUtf16(c.child).toStdString() << '/'
            << c.type;
}

TEST_F(OrderCache, IdsAreTrimmedAndQuotesKept)
{
    FCache.add(Ids({{" \tP1\r\n", "  C1 "}, {"P'2", "C''2"}, {"P\"3", "订单3"}}), 0);

    EXPECT_EQ(Rows(), (std::vector<TRow> {{0, "P1", "C1"}, {0, "P'2", "C''2"}, {0, "P\"3", "订单3"}}));
    EXPECT_TRUE(FCache.existOrder(QStringLiteral("\tP1 "), QStringLiteral("\nC1\x01"), 0));
    EXPECT_TRUE(FCache.existOrder(QStringLiteral("P'2"), QStringLiteral("C''2"), 0));
    EXPECT_FALSE(FCache.existOrder(QStringLiteral("P'2"), QStringLiteral("C'2"), 0));
    EXPECT_FALSE(FCache.existOrder(QStringLiteral("P'2' or '1'='1"), QStringLiteral("x' or '1'='1"), 0));
    EXPECT_TRUE(FCache.existOrder(QStringLiteral("P\"3"), QStringLiteral("订单3"), 0));
    // Only blanks and control characters are trimmed, not the no-break space.
    EXPECT_FALSE(FCache.existOrder(QStringLiteral("P1\u00A0"), QStringLiteral("C1"), 0));
}

TEST_F(OrderCache, OrdersWithoutBothIdsAreSkipped)
{
    FCache.add(Ids({{"P1", ""}, {"", "C3"}, {" \t ", "C4"}, {"", ""}, {"P5", "C5"}}), 1);
    EXPECT_EQ(Rows(), (std::vector<TRow> {{1, "P5", "C5"}}));
}

TEST_F(OrderCache, ARepeatedOrderIsRecordedWithItsBatch)
{
    const std::vector<TDBCacheClass::TOrderKey> batch = Ids({{"P1", "C1"}, {"P1", "C1"}, {"P2", "C2"}});
    FCache.add(batch, 0);
    FCache.add(batch, 0);
    EXPECT_EQ(Rows().size(), 6u);
    EXPECT_TRUE(FCache.existOrder(QStringLiteral("P2"), QStringLiteral("C2"), 0));
}

TEST_F(OrderCache, AFailingInsertRollsTheWholeBatchBackAndSaysWhy)
{
    ASSERT_EQ(TRawConnection(Path()).Exec("create trigger refuse before insert on cache_order "
                                          "when new.child_order_id = 'BAD' begin select raise(abort, 'refused'); end"),
        SQLITE_OK);
    const QString failure = FCache.add(Ids({{"P1", "C1"}, {"P2", "BAD"}, {"P3", "C3"}}), 0);
    EXPECT_EQ(failure, QStringLiteral("订单缓存 ") + Path() + QStringLiteral(" 无法记录:refused"));
    EXPECT_TRUE(Rows().empty());

    // No transaction was left open: the next batch is written.
    EXPECT_EQ(FCache.add(Ids({{"P4", "C4"}}), 0), QString());
    EXPECT_EQ(Rows(), (std::vector<TRow> {{0, "P4", "C4"}}));
}

// A missing file is an error of the lookup, not "not delivered yet": answering false would send every order again.
TEST_F(OrderCache, MissingFileIsNeitherWrittenNorCreatedAndFailsLookups)
{
    ASSERT_TRUE(QFile::remove(Path()));
    EXPECT_FALSE(FCache.add(Ids({{"P1", "C1"}}), 0).isEmpty());
    EXPECT_FALSE(FCache.add(Ids({{"P1", "C1"}}), 1).isEmpty());
    EXPECT_THROW(FCache.existOrder(QStringLiteral("P1"), QStringLiteral("C1"), 0), ECacheError);
    EXPECT_FALSE(QFile::exists(Path()));
}

TEST_F(OrderCache, LookupFailuresRaiseWithTheMessageOfSqlite)
{
    ASSERT_EQ(TRawConnection(Path()).Exec("drop table cache_order"), SQLITE_OK);
    FCache.add(Ids({{"P1", "C1"}}), 0); // swallowed
    try {
        FCache.existOrder(QStringLiteral("P1"), QStringLiteral("C1"), 0);
        FAIL() << "no error raised";
    } catch (const ECacheError& error) {
        EXPECT_EQ(error.Message(),
            QStringLiteral("订单缓存 ") + Path() + QStringLiteral(" 查询失败:no such table: cache_order"));
    }

    QFile file(Path());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(QByteArray(4096, 'x'));
    file.close();
    FCache.add(Ids({{"P1", "C1"}}), 0); // swallowed
    try {
        FCache.existOrder(QStringLiteral("P1"), QStringLiteral("C1"), 0);
        FAIL() << "no error raised";
    } catch (const ECacheError& error) {
        EXPECT_EQ(
            error.Message(), QStringLiteral("订单缓存 ") + Path() + QStringLiteral(" 查询失败:file is not a database"));
    }
}

TEST_F(OrderCache, PreparingAgainKeepsRowsAndTheLookupUsesTheIndex)
{
    FCache.add(Ids({{"P1", "C1"}}), 0);
    CreateOrderCache(Path());
    EXPECT_EQ(Rows().size(), 1u);
    const std::vector<std::string> plan = TRawConnection(Path()).Column(
        "explain query plan select * from cache_order where order_type=0 and parent_order_id='P1' and "
        "child_order_id='C1'",
        3);
    ASSERT_EQ(plan.size(), 1u);
    EXPECT_NE(plan[0].find("USING COVERING INDEX cache_order_lookup"), std::string::npos) << plan[0];
}

TEST_F(OrderCache, ALookupWaitsForABatchBeingWritten)
{
    FCache.add(Ids({{"P1", "C1"}}), 0);
    TRawConnection writer(Path());
    ASSERT_EQ(writer.Exec("begin exclusive"), SQLITE_OK);

    // Past the busy time-out (none here) the lookup fails as a cache error, never as "not cached".
    TDBCacheClass impatient(FDir.path(), 0);
    EXPECT_THROW(impatient.existOrder(QStringLiteral("P1"), QStringLiteral("C1"), 0), ECacheError);
    EXPECT_THROW(impatient.existOrders({{QStringLiteral("P1"), QStringLiteral("C1")}}, 0), ECacheError);
    EXPECT_NE(impatient.add(Ids({{"P2", "C2"}}), 0), QString());

    auto lookup = std::async(
        std::launch::async, [this] { return FCache.existOrder(QStringLiteral("P1"), QStringLiteral("C1"), 0); });
    // Give the lookup a moment to meet the lock; it passes just the same if it comes later.
    EXPECT_EQ(lookup.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    ASSERT_EQ(writer.Exec("commit"), SQLITE_OK);
    EXPECT_TRUE(lookup.get());
}

TEST_F(OrderCache, BatchesAndLookupsFromSeveralThreads)
{
    constexpr int kBatches = 20;
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([this, t] {
            for (int b = 0; b < kBatches; ++b) {
                std::vector<TDBCacheClass::TOrderKey> batch;
                for (int i = 0; i < 10; ++i)
                    batch.emplace_back(QStringLiteral("T%1B%2").arg(t).arg(b), QString::number(i));
                FCache.add(batch, 0);
            }
        });
    }
    threads.emplace_back([this] {
        for (int b = 0; b < kBatches * 2; ++b)
            EXPECT_NO_THROW(FCache.existOrder(QStringLiteral("T0B%1").arg(b % kBatches), QStringLiteral("3"), 0));
    });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(Rows().size(), 2u * kBatches * 10);
    EXPECT_TRUE(FCache.existOrder(QStringLiteral("T1B19"), QStringLiteral("9"), 0));
}

TEST_F(OrderCache, WatermarksAreKeptPerAccountAndStatus)
{
    const QString account = QStringLiteral("2200000000001");
    EXPECT_FALSE(FCache.watermark(account, 13));
    ASSERT_TRUE(FCache.setWatermark(account, 13, {1700000000, 1699990000}));
    ASSERT_TRUE(FCache.setWatermark(account, 14, {1700000100, 1700000100}));
    ASSERT_TRUE(FCache.setWatermark(account, 13, {1700000600, 1699990000}));
    const std::optional<TOrderWatermark> mark = FCache.watermark(account, 13);
    ASSERT_TRUE(mark);
    EXPECT_EQ(mark->updatedTo, 1700000600);
    EXPECT_EQ(mark->fullAt, 1699990000);
    EXPECT_EQ(FCache.watermark(account, 14)->updatedTo, 1700000100);
    EXPECT_FALSE(FCache.watermark(QStringLiteral("2200000000002"), 13));
}

TEST_F(OrderCache, WatermarkTableIsAddedToACacheFileThatLacksIt)
{
    // A cache prepared before watermarks existed: only the order table.
    ASSERT_TRUE(QFile::remove(Path()));
    {
        sqlite3* raw = nullptr;
        ASSERT_EQ(
            sqlite3_open_v2(Path().toUtf8().constData(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr),
            SQLITE_OK);
        const std::unique_ptr<sqlite3, int (*)(sqlite3*)> db(raw, sqlite3_close_v2);
        ASSERT_EQ(sqlite3_exec(raw,
                      "CREATE TABLE cache_order (order_type INTEGER, parent_order_id TEXT, child_order_id TEXT)",
                      nullptr, nullptr, nullptr),
            SQLITE_OK);
    }
    EXPECT_FALSE(FCache.watermark(QStringLiteral("a"), 13));
    ASSERT_TRUE(FCache.setWatermark(QStringLiteral("a"), 13, {5, 6}));
    EXPECT_EQ(FCache.watermark(QStringLiteral("a"), 13)->updatedTo, 5);
    EXPECT_EQ(
        TRawConnection(Path()).Column("select name from sqlite_master where name='order_watermark'", 0).size(), 1u);
}

TEST_F(OrderCache, WatermarksNeverCreateTheFile)
{
    ASSERT_TRUE(QFile::remove(Path()));
    EXPECT_FALSE(FCache.setWatermark(QStringLiteral("a"), 13, {5, 6}));
    EXPECT_FALSE(FCache.watermark(QStringLiteral("a"), 13));
    EXPECT_FALSE(QFile::exists(Path()));
}

struct TUnusableCase {
    const char* name;
    std::function<void(const QString& APath)> spoil; // makes the prepared file at APath unusable
    const char16_t* reason; // in the reason, after "订单缓存 <path> "
};

void WriteFile(const QString& APath, const QByteArray& ABytes)
{
    QFile file(APath);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(file.write(ABytes), ABytes.size());
}

void Execute(const QString& APath, const char* ASql)
{
    ASSERT_EQ(TRawConnection(APath).Exec(ASql), SQLITE_OK);
}

class UnusableCache : public OrderCache, public ::testing::WithParamInterface<TUnusableCase> { };

// Every case holds as root too: none of them relies on file modes.
TEST_P(UnusableCache, SaysWhyNamingTheFileAndWritesNothing)
{
    const TUnusableCase& c = GetParam();
    c.spoil(Path());
    const QString reason = FCache.unusableReason();
    EXPECT_TRUE(reason.startsWith(QStringLiteral("订单缓存 ") + Path() + u' ')) << reason.toStdString();
    EXPECT_TRUE(reason.contains(QString::fromUtf16(c.reason))) << reason.toStdString();
    // Asking again says the same: nothing was created or changed by the check.
    EXPECT_EQ(FCache.unusableReason(), reason);
}

INSTANTIATE_TEST_SUITE_P(Files, UnusableCache,
    ::testing::Values(TUnusableCase {"Missing", [](const QString& APath) { ASSERT_TRUE(QFile::remove(APath)); },
                          u"不存在,请先运行 quenlar-initdb "},
        TUnusableCase {"DirectoryInItsPlace",
            [](const QString& APath) {
                ASSERT_TRUE(QFile::remove(APath));
                ASSERT_TRUE(QDir().mkdir(APath));
            },
            u"是一个文件夹"},
        TUnusableCase {"ZeroBytes", [](const QString& APath) { WriteFile(APath, {}); },
            u"不是订单缓存数据库:no such table: cache_order"},
        TUnusableCase {"Garbage", [](const QString& APath) { WriteFile(APath, QByteArray(4096, 'x')); },
            u"不是订单缓存数据库:file is not a database"},
        TUnusableCase {"OtherSchema",
            [](const QString& APath) {
                Execute(APath, "drop table cache_order");
                Execute(APath, "create table orders (id integer primary key, note text)");
            },
            u"不是订单缓存数据库:no such table: cache_order"},
        TUnusableCase {"OrderTableWithOtherColumns",
            [](const QString& APath) {
                Execute(APath, "drop table cache_order");
                Execute(APath, "create table cache_order (order_id text)");
            },
            u"不是订单缓存数据库:no such column"},
        // Something else where the journal belongs: the file cannot be read safely, let alone written.
        TUnusableCase {"DirectoryInTheJournalsPlace",
            [](const QString& APath) { ASSERT_TRUE(QDir().mkdir(APath + QStringLiteral("-journal"))); }, u"无法读取:"},
        TUnusableCase {"WritesRefused",
            [](const QString& APath) {
                Execute(APath,
                    "create trigger refuse before insert on cache_order begin select raise(abort, 'refused'); end");
            },
            u"无法写入:refused"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(OrderCache, APreparedCacheIsUsableAndTheCheckLeavesNoRow)
{
    FCache.add(Ids({{"P1", "C1"}}), 0);
    EXPECT_EQ(FCache.unusableReason(), QString());
    EXPECT_EQ(Rows(), (std::vector<TRow> {{0, "P1", "C1"}}));
    EXPECT_FALSE(QFile::exists(Path() + QStringLiteral("-journal")));
}

TEST_F(OrderCache, ACacheLockedPastTheBusyTimeOutIsUnusable)
{
    TRawConnection holder(Path());
    ASSERT_EQ(holder.Exec("begin exclusive"), SQLITE_OK);
    const TDBCacheClass impatient(FDir.path(), 0);
    const QString reason = impatient.unusableReason();
    EXPECT_TRUE(reason.startsWith(QStringLiteral("订单缓存 ") + Path() + QStringLiteral(" 被其他程序锁定:")))
        << reason.toStdString();
    ASSERT_EQ(holder.Exec("commit"), SQLITE_OK);
    EXPECT_EQ(impatient.unusableReason(), QString());
}

// A file that cannot grow, as on a full disk: the process's file size limit refuses the journal, root or not.
TEST_F(OrderCache, ACacheThatCannotGrowIsUnusable)
{
    const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit previous {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &previous), 0);
    rlimit none = previous;
    none.rlim_cur = 0;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &none), 0);
    const QString reason = FCache.unusableReason();
    const QString failure = FCache.add(Ids({{"P1", "C1"}}), 0);
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previousHandler);
    EXPECT_TRUE(reason.startsWith(QStringLiteral("订单缓存 ") + Path() + QStringLiteral(" 无法写入:")))
        << reason.toStdString();
    EXPECT_FALSE(failure.isEmpty());
    EXPECT_EQ(FCache.unusableReason(), QString());
}

struct TModeCase {
    const char* name;
    bool folder; // the folder read-only, else the file
};

class ReadOnlyCache : public OrderCache, public ::testing::WithParamInterface<TModeCase> { };

// File modes bind only a process without root's override; as root these cases cannot be made and are skipped (the
// journal and file-size cases above cover the refused write for root).
TEST_P(ReadOnlyCache, IsUnusable)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "root ignores file modes";
    const QString target = GetParam().folder ? FDir.path() : Path();
    const QFile::Permissions before = QFile::permissions(target);
    ASSERT_TRUE(QFile::setPermissions(target, QFile::ReadOwner | QFile::ExeOwner));
    const QString reason = FCache.unusableReason();
    QFile::setPermissions(target, before);
    EXPECT_TRUE(reason.startsWith(QStringLiteral("订单缓存 ") + Path() + u' ')) << reason.toStdString();
    EXPECT_FALSE(reason.isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Modes, ReadOnlyCache,
    ::testing::Values(TModeCase {"ReadOnlyFile", false}, TModeCase {"ReadOnlyFolder", true}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
