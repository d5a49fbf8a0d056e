#include "operator/uapiApp.h"

#include "foundation/qjson.h"
#include "foundation/qworker.h"
#include "heldCacheLock.h"
#include "log/QLog.h"
#include "logLines.h"
#include "standin/testservers.h"
#include "store/ucommon.h"
#include "store/udb.h"
#include "testwait.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace {

using TFields = TFormFields;

QStringList InvalidLines(int ACount)
{
    QStringList lines;
    for (int i = 0; i < ACount; ++i) {
        lines.append(
            QStringLiteral("{\"tradeId\":\"C%1\",\"tradeParentId\":\"P%1\",\"tkStatus\":13,\"payPrice\":\"100\","
                           "\"pubShareFee\":\"1\"}")
                .arg(i));
    }
    return lines;
}

std::vector<TWeiQuanOrderInfo> Refunds(int ACount)
{
    std::vector<TWeiQuanOrderInfo> orders(static_cast<size_t>(ACount));
    for (int i = 0; i < ACount; ++i) {
        orders[size_t(i)].tbTradeId = QStringLiteral("C%1").arg(i);
        orders[size_t(i)].tbTradeParentId = QStringLiteral("P%1").arg(i);
        orders[size_t(i)].showRefundStatus = QStringLiteral("维权成功");
    }
    return orders;
}

// The operator back end (service and order-intake hosts), the settings, the order cache and a log, all local.
class OrderPosting : public ::testing::Test {
protected:
    void SetUp() override
    {
        FService.Post("/client/dbmove/login",
            TTestServer::Reply(200, R"({"code":200,"msg":"ok","time":1,"data":{"uid":"u-1","token":"t-1"}})"));
        FService.Post("/client/tbrefund/order/sync", Answer());
        FService.Start();
        FIntake.Post("/orders/tborder/invalid/push", Answer());
        FIntake.Start();
        ASSERT_TRUE(WriteConfIni(
            FFolder.path(), {{"operatorService", FService.HostValue()}, {"operatorIntake", FIntake.HostValue()}}));
        FCommon = std::make_unique<TCommon>(FFolder.path());
        FCommonScope = std::make_unique<TGlobalScope<TCommon>>(FCommon.get());
        CreateOrderCache(FFolder.filePath(QStringLiteral("db.db")));
        FLogLines = TLogLines::Attach(FLog);
    }

    void TearDown() override
    {
        Hold(false);
        FApp.WaitForPosts();
        FCommonScope.reset();
    }

    // Answers each batch with the code the test chose for its position (200 when none), once no hold is on.
    httplib::Server::Handler Answer()
    {
        return [this](const httplib::Request&, httplib::Response& res) {
            std::unique_lock lock(FMutex);
            FReleased.wait(lock, [this] { return !FHold; });
            const std::string code = FBatch < FCodes.size() ? FCodes[FBatch] : "200";
            ++FBatch;
            res.set_content("{\"code\":" + code + ",\"msg\":\"m" + code + "\",\"time\":1,\"data\":\"\"}",
                "application/json;charset=UTF-8");
        };
    }

    void Hold(bool AValue)
    {
        {
            const std::scoped_lock lock(FMutex);
            FHold = AValue;
        }
        FReleased.notify_all();
    }

    struct THoldRelease {
        OrderPosting& fixture;
        ~THoldRelease() { fixture.Hold(false); }
    };

    void AnswerCodes(std::vector<std::string> ACodes)
    {
        const std::scoped_lock lock(FMutex);
        FCodes = std::move(ACodes);
    }

    static int Members(const std::string& AOrders)
    {
        TQJson document;
        return document.TryParse(QString::fromStdString(AOrders)) ? document.Count() : -1;
    }

    static std::vector<int> BatchSizes(const TTestServer& AServer)
    {
        std::vector<int> sizes;
        for (const TRecordedRequest& request : AServer.Requests()) {
            if (request.target != "/client/dbmove/login")
                sizes.push_back(Members(FieldValue(request.FormFields(), "orders")));
        }
        return sizes;
    }

