#include "operator/uapiApp.h"

#include "foundation/qerror.h"
#include "foundation/qjson.h"
#include "foundation/qworker.h"
#include "log/QLog.h"
#include "logLines.h"
#include "standin/testservers.h"
#include "store/ucommon.h"
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

// The operator back end (service and order-intake hosts), the settings and a log, all local. The client is
// transport only: a batch is posted as given and the back end's verdict comes back untouched.
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
        FLogLines = TLogLines::Attach(FLog);
    }

    void TearDown() override
    {
        Hold(false);
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
    std::shared_ptr<TLogLines> FLogLines;
    TQLog FLog;
    TGlobalScope<TQLog> FLogScope {&FLog};
    TAPIApp FApp;
};

const QString kBatch = QStringLiteral("[{\"tradeId\":\"C1\",\"tradeParentId\":\"P1\",\"tkStatus\":13,"
                                      "\"payPrice\":\"100\",\"pubShareFee\":\"1\"}]");

TEST_F(OrderPosting, InvalidBatchGoesToTheIntakeSignedWithoutTheSession)
{
    QString error;
    ASSERT_TRUE(FApp.Login(QStringLiteral("13800000000"), QStringLiteral("pw"), error));
    const TServiceResp resp = FApp.postInvalidOrders(u' ' + kBatch + u'\n');
    EXPECT_EQ(resp.code, 200);
    ASSERT_EQ(FIntake.RequestCount(), 1u);
    EXPECT_EQ(FService.RequestCount(), 1u); // the login
    const TFields form = FIntake.LastRequest().FormFields();
    EXPECT_EQ(FieldNames(form), (std::vector<std::string> {"orders", "timestamp", "sign"}));
    EXPECT_EQ(QString::fromStdString(FieldValue(form, "orders")), kBatch);
}

TEST_F(OrderPosting, RefundBatchGoesToTheServiceWithTheSession)
{
    QString error;
    ASSERT_TRUE(FApp.Login(QStringLiteral("13800000000"), QStringLiteral("pw"), error));
    EXPECT_EQ(FApp.postRefundOrders(kBatch).code, 200);
    const std::vector<TRecordedRequest> requests = FService.Requests();
    ASSERT_EQ(requests.size(), 2u); // the login, then the batch
    const TFields form = requests[1].FormFields();
    EXPECT_EQ(FieldNames(form), (std::vector<std::string> {"orders", "timestamp", "token", "uid", "sign"}));
    EXPECT_EQ(FieldValue(form, "token"), "t-1");
    EXPECT_EQ(FieldValue(form, "uid"), "u-1");
    EXPECT_EQ(QString::fromStdString(FieldValue(form, "orders")), kBatch);
    EXPECT_EQ(FIntake.RequestCount(), 0u);
}

// The verdict is the back end's, as it said it; what a refusal costs is the caller's to decide. Nothing is logged.
TEST_F(OrderPosting, TheVerdictIsTheBackEndsAnswer)
{
    AnswerCodes({"200", "500", "\"abc\"", "403"});
    EXPECT_EQ(FApp.postInvalidOrders(kBatch).code, 200);
    const TServiceResp refused = FApp.postInvalidOrders(kBatch);
    EXPECT_EQ(refused.code, 500);
    EXPECT_EQ(refused.msg, QStringLiteral("m500"));
    EXPECT_THROW(FApp.postInvalidOrders(kBatch), EQuenlarError);
    EXPECT_EQ(FApp.postRefundOrders(kBatch).code, 403);
    EXPECT_TRUE(FLogLines->Lines().isEmpty());
}

// A batch's outcome decides what is cached, so a stopping scheduler does not cut it short (only the end's grace does).
TEST_F(OrderPosting, BatchInFlightWhenTheSchedulerTerminatesStillCompletes)
{
    TQWorkers scheduler;
    const TGlobalScope<TQWorkers> schedulerScope(&scheduler);
    Hold(true);
    auto refunds = std::async(std::launch::async, [this] { return FApp.postRefundOrders(kBatch); });
    const THoldRelease release {*this}; // before the future waits, should an assertion end the test early
    auto invalid = std::async(std::launch::async, [this] { return FApp.postInvalidOrders(kBatch); });
    // One batch is in flight; the other waits for the transport's lock and goes out only after the stop.
    ASSERT_TRUE(WaitForCondition([this] { return FService.RequestCount() + FIntake.RequestCount() >= 1; }));
    scheduler.SetAppTerminating();
    // A post that heeded the stop would end the call within this bound, longer than a stopped exchange takes.
    EXPECT_EQ(refunds.wait_for(std::chrono::milliseconds(400)), std::future_status::timeout);
    Hold(false);
    EXPECT_EQ(refunds.get().code, 200);
    EXPECT_EQ(invalid.get().code, 200);
}

// At the process end a back end that does not answer must not hold the end for the request time-out: past the
// grace the post in flight is cut, a failed request.
TEST_F(OrderPosting, PostHangingPastTheEndsGraceIsCut)
{
    Hold(true);
    const THoldRelease release {*this};
    EXPECT_FALSE(FApp.Ending());
    auto posted = std::async(std::launch::async, [this] { return FApp.postInvalidOrders(kBatch); });
    ASSERT_TRUE(WaitForCondition([this] { return FIntake.RequestCount() >= 1; }));
    FApp.CutPostsAfter(std::chrono::milliseconds(50));
    EXPECT_TRUE(FApp.Ending());
    EXPECT_TRUE(posted.get().IsLocalFailure());
    EXPECT_TRUE(FApp.PostsCut());
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

} // namespace
