#include "sync/delivery.h"

#include "foundation/qjson.h"
#include "heldCacheLock.h"
#include "log/QLog.h"
#include "logLines.h"
#include "operator/uapiApp.h"
#include "standin/testservers.h"
#include "store/ucommon.h"
#include "store/udb.h"
#include "sync/agedOutOrders.h"
#include "testwait.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <string>

namespace {

using TFields = TFormFields;

// The batch line of order i, as the back end has always received it.
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

std::vector<TInvalidOrder> InvalidOrders(int ACount)
{
    std::vector<TInvalidOrder> orders(static_cast<size_t>(ACount));
    for (int i = 0; i < ACount; ++i) {
        orders[size_t(i)].tradeId = QStringLiteral("C%1").arg(i);
        orders[size_t(i)].tradeParentId = QStringLiteral("P%1").arg(i);
        orders[size_t(i)].tkStatus = 13;
        orders[size_t(i)].payPrice = 100;
        orders[size_t(i)].pubShareFee = 1;
    }
    return orders;
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

// The operator back end (service and order-intake hosts), the settings, the order cache and a log, all local; the
// delivery step posts on the test's own thread.
class Delivery : public ::testing::Test {
protected:
    void SetUp() override
    {
        FService.Post("/client/dbmove/login",
            TTestServer::Reply(200, R"({"code":200,"msg":"ok","time":1,"data":{"uid":"u-1","token":"t-1"}})"));
        FService.Post("/client/tbrefund/order/sync", Answer());
        FService.Start();
        FIntake.Post("/orders/tborder/invalid/push", Answer());
        FIntake.Start();
        WriteSettings(false);
        CreateOrderCache(FFolder.filePath(QStringLiteral("db.db")));
        FLogLines = TLogLines::Attach(FLog);
    }

    void TearDown() override
    {
        Hold(false);
        FCommonScope.reset();
    }

    void WriteSettings(bool AIncremental)
    {
        FCommonScope.reset();
        ASSERT_TRUE(WriteConfIni(FFolder.path(),
            {{"operatorService", FService.HostValue()}, {"operatorIntake", FIntake.HostValue()}},
            {{"syncIncrement", AIncremental ? QStringLiteral("1") : QStringLiteral("0")}}));
        FCommon = std::make_unique<TCommon>(FFolder.path());
        FCommonScope = std::make_unique<TGlobalScope<TCommon>>(FCommon.get());
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
        Delivery& fixture;
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

    static QString SentOrders(const TRecordedRequest& ARequest)
    {
        return QString::fromStdString(FieldValue(ARequest.FormFields(), "orders"));
    }

    bool Cached(const char* AParent, const char* AChild, int AType)
    {
        return FCache.existOrder(QLatin1String(AParent), QLatin1String(AChild), AType);
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
    std::shared_ptr<TLogLines> FLogLines;
    TQLog FLog;
    TGlobalScope<TQLog> FLogScope {&FLog};
    TAPIApp FApp;
    TAgedOutOrders FAgedOut;
    TDelivery FDelivery {FAgedOut};
};

struct BatchCase {
    int orders;
    std::vector<int> batches;
};

class InvalidBatches : public Delivery, public ::testing::WithParamInterface<BatchCase> { };

TEST_P(InvalidBatches, LinesGoOutInGroupsOfAHundred)
{
    const BatchCase& c = GetParam();
    const TPostOutcome outcome = FDelivery.PostInvalid(FCache, FApp, InvalidOrders(c.orders));
    EXPECT_EQ(BatchSizes(FIntake), c.batches);
    EXPECT_EQ(outcome.batches, static_cast<int>(c.batches.size()));
    EXPECT_EQ(FService.RequestCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Counts, InvalidBatches,
    ::testing::Values(
        BatchCase {250, {100, 100, 50}}, BatchCase {100, {100}}, BatchCase {101, {100, 1}}, BatchCase {0, {}}));

class RefundBatches : public Delivery, public ::testing::WithParamInterface<BatchCase> { };

TEST_P(RefundBatches, FirstBatchHoldsNinetyNine)
{
    const BatchCase& c = GetParam();
    FDelivery.PostRefunds(FCache, FApp, Refunds(c.orders));
    EXPECT_EQ(BatchSizes(FService), c.batches);
    EXPECT_EQ(FIntake.RequestCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Counts, RefundBatches,
    ::testing::Values(BatchCase {250, {99, 100, 51}}, BatchCase {99, {99}}, BatchCase {100, {99, 1}},
        BatchCase {199, {99, 100}}, BatchCase {0, {}}));

TEST_F(Delivery, OnlyAcceptedInvalidBatchesAreCachedAndLogged)
{
    AnswerCodes({"200", "500", "200"});
    const TPostOutcome outcome = FDelivery.PostInvalid(FCache, FApp, InvalidOrders(250));
    EXPECT_EQ(outcome.batches, 3);
    EXPECT_EQ(outcome.accepted, 2);
    EXPECT_EQ(outcome.delivered, 150);
    EXPECT_FALSE(outcome.AllAccepted());
    EXPECT_EQ(outcome.cause, QStringLiteral("失效/已收货订单提交失败---code:500,msg:m500"));

    const std::vector<TRecordedRequest> requests = FIntake.Requests();
    ASSERT_EQ(requests.size(), 3u);
    const TFields form = requests[0].FormFields();
    EXPECT_EQ(FieldNames(form), (std::vector<std::string> {"orders", "timestamp", "sign"}));
    // The records' batch text, byte for byte what the back end has always been sent.
    EXPECT_EQ(SentOrders(requests[0]), u'[' + InvalidLines(250).mid(0, 100).join(u',') + u']');
    EXPECT_EQ(SentOrders(requests[2]), u'[' + InvalidLines(250).mid(200).join(u',') + u']');
    EXPECT_TRUE(Cached("P0", "C0", 0));
    EXPECT_FALSE(Cached("P150", "C150", 0));
    EXPECT_TRUE(Cached("P249", "C249", 0));
    EXPECT_FALSE(Cached("P0", "C0", 1));

    QStringList logged = FLogLines->Wait(3);
    logged.sort();
    EXPECT_EQ(logged,
        (QStringList {QStringLiteral("失效/已收货订单提交失败---code:500,msg:m500"),
            QStringLiteral("失效/已收货订单提交成功"), QStringLiteral("失效/已收货订单提交成功")}));
}

// The batch text of records the readers make, pinned byte for byte: placeholders for absent ids, escaped values,
// amounts in fen; and what the cache records of it once accepted (the ids as the line carries them).
TEST_F(Delivery, BatchTextOfTypedRecordsIsPinned)
{
    TInvalidOrder plain {QStringLiteral("3001"), QStringLiteral("3000"), 13, 1250, 38};
    TInvalidOrder quoted {QStringLiteral("C\"3"), QStringLiteral("123456789012345678"), 14, 0, 0};
    TInvalidOrder noChild {std::nullopt, QStringLiteral("P2"), -1, 7, 0};
    FDelivery.PostInvalid(FCache, FApp, {plain, quoted, noChild});
    ASSERT_EQ(FIntake.RequestCount(), 1u);
    EXPECT_EQ(SentOrders(FIntake.LastRequest()),
        QStringLiteral("[{\"tradeId\":\"3001\",\"tradeParentId\":\"3000\",\"tkStatus\":13,\"payPrice\":\"1250\","
                       "\"pubShareFee\":\"38\"},"
                       "{\"tradeId\":\"C\\\"3\",\"tradeParentId\":\"123456789012345678\",\"tkStatus\":14,"
                       "\"payPrice\":\"0\",\"pubShareFee\":\"0\"},"
                       "{\"tradeId\":\"[tradeId]\",\"tradeParentId\":\"P2\",\"tkStatus\":-1,\"payPrice\":\"7\","
                       "\"pubShareFee\":\"0\"}]"));
    EXPECT_TRUE(Cached("3000", "3001", 0));
    EXPECT_TRUE(FCache.existOrder(QStringLiteral("123456789012345678"), QStringLiteral("C\"3"), 0));
    EXPECT_TRUE(Cached("P2", "[tradeId]", 0));

    TWeiQuanOrderInfo refund;
    refund.tbTradeId = QStringLiteral(" 4001 ");
    refund.tbTradeParentId = QStringLiteral("4000");
    refund.itemTitle = QStringLiteral("夏季 \"新款\"");
    refund.showRefundStatus = QStringLiteral("维权成功");
    refund.earningTime = QStringLiteral("2026-11-01 10:00:00");
    refund.refundCreateTime = QStringLiteral("2026-11-02 08:30:15");
    refund.refundFinishTime = QStringLiteral("2040-01-03");
    refund.refundFee = 12.5;
    refund.showReturnFee = 0.38;
    refund.alipayTotalPrice = 20;
    refund.tkOrderRole = QStringLiteral("3");
    FDelivery.PostRefunds(FCache, FApp, {refund});
    ASSERT_EQ(FService.RequestCount(), 1u);
    EXPECT_EQ(SentOrders(FService.LastRequest()),
        QStringLiteral("[{\"childOrderNo\":\"4001\",\"parentOrderNo\":\"4000\",\"title\":\"夏季 \\\"新款\\\"\","
                       "\"imgUrl\":\"\",\"refundStatus\":\"维权成功\",\"orderSettleTime\":1793498400,"
                       "\"refundCreateTime\":1793579415,\"refundFinishTime\":2209132800,\"refundAmount\":12.5,"
                       "\"refundOpeAmount\":0.38,\"settleAmount\":20,\"seoIdentity\":\"3\"}]"));
    EXPECT_TRUE(Cached("4000", "4001", 1));
}

TEST_F(Delivery, UnreadableReplyFailsOnlyItsBatch)
{
    AnswerCodes({"\"abc\"", "200"});
    FDelivery.PostInvalid(FCache, FApp, InvalidOrders(150));
    EXPECT_EQ(FIntake.RequestCount(), 2u);
    EXPECT_FALSE(Cached("P0", "C0", 0));
    EXPECT_TRUE(Cached("P120", "C120", 0));
}

TEST_F(Delivery, OnlyAcceptedRefundBatchesAreCachedAndLogged)
{
    QString error;
    ASSERT_TRUE(FApp.Login(QStringLiteral("13800000000"), QStringLiteral("pw"), error));
    AnswerCodes({"200", "403"});
    const TPostOutcome outcome = FDelivery.PostRefunds(FCache, FApp, Refunds(150));
    EXPECT_EQ(outcome.batches, 2);
    EXPECT_EQ(outcome.accepted, 1);
    EXPECT_EQ(outcome.delivered, 99);
    EXPECT_TRUE(outcome.cause.contains(QStringLiteral("code:403"))) << outcome.cause.toStdString();

    const std::vector<TRecordedRequest> requests = FService.Requests();
    ASSERT_EQ(requests.size(), 3u); // the login, then two batches
    const TFields form = requests[1].FormFields();
    EXPECT_EQ(FieldNames(form), (std::vector<std::string> {"orders", "timestamp", "token", "uid", "sign"}));
    EXPECT_TRUE(Cached("P98", "C98", 1));
    EXPECT_FALSE(Cached("P99", "C99", 1));
    EXPECT_FALSE(Cached("P98", "C98", 0));
    EXPECT_EQ(FLogLines->Wait(2),
        (QStringList {QStringLiteral("维权订单提交结果---code:200,msg:m200"),
            QStringLiteral("维权订单提交结果---code:403,msg:m403")}));
}

// At the process end a back end that does not answer must not hold the end for the request time-out: past the
// grace the post in flight is cut and counts as failed, and the batches behind it stay for the next run.
TEST_F(Delivery, PostHangingPastTheEndsGraceIsCutAndNothingMoreGoesOut)
{
    Hold(true);
    const THoldRelease release {*this};
    auto posted
        = std::async(std::launch::async, [this] { return FDelivery.PostInvalid(FCache, FApp, InvalidOrders(150)); });
    ASSERT_TRUE(WaitForCondition([this] { return FIntake.RequestCount() >= 1; }));
    FApp.CutPostsAfter(std::chrono::milliseconds(50));
    const TPostOutcome outcome = posted.get();
    EXPECT_EQ(FIntake.RequestCount(), 1u);
    EXPECT_EQ(outcome.accepted, 0);
    EXPECT_EQ(outcome.cause, TAPIApp::CutAtExitText());
    EXPECT_FALSE(Cached("P0", "C0", 0));
    EXPECT_FALSE(Cached("P120", "C120", 0));
    // Logged as what it is, not as an unreachable back end.
    EXPECT_EQ(FLogLines->Wait(1), QStringList {QStringLiteral("失效/已收货") + TAPIApp::CutAtExitText()});
}

// A back end that answers slowly has usually applied the batch: cutting its post would have the next run send it
// twice. So the end waits for the post in flight (within the grace) and starts no further batch.
TEST_F(Delivery, PostInFlightAtTheEndIsAwaitedAndNoFurtherBatchStarts)
{
    Hold(true);
    const THoldRelease release {*this};
    auto posted
        = std::async(std::launch::async, [this] { return FDelivery.PostInvalid(FCache, FApp, InvalidOrders(150)); });
    ASSERT_TRUE(WaitForCondition([this] { return FIntake.RequestCount() >= 1; }));
    FApp.CutPostsAfter(std::chrono::minutes(5));
    Hold(false);
    const TPostOutcome outcome = posted.get();
    EXPECT_EQ(FIntake.RequestCount(), 1u);
    EXPECT_TRUE(Cached("P0", "C0", 0));
    EXPECT_FALSE(Cached("P120", "C120", 0));
    EXPECT_EQ(outcome.accepted, 1);
    EXPECT_EQ(outcome.cause, TAPIApp::CutAtExitText());
}

// A batch the back end accepted that the cache cannot record (a full disk, a lock held elsewhere) stops every
// further post, of either kind: each would be accepted and sent a second time by the next pass. The posts go on
// once the caller finds the cache writable again.
TEST_F(Delivery, AnAcceptedBatchThatCannotBeRecordedStopsThePosts)
{
    TDBCacheClass impatient(FFolder.path(), 0);
    THeldCacheLock held(impatient.dbFileName());
    ASSERT_TRUE(held.Held());

    const TPostOutcome invalid = FDelivery.PostInvalid(impatient, FApp, InvalidOrders(250));
    EXPECT_EQ(FIntake.RequestCount(), 1u); // the first batch only
    EXPECT_FALSE(invalid.AllAccepted());
    EXPECT_TRUE(invalid.unrecorded);
    EXPECT_TRUE(invalid.cause.startsWith(QStringLiteral("已提交的订单未能记入缓存("))) << invalid.cause.toStdString();
    EXPECT_TRUE(invalid.cause.contains(QStringLiteral("250 条订单下次同步会再次提交"))) << invalid.cause.toStdString();
    EXPECT_TRUE(FDelivery.RecordingStopped());
    const TPostOutcome refunds = FDelivery.PostRefunds(impatient, FApp, Refunds(3));
    EXPECT_EQ(FService.RequestCount(), 0u);
    EXPECT_TRUE(refunds.unrecorded);
    EXPECT_EQ(FLogLines->Wait(1).filter(QStringLiteral("未能记入缓存")).size(), 1);

    ASSERT_TRUE(held.Release());
    FDelivery.ResumeRecording();
    EXPECT_TRUE(FDelivery.PostRefunds(impatient, FApp, Refunds(3)).AllAccepted());
    EXPECT_TRUE(impatient.existOrder(QStringLiteral("P2"), QStringLiteral("C2"), 1));
}

TEST_F(Delivery, EmptyFinishTimeSendsNow)
{
    const qint64 before = QDateTime::currentSecsSinceEpoch();
    std::vector<TWeiQuanOrderInfo> orders = Refunds(1);
    orders[0].refundFinishTime.clear();
    FDelivery.PostRefunds(FCache, FApp, orders);
    const qint64 after = QDateTime::currentSecsSinceEpoch();

    ASSERT_EQ(FService.RequestCount(), 1u);
    TQJson batch;
    ASSERT_TRUE(batch.TryParse(SentOrders(FService.LastRequest())));
    const qint64 sent = batch.Items(0)->ItemByPath(u"refundFinishTime")->AsInt64();
    EXPECT_GE(sent, before);
    EXPECT_LE(sent, after);
}

// What the cache holds under the record's own type is left out; a record without both ids is never looked up.
TEST_F(Delivery, CachedRecordsAreLeftOutByType)
{
    ASSERT_EQ(FCache.add({{QStringLiteral("P1"), QStringLiteral("C1")}}, 0), QString());
    ASSERT_EQ(FCache.add({{QStringLiteral("P2"), QStringLiteral("C2")}}, 1), QString());
    std::vector<TInvalidOrder> orders = InvalidOrders(3);
    orders.push_back({std::nullopt, QStringLiteral("P1"), 13, 0, 0});
    QStringList invalid;
    for (const TInvalidOrder& order : TDelivery::Unsent(FCache, orders))
        invalid << order.LineIds().first;
    EXPECT_EQ(invalid, (QStringList {QStringLiteral("P0"), QStringLiteral("P2"), QStringLiteral("P1")}));

    std::vector<TWeiQuanOrderInfo> refunds = Refunds(3);
    refunds[2].tbTradeId = QStringLiteral(" C2 ");
    refunds.push_back(Refunds(3)[2]);
    refunds.back().tbTradeId.clear();
    QStringList kept;
    for (const TWeiQuanOrderInfo& refund : TDelivery::Unsent(FCache, refunds))
        kept << refund.tbTradeId + u'/' + refund.tbTradeParentId;
    EXPECT_EQ(kept, (QStringList {QStringLiteral("C0/P0"), QStringLiteral("C1/P1"), QStringLiteral("/P2")}));
}

// A cache that cannot answer fails the account's delivery before anything is counted or posted.
TEST_F(Delivery, ACacheThatCannotAnswerFailsBeforeAnythingIsPosted)
{
    TDBCacheClass impatient(FFolder.path(), 0);
    THeldCacheLock held(impatient.dbFileName());
    ASSERT_TRUE(held.Held());
    TOrderPassResult pass;
    pass.orders = InvalidOrders(3);
    bool announced = false;
    const auto announce = [&announced](qsizetype) { announced = true; };
    EXPECT_THROW(
        FDelivery.DeliverInvalid(impatient, &FApp, QStringLiteral("u1"), QStringLiteral("a"), pass, true, announce),
        ECacheError);
    EXPECT_THROW(FDelivery.DeliverRefunds(impatient, &FApp, Refunds(2), announce), ECacheError);
    EXPECT_FALSE(announced);
    EXPECT_EQ(FIntake.RequestCount() + FService.RequestCount(), 0u);
}

// An account's orders from the reader's records to the cache: the count announced is what goes out, the
// watermarks move only once every batch was accepted, and an order that left the window undelivered is reported.
TEST_F(Delivery, AnAccountsPassIsDeliveredWatermarkedAndWatched)
{
    WriteSettings(true);
    ASSERT_EQ(FCache.add({{QStringLiteral("P0"), QStringLiteral("C0")}}, 0), QString());
    TOrderPassResult pass;
    pass.accountKey = QStringLiteral("u1");
    pass.orders = InvalidOrders(2);
    pass.watermarks = {{13, TOrderWatermark {500, 400}}};
    pass.incremental = true;
    qsizetype announced = -1;
    const auto announce = [&announced](qsizetype ANew) { announced = ANew; };

    AnswerCodes({"500"});
    const TDelivered refused
        = FDelivery.DeliverInvalid(FCache, &FApp, QStringLiteral("u1"), QStringLiteral("a"), pass, true, announce);
    EXPECT_EQ(announced, 1);
    EXPECT_EQ(refused.found, 1);
    EXPECT_FALSE(refused.posted.AllAccepted());
    EXPECT_FALSE(FCache.watermark(QStringLiteral("u1"), 13).has_value());
    EXPECT_FALSE(TDelivery::Watermarks(FCache, QStringLiteral("u1"))->count(13));

    const TDelivered accepted
        = FDelivery.DeliverInvalid(FCache, &FApp, QStringLiteral("u1"), QStringLiteral("a"), pass, true, announce);
    EXPECT_TRUE(accepted.posted.AllAccepted());
    EXPECT_EQ(accepted.posted.delivered, 1);
    ASSERT_TRUE(TDelivery::Watermarks(FCache, QStringLiteral("u1"))->count(13));
    EXPECT_EQ(TDelivery::Watermarks(FCache, QStringLiteral("u1"))->at(13).updatedTo, 500);
    EXPECT_TRUE(Cached("P1", "C1", 0));

    // P5 fails, then a whole read of the window no longer finds it: it aged out undelivered.
    TOrderPassResult whole;
    whole.accountKey = QStringLiteral("u1");
    whole.orders = {InvalidOrders(6)[5]};
    AnswerCodes({"500", "500", "500"});
    EXPECT_EQ(
        FDelivery.DeliverInvalid(FCache, &FApp, QStringLiteral("u1"), QStringLiteral("a"), whole, true, {}).agedOut, 0);
    whole.orders.clear();
    EXPECT_EQ(
        FDelivery.DeliverInvalid(FCache, &FApp, QStringLiteral("u1"), QStringLiteral("a"), whole, true, {}).agedOut, 1);
    EXPECT_EQ(FAgedOut.Count(QStringLiteral("u1")), 1);
}

} // namespace
