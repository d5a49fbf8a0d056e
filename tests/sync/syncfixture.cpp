#include "syncfixture.h"

#include "store/udb.h"
#include "testwait.h"

#include <QDateTime>
#include <QFile>

namespace {

class TRecordingWriter : public TQLogWriter {
public:
    explicit TRecordingWriter(std::shared_ptr<TLogRecord> ARecord)
        : FRecord(std::move(ARecord))
    {
    }
    void HandleNeeded() override { }
    bool WriteItem(const TQLogItem& AItem) override
    {
        FRecord->Add(LogItemMessage(AItem));
        return true;
    }

private:
    std::shared_ptr<TLogRecord> FRecord;
};

std::string Ok(const std::string& AData = "null")
{
    return R"({"code":200,"msg":"ok","time":1,"data":)" + AData + "}";
}

std::string OrderPage(const std::string& AOrders)
{
    return R"({"tbk_sc_order_details_get_response":{"data":{"has_next":false,"results":{"publisher_order_dto":[)"
        + AOrders + "]}}}}";
}

} // namespace

void TLogRecord::Add(const QString& AText)
{
    const std::scoped_lock lock(FMutex);
    FLines.push_back(AText);
}

std::vector<QString> TLogRecord::Lines() const
{
    const std::scoped_lock lock(FMutex);
    return FLines;
}

bool TLogRecord::Contains(const QString& AText) const
{
    const std::scoped_lock lock(FMutex);
    return std::find(FLines.begin(), FLines.end(), AText) != FLines.end();
}

TStandInServices::TStandInServices()
{
    FOperator.Post("/client/dbmove/login", [this](const httplib::Request&, httplib::Response& res) {
        const std::scoped_lock lock(FMutex);
        res.set_content(FLoginReply, "application/json");
    });
    FOperator.Post("/client/alimmtoken/getSyncOrderToken", [this](const httplib::Request&, httplib::Response& res) {
        std::function<void()> before;
        std::string list;
        {
            const std::scoped_lock lock(FMutex);
            before = FBeforeAccountList;
            for (const TTestAccount& account : FAccounts) {
                list += list.empty() ? "" : ",";
                list += R"({"userId":")" + account.userId + R"(","userName":")" + account.userName
                    + R"(","authTime":1600000000,"exptime":1700000000,"accessToken":")" + account.token + R"("})";
            }
        }
        if (before)
            before();
        res.set_content(Ok("[" + list + "]"), "application/json");
    });
    FOperator.Post("/client/tbrefund/order/sync", [this](const httplib::Request&, httplib::Response& res) {
        std::function<void()> before;
        {
            const std::scoped_lock lock(FMutex);
            before = FBeforeRefundPost;
        }
        if (before)
            before();
        ++FRefundBatches;
        res.set_content(Ok(), "application/json");
    });
    FIntake.Post("/orders/tborder/invalid/push", [this](const httplib::Request&, httplib::Response& res) {
        ++FIntakeBatches;
        res.set_content(Ok(), "application/json");
    });
    // Orders only in the window's last slice, so each order arrives once per pass.
    FGateway.Post("/router/rest", [](const httplib::Request& req, httplib::Response& res) {
        TRecordedRequest recorded;
        recorded.body = req.body;
        const TFormFields fields = recorded.FormFields();
        const std::string recent
            = QDateTime::currentDateTime().addSecs(-600).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")).toStdString();
        std::string orders;
        if (FieldValue(fields, "end_time") >= recent) {
            const std::string session = FieldValue(fields, "session");
            orders = R"({"trade_id":")" + session + R"(-1","trade_parent_id":")" + session
                + R"(-p","pay_price":"1.00","pub_share_fee":"0.10","tk_status":13})";
        }
        res.set_content(OrderPage(orders), "application/json");
    });
    FPublisher.Get("/openapi/param2/1/gateway.unionpub/report.getTbkRefundOrderDetails.json",
        [](const httplib::Request&, httplib::Response& res) {
            res.set_content(R"({"data":{"hasNext":false,"result":[{"tbTradeId":"R1","tbTradeParentId":"RP1",)"
                            R"("showRefundStatus":"维权成功","refundFee":"1.00"}]}})",
                "application/json");
        });
    FPublisher.Get("/common/getUnionPubContextInfo.json", [this](const httplib::Request& req, httplib::Response& res) {
        const std::scoped_lock lock(FMutex);
        const auto found = FLiveCookies.find(req.get_header_value("Cookie"));
        const std::string nick = found == FLiveCookies.end() ? "" : found->second;
        res.set_content(R"({"data":{"mmNick":")" + nick + R"("}})", "application/json");
    });
    FMedia.Get("/user/alipay_info.htm", TTestServer::Reply(200, "ok", "text/html"));
    for (TTestServer* server : {&FOperator, &FIntake, &FGateway, &FPublisher, &FMedia})
        server->Start();
}

