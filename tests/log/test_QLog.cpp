#include "log/QLog.h"

#include "foundation/qerror.h"
#include "testwait.h"

#include <QCoreApplication>
#include <QProcess>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

bool WaitUntil(const std::function<bool()>& ACondition)
{
    return WaitForCondition(ACondition);
}

bool AllDispatched(const TQLog& ALog)
{
    return WaitUntil([&] { return ALog.Flushed() == ALog.Count(); });
}

// What one writer saw, kept outside the writer so that it survives the writer's destruction.
struct TSeen {
    struct TEntry {
        TQLogLevel level;
        QString message;
        QString tag;
        quint32 threadId;
        std::thread::id writtenOn;
        bool onCastorThread;
    };
    std::mutex lock;
    std::vector<TEntry> entries;
    std::atomic<int> batchesStarted {0};
    std::atomic<int> batchesFinished {0};
    std::atomic<int> lazyFlushes {0};
    std::atomic<int> entriesAtDestruction {-1};
    std::atomic<bool> destroyed {false};

    std::size_t Size()
    {
        std::scoped_lock guard(lock);
        return entries.size();
    }
    std::vector<QString> Messages()
    {
        std::scoped_lock guard(lock);
        std::vector<QString> messages;
        for (const TEntry& entry : entries)
            messages.push_back(entry.message);
        return messages;
    }
};

class TRecordingWriter : public TQLogWriter {
public:
    explicit TRecordingWriter(TSeen& ASeen, bool ALazy = false)
        : FSeen(ASeen)
    {
        SetLazyMode(ALazy);
    }
    ~TRecordingWriter() override
    {
        FSeen.entriesAtDestruction = static_cast<int>(FSeen.Size());
        FSeen.destroyed = true;
    }
    void HandleNeeded() override { }
    bool WriteItem(const TQLogItem& AItem) override
    {
        std::scoped_lock guard(FSeen.lock);
        FSeen.entries.push_back({AItem.Level, LogItemMessage(AItem), LogItemTag(AItem), AItem.ThreadId,
            std::this_thread::get_id(), Castor() != nullptr && Castor()->IsCastorThread()});
        return true;
    }
    void BatchStarted() override { ++FSeen.batchesStarted; }
    void BatchFinished() override { ++FSeen.batchesFinished; }
    void FlushLazy() override { ++FSeen.lazyFlushes; }

private:
    TSeen& FSeen;
};

// Throws from every operation it can.
class TThrowingWriter : public TQLogWriter {
public:
    void HandleNeeded() override { }
    bool WriteItem(const TQLogItem&) override { throw std::runtime_error("writer fault"); }
    void BatchStarted() override { throw std::runtime_error("writer fault"); }
    void BatchFinished() override { throw 1; }
};

class TBaseHandleWriter : public TQLogWriter {
public:
    explicit TBaseHandleWriter(std::atomic<bool>& ADestroyed)
        : FDestroyed(ADestroyed)
    {
    }
    ~TBaseHandleWriter() override { FDestroyed = true; }

private:
    std::atomic<bool>& FDestroyed;
};

} // namespace

TEST(QLogItem, OneBlockWithMessageThenTag)
{
    struct TCase {
        QString message;
        QString tag;
        int msgLen;
        int tagLen;
        std::u16string text;
    };
    const TCase cases[] = {
        {QString(), QString(), 0, 0, u""},
        {QStringLiteral("ab"), QStringLiteral("t"), 4, 2, u"abt"},
        {QStringLiteral("同步完成"), QString(), 8, 0, u"同步完成"},
        {QString(), QStringLiteral("tag"), 0, 6, u"tag"},
    };
    for (const TCase& c : cases) {
        const TQLogItemPtr item = NewLogItem(llWarning, c.message, c.tag);
        EXPECT_EQ(item->MsgLen, c.msgLen);
        EXPECT_EQ(item->TagLen, c.tagLen);
        EXPECT_EQ(std::u16string(item->Text(), (c.msgLen + c.tagLen) / 2), c.text);
        EXPECT_EQ(LogItemMessage(*item), c.message);
        EXPECT_EQ(LogItemTag(*item), c.tag);
        EXPECT_EQ(item->Level, llWarning);
        EXPECT_EQ(item->Next, nullptr);
    }
}