    QTemporaryDir FFolder;
    // The handlers' state comes before the servers: it must outlive them.
    std::mutex FMutex;
    std::condition_variable FReleased;
    std::vector<std::string> FCodes; // guarded by FMutex
    size_t FBatch = 0; // guarded by FMutex
    bool FHold = false; // guarded by FMutex
    TTestServer FService;
    TTestServer FIntake;
    std::unique_ptr<TCommon> FCommon; // made once the settings file is written
    std::unique_ptr<TGlobalScope<TCommon>> FCommonScope;
    TDBCacheClass FCache {FFolder.path()};
    TGlobalScope<TDBCacheClass> FCacheScope {&FCache};
    std::shared_ptr<TLogLines> FLogLines;
    TQLog FLog;
    TGlobalScope<TQLog> FLogScope {&FLog};
    TAPIApp FApp;
};

struct BatchCase {
    int orders;
    std::vector<int> batches;
};

class InvalidBatches : public OrderPosting, public ::testing::WithParamInterface<BatchCase> { };

TEST_P(InvalidBatches, LinesGoOutInGroupsOfAHundred)
{
    const BatchCase& c = GetParam();
    FApp.postOrderData(InvalidLines(c.orders));
    FApp.WaitForPosts();
    EXPECT_EQ(BatchSizes(FIntake), c.batches);
    EXPECT_EQ(FService.RequestCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Counts, InvalidBatches,
    ::testing::Values(
        BatchCase {250, {100, 100, 50}}, BatchCase {100, {100}}, BatchCase {101, {100, 1}}, BatchCase {0, {}}));

class RefundBatches : public OrderPosting, public ::testing::WithParamInterface<BatchCase> { };

TEST_P(RefundBatches, FirstBatchHoldsNinetyNine)
{
    const BatchCase& c = GetParam();
    FApp.postWeiQuanOrderData(Refunds(c.orders));
    EXPECT_EQ(BatchSizes(FService), c.batches);
    EXPECT_EQ(FIntake.RequestCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Counts, RefundBatches,
    ::testing::Values(BatchCase {250, {99, 100, 51}}, BatchCase {99, {99}}, BatchCase {100, {99, 1}},
        BatchCase {199, {99, 100}}, BatchCase {0, {}}));

TEST_F(OrderPosting, OnlyAcceptedInvalidBatchesAreCachedAndLogged)
{
    AnswerCodes({"200", "500", "200"});
    const QStringList lines = InvalidLines(250);
    TPostOutcome outcome;
    FApp.postOrderData(lines, [&outcome](const TPostOutcome& AOutcome) { outcome = AOutcome; });
    FApp.WaitForPosts();
    EXPECT_EQ(outcome.batches, 3);
    EXPECT_EQ(outcome.accepted, 2);
    EXPECT_EQ(outcome.delivered, 150);
    EXPECT_FALSE(outcome.AllAccepted());
    EXPECT_EQ(outcome.cause, QStringLiteral("失效/已收货订单提交失败---code:500,msg:m500"));

    const std::vector<TRecordedRequest> requests = FIntake.Requests();
    ASSERT_EQ(requests.size(), 3u);
    const TFields form = requests[0].FormFields();
    EXPECT_EQ(FieldNames(form), (std::vector<std::string> {"orders", "timestamp", "sign"}));
    EXPECT_EQ(QString::fromStdString(FieldValue(form, "orders")), u'[' + lines.mid(0, 100).join(u',') + u']');
    EXPECT_TRUE(FCache.existOrder(QStringLiteral("P0"), QStringLiteral("C0"), 0));
    EXPECT_FALSE(FCache.existOrder(QStringLiteral("P150"), QStringLiteral("C150"), 0));
    EXPECT_TRUE(FCache.existOrder(QStringLiteral("P249"), QStringLiteral("C249"), 0));
    EXPECT_FALSE(FCache.existOrder(QStringLiteral("P0"), QStringLiteral("C0"), 1));

    QStringList logged = FLogLines->Wait(3);
    logged.sort();
    EXPECT_EQ(logged,
        (QStringList {QStringLiteral("失效/已收货订单提交失败---code:500,msg:m500"),
            QStringLiteral("失效/已收货订单提交成功"), QStringLiteral("失效/已收货订单提交成功")}));
}

TEST_F(OrderPosting, UnreadableReplyFailsOnlyItsBatch)
{
    AnswerCodes({"\"abc\"", "200"});
    FApp.postOrderData(InvalidLines(150));
    FApp.WaitForPosts();
    EXPECT_EQ(FIntake.RequestCount(), 2u);
    EXPECT_FALSE(FCache.existOrder(QStringLiteral("P0"), QStringLiteral("C0"), 0));
    EXPECT_TRUE(FCache.existOrder(QStringLiteral("P120"), QStringLiteral("C120"), 0));
}

TEST_F(OrderPosting, OnlyAcceptedRefundBatchesAreCachedAndLogged)
{
    QString error;
    ASSERT_TRUE(FApp.Login(QStringLiteral("13800000000"), QStringLiteral("pw"), error));
    AnswerCodes({"200", "403"});
    const TPostOutcome outcome = FApp.postWeiQuanOrderData(Refunds(150));
    EXPECT_EQ(outcome.batches, 2);
    EXPECT_EQ(outcome.accepted, 1);
    EXPECT_EQ(outcome.delivered, 99);
    EXPECT_TRUE(outcome.cause.contains(QStringLiteral("code:403"))) << outcome.cause.toStdString();

    const std::vector<TRecordedRequest> requests = FService.Requests();
    ASSERT_EQ(requests.size(), 3u); // the login, then two batches
    const TFields form = requests[1].FormFields();
    EXPECT_EQ(FieldNames(form), (std::vector<std::string> {"orders", "timestamp", "token", "uid", "sign"}));
    EXPECT_EQ(FieldValue(form, "token"), "t-1");
    EXPECT_EQ(FieldValue(form, "uid"), "u-1");
    EXPECT_TRUE(FCache.existOrder(QStringLiteral("P98"), QStringLiteral("C98"), 1));
    EXPECT_FALSE(FCache.existOrder(QStringLiteral("P99"), QStringLiteral("C99"), 1));
    EXPECT_FALSE(FCache.existOrder(QStringLiteral("P98"), QStringLiteral("C98"), 0));
    EXPECT_EQ(FLogLines->Wait(2),
        (QStringList {QStringLiteral("维权订单提交结果---code:200,msg:m200"),
            QStringLiteral("维权订单提交结果---code:403,msg:m403")}));
}

// A batch's outcome decides what is cached, so a stopping scheduler does not cut it short (only the end's grace does).
TEST_F(OrderPosting, BatchInFlightWhenTheSchedulerTerminatesStillCompletes)
{
    TQWorkers scheduler;
    const TGlobalScope<TQWorkers> schedulerScope(&scheduler);
    Hold(true);
    auto refunds = std::async(std::launch::async, [this] { FApp.postWeiQuanOrderData(Refunds(1)); });
    const THoldRelease release {*this}; // before the future waits, should an assertion end the test early
    FApp.postOrderData(InvalidLines(1));
    // One batch is in flight; the other waits for the transport's lock and goes out only after the stop.
    ASSERT_TRUE(WaitForCondition([this] { return FService.RequestCount() + FIntake.RequestCount() >= 1; }));
    scheduler.SetAppTerminating();
    // A refund post that heeded the stop would end the call within this bound, longer than a stopped exchange takes.
    EXPECT_EQ(refunds.wait_for(std::chrono::milliseconds(400)), std::future_status::timeout);
    Hold(false);
    refunds.get();
    FApp.WaitForPosts();
    EXPECT_TRUE(FCache.existOrder(QStringLiteral("P0"), QStringLiteral("C0"), 1));
    EXPECT_TRUE(FCache.existOrder(QStringLiteral("P0"), QStringLiteral("C0"), 0));
}

// At the process end a back end that does not answer must not hold the end for the request time-out: past the
// grace the post in flight is cut and counts as failed, and the batches behind it stay for the next run.
TEST_F(OrderPosting, PostHangingPastTheEndsGraceIsCutAndNothingMoreGoesOut)
{
    Hold(true);
    const THoldRelease release {*this};
    FApp.postOrderData(InvalidLines(150));
    ASSERT_TRUE(WaitForCondition([this] { return FIntake.RequestCount() >= 1; }));
    FApp.CutPostsAfter(std::chrono::milliseconds(50));
    FApp.WaitForPosts();
    EXPECT_EQ(FIntake.RequestCount(), 1u);
    EXPECT_FALSE(FCache.existOrder(QStringLiteral("P0"), QStringLiteral("C0"), 0));
    EXPECT_FALSE(FCache.existOrder(QStringLiteral("P120"), QStringLiteral("C120"), 0));
    // Logged as what it is, not as an unreachable back end.
    EXPECT_EQ(FLogLines->Wait(1), QStringList {QStringLiteral("失效/已收货") + TAPIApp::CutAtExitText()});
}

// A back end that answers slowly has usually applied the batch: cutting its post would have the next run send it
// twice. So the end waits for the post in flight (within the grace) and starts no further batch.
TEST_F(OrderPosting, PostInFlightAtTheEndIsAwaitedAndNoFurtherBatchStarts)
{
    Hold(true);
    const THoldRelease release {*this};
    TPostOutcome outcome;
    FApp.postOrderData(InvalidLines(150), [&outcome](const TPostOutcome& AOutcome) { outcome = AOutcome; });
    ASSERT_TRUE(WaitForCondition([this] { return FIntake.RequestCount() >= 1; }));
    FApp.CutPostsAfter(std::chrono::minutes(5));
    Hold(false);
    FApp.WaitForPosts();
    EXPECT_EQ(FIntake.RequestCount(), 1u);
    EXPECT_TRUE(FCache.existOrder(QStringLiteral("P0"), QStringLiteral("C0"), 0));
    EXPECT_FALSE(FCache.existOrder(QStringLiteral("P120"), QStringLiteral("C120"), 0));
    EXPECT_EQ(outcome.accepted, 1);
    EXPECT_EQ(outcome.cause, TAPIApp::CutAtExitText());
}

// A batch the back end accepted that the cache cannot record (a full disk, a lock held elsewhere) stops every
// further post, of either kind: each would be accepted and sent a second time by the next pass. The posts go on
// once the caller finds the cache writable again.
TEST_F(OrderPosting, AnAcceptedBatchThatCannotBeRecordedStopsThePosts)
{
    TDBCacheClass impatient(FFolder.path(), 0);
    const TGlobalScope<TDBCacheClass> cacheScope(&impatient);
    THeldCacheLock held(impatient.dbFileName());
    ASSERT_TRUE(held.Held());

    TPostOutcome invalid;
    FApp.postOrderData(InvalidLines(250), [&invalid](const TPostOutcome& AOutcome) { invalid = AOutcome; });
    FApp.WaitForPosts();
    EXPECT_EQ(FIntake.RequestCount(), 1u); // the first batch only
    EXPECT_FALSE(invalid.AllAccepted());
    EXPECT_TRUE(invalid.unrecorded);
    EXPECT_TRUE(invalid.cause.contains(QStringLiteral("250 条订单下次同步会再次提交"))) << invalid.cause.toStdString();
    EXPECT_TRUE(FApp.RecordingStopped());
    const TPostOutcome refunds = FApp.postWeiQuanOrderData(Refunds(3));
    EXPECT_EQ(FService.RequestCount(), 0u);
    EXPECT_TRUE(refunds.unrecorded);
    EXPECT_EQ(FLogLines->Wait(1).filter(QStringLiteral("未能记入缓存")).size(), 1);

    ASSERT_TRUE(held.Release());
    FApp.ResumeRecording();
    EXPECT_TRUE(FApp.postWeiQuanOrderData(Refunds(3)).AllAccepted());
    EXPECT_TRUE(impatient.existOrder(QStringLiteral("P2"), QStringLiteral("C2"), 1));
}

TEST_F(OrderPosting, NothingToPostReportsAtOnce)
{
    bool reported = false;
    FApp.postOrderData({}, [&reported](const TPostOutcome& AOutcome) { reported = AOutcome.AllAccepted(); });
    EXPECT_TRUE(reported);
    EXPECT_EQ(FIntake.RequestCount(), 0u);
}

TEST_F(OrderPosting, RefundOrderIsOneLineWithTwelveMembers)
{
    TWeiQuanOrderInfo order;
    order.tbTradeId = QStringLiteral(" 3001 ");
    order.tbTradeParentId = QStringLiteral("3000");
    order.itemTitle = QStringLiteral("夏季 \"新款\"");
    order.itemImg = QStringLiteral("//img.example/a.jpg");
    order.showRefundStatus = QStringLiteral(" 维权成功");
    order.earningTime = QStringLiteral("2026-11-01 10:00:00");
    order.refundCreateTime = QStringLiteral("2026-11-02 08:30:15");
    order.refundFinishTime = QStringLiteral("2040-01-03");
    order.refundFee = 12.5;
    order.showReturnFee = 0.38;
    order.alipayTotalPrice = 20;
    order.tkOrderRole = QStringLiteral("2");
    // The report and the TOP method write Beijing time: these are its seconds whatever the machine's zone (the test
    // runs far from UTC+8).
    const auto secs = [](const char* AText) {
        static const std::map<std::string, qint64> kSeconds {
            {"2026-11-01 10:00:00", 1793498400}, {"2026-11-02 08:30:15", 1793579415}, {"2040-01-03", 2209132800}};
        return QString::number(kSeconds.at(AText));
    };
    EXPECT_EQ(TAPIApp::RefundOrderJson(order),
        QStringLiteral("{\"childOrderNo\":\"3001\",\"parentOrderNo\":\"3000\",\"title\":\"夏季 \\\"新款\\\"\","
                       "\"imgUrl\":\"//img.example/a.jpg\",\"refundStatus\":\"维权成功\",\"orderSettleTime\":")
            + secs("2026-11-01 10:00:00") + QStringLiteral(",\"refundCreateTime\":") + secs("2026-11-02 08:30:15")
            + QStringLiteral(",\"refundFinishTime\":") + secs("2040-01-03")
            + QStringLiteral(",\"refundAmount\":12.5,\"refundOpeAmount\":0.38,\"settleAmount\":20,"
                             "\"seoIdentity\":\"2\"}"));
    // Past 2038 the seconds need 64 bits.
    EXPECT_GT(TAPIApp::timeTextToUnix(QStringLiteral("2040-01-03")), qint64(INT32_MAX));
}

TEST_F(OrderPosting, EmptyFinishTimeSendsNow)
{
    const qint64 before = QDateTime::currentSecsSinceEpoch();
    std::vector<TWeiQuanOrderInfo> orders = Refunds(1);
    orders[0].refundFinishTime.clear();
    FApp.postWeiQuanOrderData(orders);
    const qint64 after = QDateTime::currentSecsSinceEpoch();

    ASSERT_EQ(FService.RequestCount(), 1u);
    TQJson batch;
    ASSERT_TRUE(batch.TryParse(QString::fromStdString(FieldValue(FService.LastRequest().FormFields(), "orders"))));
    const qint64 sent = batch.Items(0)->ItemByPath(u"refundFinishTime")->AsInt64();
    EXPECT_GE(sent, before);
    EXPECT_LE(sent, after);
}

} // namespace