void TStandInServices::PrepareProgramFolder(const QString& AFolder) const
{
    QFile ini(AFolder + QStringLiteral("/conf.ini"));
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write("[setting]\nsyncysh=0\nopenLarge=0\n[hosts]\noperatorService=" + FOperator.HostValue().toUtf8()
        + "\noperatorIntake=" + FIntake.HostValue().toUtf8() + "\ntopGateway=" + FGateway.HostValue().toUtf8()
        + "\nalimamaPublisher=" + FPublisher.HostValue().toUtf8() + "\nalimamaMedia=" + FMedia.HostValue().toUtf8()
        + "\ncaFile=" + FCert.CertFile().toUtf8() + "\n");
    ini.close();
    CreateOrderCache(AFolder + QStringLiteral("/db.db"));
}

void SyncFixture::SetUp()
{
    PrepareProgramFolder(FFolder.path());

    TProcessObjects::TOptions options;
    options.programFolder = FFolder.path();
    options.moduleFileName = FFolder.filePath(QStringLiteral("quenlar"));
    options.timing.WaitStep = 1;
    FObjects = std::make_unique<TProcessObjects>(options);
    GlobalLog()->Castor()->AddWriter(std::make_unique<TRecordingWriter>(FLog));
    TSyncTiming timing;
    timing.probeConnectTimeoutMs = 2000;
    timing.probeReadTimeoutMs = 2000;
    FController = std::make_unique<TSyncController>(FFrontEnd, FFolder.path(), timing);
    FController->Open();
}

void SyncFixture::TearDown()
{
    Shutdown();
}

void SyncFixture::Shutdown()
{
    if (!FObjects)
        return;
    FController->CloseListener();
    FObjects->StopJobs();
    FController.reset();
    FObjects.reset();
}

void TStandInServices::SetAccounts(std::vector<TTestAccount> AAccounts)
{
    const std::scoped_lock lock(FMutex);
    FAccounts = std::move(AAccounts);
}

bool SyncFixture::WaitMain(const std::function<bool()>& ACondition)
{
    return WaitForCondition(ACondition, kTestWaitLimit, true);
}

void SyncFixture::SignInAndList()
{
    std::optional<bool> signedIn;
    bool refreshed = false;
    const QMetaObject::Connection connection = QObject::connect(
        FController.get(), &TSyncController::AccountsRefreshed, [&refreshed](bool) { refreshed = true; });
    ASSERT_TRUE(FController->SignIn(QStringLiteral("13800000000"), QStringLiteral("pw"),
        [&signedIn](bool AOk, const QString&) { signedIn = AOk; }));
    ASSERT_TRUE(WaitMain([&] { return refreshed && !FController->OperatorRequestRunning(); }));
    QObject::disconnect(connection);
    ASSERT_TRUE(signedIn.value_or(false));
}

void SyncFixture::RunJob(void (TSyncController::*AProc)(TQJob*))
{
    std::atomic<bool> done {false};
    JobScheduler()->Post([this, AProc, &done](TQJob* AJob) {
        (FController.get()->*AProc)(AJob);
        done = true;
    });
    ASSERT_TRUE(WaitMain([&] { return done.load(); }));
}