TEST(QLogItem, StampsThreadAndTime)
{
    const QDateTime before = QDateTime::currentDateTime().addMSecs(-1);
    const TQLogItemPtr here = NewLogItem(llMessage, u"x", {});
    const TQLogItemPtr again = NewLogItem(llMessage, u"x", {});
    TQLogItemPtr there;
    std::thread([&] { there = NewLogItem(llMessage, u"x", {}); }).join();
    EXPECT_EQ(here->ThreadId, again->ThreadId);
    EXPECT_NE(here->ThreadId, there->ThreadId);
    EXPECT_GE(LogItemTime(*here), before);
    EXPECT_LE(LogItemTime(*here), QDateTime::currentDateTime());
    EXPECT_EQ(LogItemTime(*here).timeSpec(), Qt::LocalTime);
}

TEST(QLogWriter, FormatsAnItem)
{
    const TQLogItemPtr item = NewLogItem(llMessage, u"hello", u"tag");
    const QString text = TQLogWriter().FormatItem(*item);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\[\\d+\\]\\d\\d:\\d\\d:\\d\\d\\.\\d{3} Message:hello$"))
                    .match(text)
                    .hasMatch())
        << text.toStdString();
}

TEST(QLogWriter, AcceptsByEnabledLevelTagsAndFilter)
{
    struct TCase {
        const char* name;
        TQLogLevel level;
        QString tag;
        TQLogLevels levels;
        QStringList tags;
        bool enabled;
        int filter; // -1 none, 0 refuse, 1 accept
        bool accepted;
    };
    const TCase cases[] = {
        {"debug, all levels", llDebug, {}, ALL_LOG_LEVELS, {}, true, -1, true},
        {"level above 7", static_cast<TQLogLevel>(8), {}, ALL_LOG_LEVELS, {}, true, -1, false},
        {"negative level", static_cast<TQLogLevel>(-1), {}, ALL_LOG_LEVELS, {}, true, -1, false},
        {"level not accepted", llMessage, {}, QLogLevelBit(llError), {}, true, -1, false},
        {"level accepted", llError, {}, QLogLevelBit(llError), {}, true, -1, true},
        {"disabled", llError, {}, ALL_LOG_LEVELS, {}, false, -1, false},
        {"tag ignoring case", llError, QStringLiteral("NET"), ALL_LOG_LEVELS,
            {QStringLiteral("db"), QStringLiteral("net")}, true, -1, true},
        {"tag not listed", llError, QStringLiteral("ui"), ALL_LOG_LEVELS, {QStringLiteral("net")}, true, -1, false},
        {"empty tag, tags listed", llError, {}, ALL_LOG_LEVELS, {QStringLiteral("net")}, true, -1, false},
        {"filter refuses", llError, {}, ALL_LOG_LEVELS, {}, true, 0, false},
        {"filter accepts what levels refuse", llDebug, {}, QLogLevelBit(llError), {}, true, 1, true},
    };
    for (const TCase& c : cases) {
        TQLogWriter writer;
        writer.SetAcceptLevels(c.levels);
        writer.SetAcceptTags(c.tags);
        writer.SetEnabled(c.enabled);
        if (c.filter >= 0)
            writer.SetOnAccept([&c](const TQLogWriter&, const TQLogItem&, bool& AAccept) { AAccept = c.filter == 1; });
        const TQLogItemPtr item = NewLogItem(c.level, u"m", c.tag);
        EXPECT_EQ(writer.Accepts(*item), c.accepted) << c.name;
    }
}

TEST(QLog, EntriesReachTheWritersOnTheDispatchThread)
{
    TSeen seen;
    TQLog log;
    log.Castor()->AddWriter(std::make_unique<TRecordingWriter>(seen));
    log.Post(llDebug, u"x");
    log.Post(llMessage, u"y", u"tag");
    log.Post(static_cast<TQLogLevel>(8), u"never");
    EXPECT_EQ(log.Count(), 2);
    ASSERT_TRUE(AllDispatched(log));
    ASSERT_EQ(seen.Size(), 2u);
    EXPECT_EQ(seen.entries[0].level, llDebug);
    EXPECT_EQ(seen.entries[1].message, QStringLiteral("y"));
    EXPECT_EQ(seen.entries[1].tag, QStringLiteral("tag"));
    for (const TSeen::TEntry& entry : seen.entries) {
        EXPECT_TRUE(entry.onCastorThread);
        EXPECT_NE(entry.writtenOn, std::this_thread::get_id()); // never on the posting thread
    }
    EXPECT_GE(seen.batchesStarted.load(), 1);
    EXPECT_TRUE(WaitUntil([&] { return seen.batchesFinished.load() == seen.batchesStarted.load(); }));
}

TEST(QLog, DisabledOrRefusedLevelsAreDropped)
{
    TSeen seen;
    TQLog log;
    log.Castor()->AddWriter(std::make_unique<TRecordingWriter>(seen));
    log.SetEnabled(false);
    log.Post(llError, u"disabled");
    log.SetEnabled(true);
    log.SetAcceptLevels(QLogLevelBit(llError));
    log.Post(llMessage, u"not accepted");
    log.Post(llError, u"kept");
    EXPECT_EQ(log.Count(), 1);
    ASSERT_TRUE(AllDispatched(log));
    EXPECT_EQ(seen.Messages(), std::vector<QString> {QStringLiteral("kept")});
}

TEST(QLog, EntriesBeforeAnyWriterGoNowhere)
{
    TQLog log;
    log.Post(llMessage, u"early");
    ASSERT_TRUE(AllDispatched(log));
    TSeen seen;
    log.Castor()->AddWriter(std::make_unique<TRecordingWriter>(seen));
    log.Post(llMessage, u"late");
    ASSERT_TRUE(AllDispatched(log));
    EXPECT_EQ(seen.Messages(), std::vector<QString> {QStringLiteral("late")});
}

TEST(QLog, NewWritersAreServedFirst)
{
    std::mutex lock;
    std::vector<int> order;
    class TOrderWriter : public TQLogWriter {
    public:
        TOrderWriter(int AId, std::mutex& ALock, std::vector<int>& AOrder)
            : FId(AId)
            , FLock(ALock)
            , FOrder(AOrder)
        {
        }
        void HandleNeeded() override { }
        bool WriteItem(const TQLogItem&) override
        {
            std::scoped_lock guard(FLock);
            FOrder.push_back(FId);
            return false; // the answer does not stop the others
        }

    private:
        int FId;
        std::mutex& FLock;
        std::vector<int>& FOrder;
    };
    TQLog log;
    log.Castor()->AddWriter(std::make_unique<TOrderWriter>(1, lock, order));
    log.Castor()->AddWriter(std::make_unique<TOrderWriter>(2, lock, order));
    log.Post(llMessage, u"a");
    log.Post(llMessage, u"b");
    ASSERT_TRUE(AllDispatched(log));
    std::scoped_lock guard(lock);
    EXPECT_EQ(order, (std::vector<int> {2, 1, 2, 1}));
}

TEST(QLog, EveryWriterSeesTheQueueOrderOfConcurrentProducers)
{
    TSeen first;
    TSeen second;
    constexpr int perThread = 2000;
    {
        TQLog log;
        log.Castor()->AddWriter(std::make_unique<TRecordingWriter>(first));
        log.Castor()->AddWriter(std::make_unique<TRecordingWriter>(second));
        std::vector<std::thread> producers;
        for (int t = 0; t < 2; ++t) {
            producers.emplace_back([&log, t] {
                for (int i = 0; i < perThread; ++i)
                    log.Post(llMessage, QString::number(t) + u':' + QString::number(i));
            });
        }
        for (std::thread& producer : producers)
            producer.join();
        ASSERT_TRUE(AllDispatched(log));
    }
    const std::vector<QString> seen = first.Messages();
    ASSERT_EQ(seen.size(), 2u * perThread);
    EXPECT_EQ(seen, second.Messages());
    int next[2] = {0, 0}; // each producer's entries keep their order
    for (const QString& message : seen) {
        const int t = message.section(u':', 0, 0).toInt();
        EXPECT_EQ(message.section(u':', 1).toInt(), next[t]++);
    }
}

TEST(QLog, AWriterFaultNeverEndsTheDispatch)
{
    TSeen seen;
    TQLog log;
    log.Castor()->AddWriter(std::make_unique<TRecordingWriter>(seen));
    log.Castor()->AddWriter(std::make_unique<TThrowingWriter>());
    for (int i = 0; i < 3; ++i) {
        log.Post(llMessage, QString::number(i));
        ASSERT_TRUE(AllDispatched(log));
    }
    EXPECT_EQ(seen.Size(), 3u);
}

TEST(QLog, AWriterWithoutAHandleIsRefused)
{
    std::atomic<bool> destroyed {false};
    TQLog log;
    try {
        log.Castor()->AddWriter(std::make_unique<TBaseHandleWriter>(destroyed));
        FAIL() << "no exception";
    } catch (const EQuenlarError& error) {
        EXPECT_EQ(error.Message(), QStringLiteral("需要的日志写入对象句柄无法创建。"));
    }
    EXPECT_TRUE(destroyed.load());
}

TEST(QLog, SyncModeReturnsAfterTheWritersGotTheEntry)
{
    TSeen seen;
    TQLog log;
    log.SetMode(lmSync);
    log.Castor()->AddWriter(std::make_unique<TRecordingWriter>(seen));
    for (int i = 0; i < 5; ++i) {
        log.Post(llMessage, QString::number(i));
        EXPECT_EQ(seen.Size(), static_cast<std::size_t>(i + 1));
    }
}

TEST(QLog, LazyWritersAreFlushedWhenIdleAndAtTheEnd)
{
    TSeen seen;
    {
        TQLog log;
        EXPECT_EQ(log.Castor()->LazyInterval(), 0);
        log.Castor()->AddWriter(std::make_unique<TRecordingWriter>(seen, true));
        EXPECT_EQ(log.Castor()->LazyInterval(), 100);
        log.Post(llMessage, u"x");
        ASSERT_TRUE(WaitUntil([&] { return seen.lazyFlushes.load() >= 1; }));
    }
    EXPECT_GE(seen.lazyFlushes.load(), 2); // once more before it was destroyed
}

TEST(QLog, ShutdownDispatchesWhatIsQueuedThenDestroysTheWriters)
{
    TSeen seen;
    constexpr int entries = 500;
    {
        TQLog log;
        log.Castor()->AddWriter(std::make_unique<TRecordingWriter>(seen));
        for (int i = 0; i < entries; ++i)
            log.Post(llMessage, QString::number(i));
    }
    EXPECT_TRUE(seen.destroyed.load());
    EXPECT_EQ(seen.entriesAtDestruction.load(), entries);
}

TEST(QLog, LogLineGoesToTheGlobalLogAndIsDroppedWithoutOne)
{
    ASSERT_EQ(GlobalLog(), nullptr);
    LogLine(llMessage, u"nowhere"); // does nothing
    TSeen seen;
    {
        TQLog log;
        TGlobalScope<TQLog> scope(&log);
        EXPECT_EQ(GlobalLog(), &log);
        log.Castor()->AddWriter(std::make_unique<TRecordingWriter>(seen));
        LogLine(llMessage, u"a");
        LogLine(llMessage, QStringLiteral("b"), QStringLiteral("t"));
        ASSERT_TRUE(AllDispatched(log));
    }
    EXPECT_EQ(seen.Messages(), (std::vector<QString> {QStringLiteral("a"), QStringLiteral("b")}));
    LogLine(llMessage, u"after");
    EXPECT_EQ(GlobalLog(), nullptr);
}

TEST(QLog, LogLineRacesTheLogsDestructionSafely)
{
    // Producers keep logging while the global log is installed and destroyed again and again; the destructor
    // removes it from the slot itself and waits for calls in flight.
    std::atomic<bool> stop {false};
    std::atomic<long> calls {0};
    std::vector<std::thread> producers;
    for (int t = 0; t < 3; ++t) {
        producers.emplace_back([&] {
            while (!stop.load()) {
                LogLine(llMessage, u"racing");
                ++calls;
            }
        });
    }
    for (int round = 0; round < 30; ++round) {
        auto log = std::make_unique<TQLog>();
        TSeen seen;
        log->Castor()->AddWriter(std::make_unique<TRecordingWriter>(seen));
        TGlobal<TQLog>::Set(log.get());
        const long before = calls.load();
        WaitUntil([&] { return calls.load() > before + 50; });
        log.reset();
        EXPECT_EQ(GlobalLog(), nullptr);
        EXPECT_TRUE(seen.destroyed.load());
    }
    stop = true;
    for (std::thread& producer : producers)
        producer.join();
}

// QProcess runs a child in this process's memory, on the starting thread's own state, until it executes its
// program. Afterwards that thread's posts are still ordered with the castor by the log's lock alone (for
// ThreadSanitizer too), and threads still start: a castor that ran across the start and one started after it.
TEST(QLog, PostsStayOrderedWithTheCastorAfterTheirThreadStartedAChildProcess)
{
    TSeen seen;
    TQLog log;
    log.Castor()->AddWriter(std::make_unique<TRecordingWriter>(seen));
    log.Post(llMessage, u"before");
    ASSERT_TRUE(AllDispatched(log));
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--gtest_filter=-*")});
    ASSERT_TRUE(child.waitForFinished());
    EXPECT_EQ(child.exitCode(), 0);

    TSeen later;
    TQLog next;
    next.Castor()->AddWriter(std::make_unique<TRecordingWriter>(later));
    std::vector<QString> expected {QStringLiteral("before")};
    for (int i = 0; i < 200; ++i) {
        log.Post(llMessage, QString::number(i));
        next.Post(llMessage, QString::number(i));
        expected.push_back(QString::number(i));
    }
    ASSERT_TRUE(AllDispatched(log));
    ASSERT_TRUE(AllDispatched(next));
    EXPECT_EQ(seen.Messages(), expected);
    expected.erase(expected.begin());
    EXPECT_EQ(later.Messages(), expected);
}
