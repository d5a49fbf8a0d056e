#include "standin/standin.h"

#include "standinclient.h"
#include "testwait.h"
#include "topclient.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <set>
#include <vector>

namespace {

class StandIn : public ::testing::Test, protected TStandInFixture {
protected:
    void SetUp() override { FStandIn.Start(); }

    int Port(TStandInHost AHost) const { return FStandIn.Port(AHost); }

    // Signs in as the operator; the session fields for later requests.
    TFormFields Session()
    {
        const QJsonObject reply = Json(PostForm(Port(TStandInHost::Operator), "/client/dbmove/login",
            OperatorSigned({{"phone", FStandIn.Operator().Phone()}, {"pwd", FStandIn.Operator().Password()}})));
        const QJsonObject data = reply[QStringLiteral("data")].toObject();
        return {{"token", data[QStringLiteral("token")].toString().toStdString()},
            {"uid", data[QStringLiteral("uid")].toString().toStdString()}};
    }

    static std::string InvalidBatch(const std::vector<std::pair<std::string, std::string>>& AOrders)
    {
        std::string text = "[";
        for (const auto& [parent, child] : AOrders) {
            if (text.size() > 1)
                text += ",";
            text += R"({"tradeId":")" + child + R"(","tradeParentId":")" + parent
                + R"(","tkStatus":13,"payPrice":"1250","pubShareFee":"38"})";
        }
        return text + "]";
    }

    httplib::Result PostInvalid(const std::string& ABatch)
    {
        return PostForm(
            Port(TStandInHost::Intake), "/orders/tborder/invalid/push", OperatorSigned({{"orders", ABatch}}));
    }

    TStandIn FStandIn {FreePorts()};
};

// --- operator back end ---

struct TOperatorCase {
    const char* name;
    const char* path;
    std::function<TFormFields(const TFormFields& ASession, const TStandIn&)> form;
    int code;
};

class OperatorRequests : public StandIn, public ::testing::WithParamInterface<TOperatorCase> { };

TEST_P(OperatorRequests, AnswerInTheEnvelope)
{
    const TFormFields session = Session();
    const int port = std::string(GetParam().path) == "/orders/tborder/invalid/push" ? Port(TStandInHost::Intake)
                                                                                    : Port(TStandInHost::Operator);
    const httplib::Result result = PostForm(port, GetParam().path, GetParam().form(session, FStandIn));
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    const QJsonObject reply = Json(result);
    EXPECT_EQ(reply[QStringLiteral("code")].toInt(), GetParam().code) << result->body;
    EXPECT_TRUE(reply[QStringLiteral("msg")].isString());
    EXPECT_TRUE(reply[QStringLiteral("time")].isDouble());
}

const std::string kOneOrder = R"([{"tradeId":"1","tradeParentId":"2","tkStatus":13,"payPrice":"1","pubShareFee":"0"}])";

INSTANTIATE_TEST_SUITE_P(StandIn, OperatorRequests,
    ::testing::Values(TOperatorCase {"LoginGoodSign", "/client/dbmove/login",
                          [](const TFormFields&, const TStandIn& s) {
                              return TStandInFixture::OperatorSigned(
                                  {{"phone", s.Config()[QStringLiteral("phone")].toString().toStdString()},
                                      {"pwd", s.Config()[QStringLiteral("password")].toString().toStdString()}});
                          },
                          200},
        TOperatorCase {"LoginBadSign", "/client/dbmove/login",
            [](const TFormFields&, const TStandIn& s) {
                TFormFields fields = TStandInFixture::OperatorSigned(
                    {{"phone", s.Config()[QStringLiteral("phone")].toString().toStdString()}, {"pwd", "x"}});
                fields[1].second
                    = s.Config()[QStringLiteral("password")].toString().toStdString(); // changed after signing
                return fields;
            },
            403},
        TOperatorCase {"LoginWrongPassword", "/client/dbmove/login",
            [](const TFormFields&, const TStandIn& s) {
                return TStandInFixture::OperatorSigned(
                    {{"phone", s.Config()[QStringLiteral("phone")].toString().toStdString()}, {"pwd", "wrong"}});
            },
            1001},
        TOperatorCase {"StaleTimestamp", "/client/alimmtoken/getSyncOrderToken",
            [](const TFormFields& ASession, const TStandIn&) {
                TFormFields fields = ASession;
                fields.emplace_back("timestamp", std::to_string(QDateTime::currentSecsSinceEpoch() - 3600));
                fields.emplace_back("sign", OperatorSign(fields, kOperatorSecret));
                return fields;
            },
            408},
        TOperatorCase {"AccountListWithSession", "/client/alimmtoken/getSyncOrderToken",
            [](const TFormFields& ASession, const TStandIn&) { return TStandInFixture::OperatorSigned(ASession); },
            200},
        TOperatorCase {"AccountListWithoutSession", "/client/alimmtoken/getSyncOrderToken",
            [](const TFormFields&, const TStandIn&) { return TStandInFixture::OperatorSigned({}); }, 401},
        TOperatorCase {"AccountListWrongToken", "/client/alimmtoken/getSyncOrderToken",
            [](const TFormFields& ASession, const TStandIn&) {
                return TStandInFixture::OperatorSigned({{"token", "other"}, ASession[1]});
            },
            401},
        TOperatorCase {"RefundBatchNeedsTheSession", "/client/tbrefund/order/sync",
            [](const TFormFields&, const TStandIn&) {
                return TStandInFixture::OperatorSigned({{"orders", "[]"}});
            },
            401},
        TOperatorCase {"InvalidBatchWithoutSession", "/orders/tborder/invalid/push",
            [](const TFormFields&, const TStandIn&) {
                return TStandInFixture::OperatorSigned({{"orders", kOneOrder}});
            },
            200},
        TOperatorCase {"InvalidBatchBadSign", "/orders/tborder/invalid/push",
            [](const TFormFields&, const TStandIn&) {
                TFormFields fields = TStandInFixture::OperatorSigned({{"orders", kOneOrder}});
                fields.back().second[0] = fields.back().second[0] == 'a' ? 'b' : 'a';
                return fields;
            },
            403},
        TOperatorCase {"InvalidBatchNotAnArray", "/orders/tborder/invalid/push",
            [](const TFormFields&, const TStandIn&) {
                return TStandInFixture::OperatorSigned({{"orders", "{}"}});
            },
            400}),
    [](const auto& AInfo) { return std::string(AInfo.param.name); });

TEST_F(StandIn, AccountListHoldsTheDemoAccounts)
{
    const QJsonObject reply = Json(
        PostForm(Port(TStandInHost::Operator), "/client/alimmtoken/getSyncOrderToken", OperatorSigned(Session())));
    const QJsonArray accounts = reply[QStringLiteral("data")].toArray();
    ASSERT_EQ(accounts.size(), 2);
    for (int i = 0; i < 2; ++i) {
        const QJsonObject account = accounts[i].toObject();
        EXPECT_EQ(account[QStringLiteral("userId")].toString().toStdString(), FStandIn.Data().Accounts()[i].userId);
        EXPECT_EQ(
            account[QStringLiteral("accessToken")].toString().toStdString(), FStandIn.Data().Accounts()[i].accessToken);
        EXPECT_FALSE(account[QStringLiteral("userName")].toString().isEmpty());
        EXPECT_GT(account[QStringLiteral("exptime")].toInteger(), account[QStringLiteral("authTime")].toInteger());
    }
}

TEST_F(StandIn, LedgerCountsEachOrderOnceAndTheDuplicates)
{
    const std::string first = InvalidBatch({{"p1", "c1"}, {"p1", "c2"}});
    ASSERT_EQ(Json(PostInvalid(first))[QStringLiteral("code")].toInt(), 200);
    ASSERT_EQ(Json(PostInvalid(first))[QStringLiteral("code")].toInt(), 200); // the same batch again
    ASSERT_EQ(Json(PostInvalid(InvalidBatch({{"p2", "c3"}, {"p1", "c1"}})))[QStringLiteral("code")].toInt(), 200);

    const QJsonObject invalid = FStandIn.Received()[QStringLiteral("invalidOrders")].toObject();
    EXPECT_EQ(invalid[QStringLiteral("batches")].toInt(), 3);
    EXPECT_EQ(invalid[QStringLiteral("duplicateBatches")].toInt(), 1);
    EXPECT_EQ(invalid[QStringLiteral("orders")].toInt(), 3);
    EXPECT_EQ(invalid[QStringLiteral("duplicates")].toInt(), 3);
    EXPECT_EQ(invalid[QStringLiteral("unknown")].toInt(), 3); // the gateway never served them
    const QJsonArray list = invalid[QStringLiteral("list")].toArray();
    ASSERT_EQ(list.size(), 3);
    EXPECT_EQ(list[0][QStringLiteral("tradeId")].toString(), QStringLiteral("c1"));
    EXPECT_EQ(list[0][QStringLiteral("receipts")].toInt(), 3);
    EXPECT_EQ(list[2][QStringLiteral("receipts")].toInt(), 1);

    // The control host shows the same.
    httplib::Client control("127.0.0.1", FStandIn.ControlPort());
    const QJsonObject status = Json(control.Get("/standin/status.json"));
    EXPECT_EQ(status[QStringLiteral("invalidOrders")][QStringLiteral("orders")].toInt(), 3);
    const httplib::Result page = control.Get("/standin/");
    ASSERT_TRUE(page);
    EXPECT_NE(page->body.find("c3"), std::string::npos);
}

// --- the alerts' receiver ---

struct TWebhookCase {
    const char* name;
    std::string target; // path and query on the control host
    std::string body;
    const char* codeKey; // "errcode" (WeCom, DingTalk) or "code" (Feishu)
    int code;
    QJsonValue held; // what "signed" records: null where nothing was checked
};

class WebhookReceiver : public ::testing::TestWithParam<TWebhookCase> { };

// printf '1765339200000\nSECtest' | openssl dgst -sha256 -hmac 'SECtest' -binary | base64, URL-encoded
const std::string kDingTalkQuery = "timestamp=1765339200000&sign=PdgZrUSlzpGkMMA87AUlRJihC66Fw3XVu9oZ33B0%2Bx4%3D";
// printf '' | openssl dgst -sha256 -hmac "$(printf '1765339200\nSECtest')" -binary | base64
const std::string kFeishuSigned = R"({"timestamp":"1765339200","sign":"SNMYDzyt7k8r5xRx2whHb8Xw7Nkk9hM9VFfBaNx6ZLk=",)"
                                  R"("msg_type":"text","content":{"text":"x"}})";

// Takes what it is sent, checks the robots' signatures against the secret the control host was given, answers as
// each robot does, and shows it all on the control host until a reset.
TEST_P(WebhookReceiver, AnswersAsTheRobotsDoAndKeepsWhatCame)
{
    const TWebhookCase& c = GetParam();
    TStandIn standIn(TStandInFixture::FreePorts());
    standIn.Start();
    httplib::Client control("127.0.0.1", standIn.ControlPort());
    ASSERT_TRUE(control.Post("/standin/faults", "webhookSecret=SECtest", "application/x-www-form-urlencoded"));
    const httplib::Result reply = control.Post(c.target, c.body, "application/json; charset=utf-8");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 200);
    EXPECT_EQ(TStandInFixture::Json(reply)[QLatin1String(c.codeKey)].toInt(), c.code) << reply->body;

    const QJsonArray received = TStandInFixture::Json(control.Get("/standin/webhooks.json"))[u"received"].toArray();
    ASSERT_EQ(received.size(), 1);
    EXPECT_EQ(received[0][u"path"].toString().toStdString(), c.target.substr(0, c.target.find('?')));
    EXPECT_EQ(received[0][u"signed"], c.held);
    EXPECT_EQ(received[0][u"body"].toObject(), QJsonDocument::fromJson(QByteArray::fromStdString(c.body)).object());
    EXPECT_EQ(TStandInFixture::Json(control.Get("/standin/status.json"))[u"webhooks"].toArray().size(), 1);
    ASSERT_TRUE(control.Post("/standin/reset", "", "application/x-www-form-urlencoded"));
    EXPECT_TRUE(standIn.Webhooks().Received().isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Robots, WebhookReceiver,
    ::testing::Values(
        TWebhookCase {"Plain", "/standin/webhook?token=t", R"({"state":"unhealthy"})", "errcode", 0, QJsonValue::Null},
        TWebhookCase {"WeCom", "/standin/webhook/wecom?key=k", R"({"msgtype":"text","text":{"content":"x"}})",
            "errcode", 0, QJsonValue::Null},
        TWebhookCase {"DingTalkSigned", "/standin/webhook/dingtalk?access_token=t&" + kDingTalkQuery,
            R"({"msgtype":"text","text":{"content":"x"}})", "errcode", 0, true},
        TWebhookCase {"DingTalkWrongSign", "/standin/webhook/dingtalk?access_token=t&timestamp=1765339200001&sign=x",
            R"({"msgtype":"text","text":{"content":"x"}})", "errcode", 310000, false},
        TWebhookCase {"DingTalkUnsigned", "/standin/webhook/dingtalk?access_token=t",
            R"({"msgtype":"text","text":{"content":"x"}})", "errcode", 310000, false},
        TWebhookCase {"FeishuSigned", "/standin/webhook/feishu", kFeishuSigned, "code", 0, true},
        TWebhookCase {"FeishuWrongSign", "/standin/webhook/feishu",
            R"({"timestamp":"1765339200","sign":"AAAA","msg_type":"text","content":{"text":"x"}})", "code", 19021,
            false}),
    [](const auto& AInfo) { return std::string(AInfo.param.name); });

// --- TOP gateway ---

// Every page of the window, following position_index (or page_no); the trade ids in the order served.
std::vector<std::string> AllPages(int APort, const std::string& ASession, qint64 AStart, qint64 AEnd, int APageSize,
    bool AByPosition, const TFormFields& AMore = {})
{
    std::vector<std::string> ids;
    std::string position;
    for (int pageNo = 1; pageNo < 1000; ++pageNo) {
        TFormFields api {{"page_no", std::to_string(pageNo)}, {"page_size", std::to_string(APageSize)}};
        if (AByPosition && !position.empty())
            api.emplace_back("position_index", position);
        api.insert(api.end(), AMore.begin(), AMore.end());
        const TTopPage page = TopCall(APort, TopForm(ASession, AStart, AEnd, api));
        EXPECT_TRUE(page.error.isEmpty());
        EXPECT_LE(static_cast<int>(page.orders.size()), APageSize);
        for (const QJsonObject& order : page.orders)
            ids.push_back(order[QStringLiteral("trade_id")].toString().toStdString());
        position = page.position;
        if (!page.hasNext)
            break;
    }
    return ids;
}

class TopGateway : public ::testing::Test, protected TStandInFixture {
protected:
    static TStandInOptions Busy(std::uint64_t ASeed)
    {
        TStandInOptions options = FreePorts(ASeed);
        options.ordersPerHour = 20;
        return options;
    }
    void SetUp() override
    {
        FStandIn.Start();
        FSession = FStandIn.Data().Accounts()[0].accessToken;
    }
    int Port() const { return FStandIn.Port(TStandInHost::Top); }

    const qint64 FEnd = DemoNow() - 20 * 86400; // every order of the window has reached its final status
    const qint64 FStart = FEnd - 3 * 3600;
    TStandIn FStandIn {Busy(7)};
    std::string FSession;
};

TEST_F(TopGateway, PagesDeterministicallyBySeed)
{
    const std::vector<std::string> whole = AllPages(Port(), FSession, FStart, FEnd, 100, true);
    ASSERT_GT(whole.size(), 30u);
    EXPECT_EQ(std::set<std::string>(whole.begin(), whole.end()).size(), whole.size()) << "an order served twice";
    EXPECT_EQ(AllPages(Port(), FSession, FStart, FEnd, 7, true), whole);
    EXPECT_EQ(AllPages(Port(), FSession, FStart, FEnd, 7, false), whole);

    TStandIn same(Busy(7));
    same.Start();
    EXPECT_EQ(AllPages(same.Port(TStandInHost::Top), FSession, FStart, FEnd, 100, true), whole);
    TStandIn other(Busy(8));
    other.Start();
    EXPECT_NE(AllPages(other.Port(TStandInHost::Top), other.Data().Accounts()[0].accessToken, FStart, FEnd, 100, true),
        whole);
}

TEST_F(TopGateway, OrdersLookLikeTheGatewaysOwn)
{
    std::set<int> statuses;
    std::set<size_t> idLengths;
    const QRegularExpression money(QStringLiteral("^\\d+\\.\\d\\d$"));
    for (qint64 start = FStart - 5 * 3 * 3600; start <= FStart; start += 3 * 3600) {
        for (const QJsonObject& order :
            TopCall(Port(), TopForm(FSession, start, start + 3 * 3600, {{"page_size", "100"}})).orders) {
            statuses.insert(order[QStringLiteral("tk_status")].toInt());
            idLengths.insert(order[QStringLiteral("trade_id")].toString().size());
            EXPECT_TRUE(order[QStringLiteral("trade_id")].isString());
            const int status = order[QStringLiteral("tk_status")].toInt();
            // Settled and received orders carry the settlement amount; paid and invalid ones carry none.
            if (status == 3 || status == 14) {
                EXPECT_TRUE(money.match(order[QStringLiteral("pay_price")].toString()).hasMatch());
            } else {
                EXPECT_FALSE(order.contains(QStringLiteral("pay_price")));
            }
            EXPECT_TRUE(money.match(order[QStringLiteral("alipay_total_price")].toString()).hasMatch());
            const QString share = order[QStringLiteral("pub_share_fee")].toString();
            EXPECT_TRUE(money.match(share).hasMatch() || (status == 13 && share == QStringLiteral("--")))
                << share.toStdString();
            EXPECT_FALSE(order[QStringLiteral("trade_parent_id")].toString().isEmpty());
        }
    }
    EXPECT_EQ(statuses, (std::set<int> {3, 12, 13, 14}));
    EXPECT_EQ(idLengths, (std::set<size_t> {18, 19}));
}

TEST_F(TopGateway, HonoursStatusAndQueryType)
{
    const std::vector<std::string> invalid = AllPages(Port(), FSession, FStart, FEnd, 100, true, {{"tk_status", "13"}});
    ASSERT_FALSE(invalid.empty());
    const TTopPage all = TopCall(Port(), TopForm(FSession, FStart, FEnd, {{"page_size", "100"}}));
    size_t expected = 0;
    for (const QJsonObject& order : all.orders)
        expected += order[QStringLiteral("tk_status")].toInt() == 13;
    EXPECT_EQ(invalid.size(), expected);

    // By settlement time only settled orders come back.
    const qint64 later = FEnd + 10 * 86400;
    for (const QJsonObject& order :
        TopCall(Port(), TopForm(FSession, later - 3 * 3600, later, {{"page_size", "100"}, {"query_type", "3"}})).orders)
        EXPECT_EQ(order[QStringLiteral("tk_status")].toInt(), 3);
}

struct TTopRefusal {
    const char* name;
    std::function<TFormFields(const std::string& ASession, qint64 AStart, qint64 AEnd)> form;
    int code;
    const char* subCode = nullptr; // checked when given
};

// The order-method request with one field changed (or dropped when AValue is null) before signing.
TFormFields ChangedTopForm(
    const std::string& ASession, qint64 AStart, qint64 AEnd, const std::string& AName, const char* AValue)
{
    TFormFields fields = TopForm(ASession, AStart, AEnd, {});
    fields.pop_back(); // the sign
    std::erase_if(fields, [&](const auto& AField) { return AField.first == AName; });
    if (AValue != nullptr)
        fields.emplace_back(AName, AValue);
    fields.emplace_back("sign", TopSign(fields, kTopAppSecret));
    return fields;
}

void PrintTo(const TTopRefusal& ARefusal, std::ostream* AOut)
{
    *AOut << ARefusal.name;
}

class TopRefusals : public TopGateway, public ::testing::WithParamInterface<TTopRefusal> { };

TEST_P(TopRefusals, AnswerWithTheErrorResponse)
{
    const TTopPage page = TopCall(Port(), GetParam().form(FSession, FStart, FEnd));
    EXPECT_EQ(page.error[QStringLiteral("code")].toInt(), GetParam().code) << page.body;
    if (GetParam().subCode != nullptr) {
        EXPECT_EQ(page.error[QStringLiteral("sub_code")].toString().toStdString(), GetParam().subCode);
    }
    EXPECT_TRUE(page.error[QStringLiteral("msg")].isString());
    EXPECT_TRUE(page.orders.empty());
}

INSTANTIATE_TEST_SUITE_P(StandIn, TopRefusals,
    ::testing::Values(TTopRefusal {"BadSign",
                          [](const std::string& s, qint64 a, qint64 b) {
                              TFormFields fields = TopForm(s, a, b, {{"page_size", "100"}});
                              for (auto& field : fields) {
                                  if (field.first == "page_size")
                                      field.second = "99"; // changed after signing
                              }
                              return fields;
                          },
                          25},
        TTopRefusal {"UnknownSession",
            [](const std::string&, qint64 a, qint64 b) { return TopForm("6101nobody", a, b, {}); }, 27},
        TTopRefusal {"WindowOverThreeHours",
            [](const std::string& s, qint64 a, qint64 b) { return TopForm(s, a - 1, b, {}); }, 15, "2007"},
        TTopRefusal {"NoStartTime",
            [](const std::string& s, qint64 a, qint64 b) { return ChangedTopForm(s, a, b, "start_time", nullptr); }, 40,
            "isv.missing-parameter:start_time"},
        TTopRefusal {"StartTimeNotATime",
            [](const std::string& s, qint64 a, qint64 b) {
                return ChangedTopForm(s, a, b, "start_time", "2026-10-31T09:00:00");
            },
            41},
        TTopRefusal {"NoSession",
            [](const std::string& s, qint64 a, qint64 b) { return ChangedTopForm(s, a, b, "session", nullptr); }, 26},
        TTopRefusal {"UnknownMethod",
            [](const std::string& s, qint64 a, qint64 b) {
                return ChangedTopForm(s, a, b, "method", "taobao.tbk.order.details.get");
            },
            22},
        TTopRefusal {"WrongAppKey",
            [](const std::string& s, qint64 a, qint64 b) { return ChangedTopForm(s, a, b, "app_key", "12345678"); },
            29}),
    [](const auto& AInfo) { return std::string(AInfo.param.name); });

TEST_F(TopGateway, CallLimitWhenSwitchedOn)
{
    FStandIn.Top().SetCallLimit(1);
    // Two calls within one second are over the limit; a loaded machine may need a few tries to fit two in one.
    bool limited = false;
    for (int i = 0; i < 20 && !limited; ++i)
        limited = TopCall(Port(), TopForm(FSession, FStart, FEnd, {})).error[QStringLiteral("code")].toInt() == 7;
    EXPECT_TRUE(limited);
}

TEST_F(TopGateway, BanQuotaAndTransientSwitches)
{
    const auto call = [&] { return TopCall(Port(), TopForm(FSession, FStart, FEnd, {})).error; };
    const auto subCode = [](const QJsonObject& AError) { return AError[QStringLiteral("sub_code")].toString(); };

    FStandIn.Top().SetBan(1, 30);
    EXPECT_TRUE(call().isEmpty());
    const QJsonObject ban = call();
    EXPECT_EQ(ban[QStringLiteral("code")].toInt(), 7);
    EXPECT_EQ(subCode(ban), QStringLiteral("accesscontrol.limited-by-api-access-count"));
    EXPECT_EQ(ban[QStringLiteral("sub_msg")].toString(), QStringLiteral("This ban will last for 30 more seconds"));
    FStandIn.Top().SetBan(0, 0);

    FStandIn.Top().SetTransientErrors(1);
    const QJsonObject transient = call();
    EXPECT_EQ(transient[QStringLiteral("code")].toInt(), 15);
    EXPECT_EQ(subCode(transient), QStringLiteral("isp.top-remote-connection-timeout"));
    EXPECT_TRUE(call().isEmpty());

    FStandIn.Top().SetDailyQuota(1);
    EXPECT_TRUE(call().isEmpty());
    const QJsonObject quota = call();
    EXPECT_EQ(subCode(quota), QStringLiteral("accesscontrol.limited-by-app-access-count"));
    const qint64 reset = (DemoNow() + 8 * 3600) / 86400 * 86400 + 86400 - 8 * 3600;
    EXPECT_EQ(quota[QStringLiteral("sub_msg")].toString(),
        QStringLiteral("This ban will last for %1 more seconds").arg(reset - DemoNow()));
    EXPECT_EQ(FStandIn.Top().CallsOf(0), 6);
}

// --- Alimama hosts ---

TEST_F(StandIn, RefundReportNeedsTheSessionAndItsToken)
{
    const TAlimamaHosts::TSignIn signIn = FStandIn.Alimama().SignIn(FStandIn.Data().Accounts()[1].userId);
    ASSERT_TRUE(signIn.ok);
    const auto client = Https(FStandIn, TStandInHost::Publisher);
    const QDate end = BeijingDate(DemoNow());
    const auto page = [&](int APage, const std::string& AToken, const std::string& ACookies) {
        const std::string path = std::string(TAlimamaHosts::kReportPath) + "?t=1&_tb_token_=" + AToken + "&pageNo="
            + std::to_string(APage) + "&startTime=" + end.addDays(-90).toString(u"yyyy-MM-dd").toStdString()
            + "&endTime=" + end.toString(u"yyyy-MM-dd").toStdString()
            + "&queryType=1&isFullRefund=0&memberType=&pageSize=40";
        return Json(client->Get(path.c_str(), httplib::Headers {{"Cookie", ACookies}}));
    };

    int total = 0;
    int pages = 0;
    std::set<std::string> ids;
    for (bool next = true; next; ++pages) {
        const QJsonObject reply = page(pages + 1, signIn.tbToken, signIn.cookies);
        ASSERT_TRUE(reply[QStringLiteral("ok")].toBool());
        const QJsonArray result = reply[QStringLiteral("data")][QStringLiteral("result")].toArray();
        EXPECT_LE(result.size(), 40);
        for (const QJsonValue& refund : result)
            ids.insert(refund[QStringLiteral("tbTradeId")].toString().toStdString());
        total += static_cast<int>(result.size());
        next = reply[QStringLiteral("data")][QStringLiteral("hasNext")].toBool();
        ASSERT_LT(pages, 100);
    }
    EXPECT_GT(pages, 2);
    EXPECT_EQ(static_cast<int>(ids.size()), total);

    EXPECT_FALSE(page(1, "wrong", signIn.cookies)[QStringLiteral("ok")].toBool());
    EXPECT_FALSE(page(1, signIn.tbToken, "")[QStringLiteral("ok")].toBool());
    FStandIn.Alimama().ExpireSessions(signIn.userId);
    EXPECT_FALSE(page(1, signIn.tbToken, signIn.cookies)[QStringLiteral("ok")].toBool());
}

// The refund method serves the report's refunds: over the report's 90 whole days, day by day and page by page
// along position_index, the successful ones are the report's successful ones.
TEST_F(StandIn, RefundMethodServesTheReportsRefundsByPosition)
{
    const TDemoAccount& account = FStandIn.Data().Accounts()[1];
    const TAlimamaHosts::TSignIn signIn = FStandIn.Alimama().SignIn(account.userId);
    ASSERT_TRUE(signIn.ok);
    const auto client = Https(FStandIn, TStandInHost::Publisher);
    const QDate end = BeijingDate(DemoNow());
    std::set<std::string> fromReport;
    for (int pageNo = 1; pageNo < 100; ++pageNo) {
        const std::string path = std::string(TAlimamaHosts::kReportPath) + "?t=1&_tb_token_=" + signIn.tbToken
            + "&pageNo=" + std::to_string(pageNo)
            + "&startTime=" + end.addDays(-90).toString(u"yyyy-MM-dd").toStdString() + "&endTime="
            + end.toString(u"yyyy-MM-dd").toStdString() + "&queryType=1&isFullRefund=0&memberType=&pageSize=40";
        const QJsonObject reply = Json(client->Get(path.c_str(), httplib::Headers {{"Cookie", signIn.cookies}}));
        for (const QJsonValue& refund : reply[QStringLiteral("data")][QStringLiteral("result")].toArray()) {
            if (refund[QStringLiteral("showRefundStatus")].toString() == QStringLiteral("维权成功"))
                fromReport.insert(refund[QStringLiteral("tbTradeId")].toString().toStdString());
        }
        if (!reply[QStringLiteral("data")][QStringLiteral("hasNext")].toBool())
            break;
    }
    ASSERT_FALSE(fromReport.empty());

    const int port = FStandIn.Port(TStandInHost::Top);
    const qint64 first = BeijingClock(end.addDays(-90));
    std::set<std::string> fromMethod;
    int pages = 0;
    for (qint64 day = first; day < DemoNow(); day += 86400) {
        std::string position;
        for (int pageNo = 1; pageNo < 100; ++pageNo, ++pages) {
            QJsonObject option = RefundOption(day, day + 86400, pageNo, 1);
            if (!position.empty())
                option.insert(QStringLiteral("position_index"), QString::fromStdString(position));
            const TRefundReply reply = RefundCall(port, RefundForm(account.accessToken, option));
            const QJsonObject data = reply.Data();
            ASSERT_FALSE(data.isEmpty()) << reply.body;
            for (const QJsonValue& refund : reply.Records()) {
                EXPECT_FALSE(refund[QStringLiteral("item_img")].isString());
                if (refund[QStringLiteral("refund_status")].toInt() == 2) {
                    EXPECT_TRUE(refund[QStringLiteral("tk_refund_suit_time")].isString());
                    fromMethod.insert(refund[QStringLiteral("tb_trade_id")].toString().toStdString());
                }
            }
            position = data[QStringLiteral("position_index")].toString().toStdString();
            if (!data[QStringLiteral("has_next")].toBool())
                break;
        }
    }
    EXPECT_EQ(fromMethod, fromReport);
    EXPECT_GT(pages, 91); // some days took more than one page of one record

    // More than a day in one request is a business error, and the method is refused to an account it is not
    // granted to. The code of the refusal, either kind; 0 for a page.
    const auto code = [&](const TDemoAccount& AAccount, qint64 ASpan) {
        const TRefundReply reply
            = RefundCall(port, RefundForm(AAccount.accessToken, RefundOption(first, first + ASpan)));
        return reply.error.isEmpty() ? reply.response[QStringLiteral("biz_error_code")].toInt()
                                     : reply.error[QStringLiteral("code")].toInt();
    };
    EXPECT_EQ(code(account, 86400 + 1), 102);
    FStandIn.Top().SetRefundRefused(account.userId);
    EXPECT_EQ(code(account, 86400), 11);
    EXPECT_EQ(code(FStandIn.Data().Accounts()[0], 86400), 0);
    FStandIn.Top().SetRefundRefused("all");
    EXPECT_EQ(code(FStandIn.Data().Accounts()[0], 86400), 11);
}

TEST_F(StandIn, ProbeAnswersTheNickWhileTheSessionLives)
{
    const TDemoAccount& account = FStandIn.Data().Accounts()[0];
    const TAlimamaHosts::TSignIn signIn = FStandIn.Alimama().SignIn(" " + account.userId + " ");
    ASSERT_TRUE(signIn.ok);
    EXPECT_EQ(signIn.nickname, account.userName);
    EXPECT_NE(signIn.cookies.find("_tb_token_=" + signIn.tbToken + ";"), std::string::npos);
    EXPECT_FALSE(FStandIn.Alimama().SignIn("404").ok);

    const auto publisher = Https(FStandIn, TStandInHost::Publisher);
    const auto nick = [&] {
        const QJsonObject reply
            = Json(publisher->Get(TAlimamaHosts::kProbePath, httplib::Headers {{"Cookie", signIn.cookies}}));
        return reply[QStringLiteral("data")][QStringLiteral("mmNick")].toString().toStdString();
    };
    EXPECT_EQ(nick(), account.userName);
    const httplib::Result media
        = Https(FStandIn, TStandInHost::Media)
              ->Get("/user/alipay_info.htm?message=T", httplib::Headers {{"Cookie", signIn.cookies}});
    ASSERT_TRUE(media);
    EXPECT_EQ(media->status, 200);

    httplib::Client control("127.0.0.1", FStandIn.ControlPort());
    const QJsonObject ended = Json(
        control.Post("/standin/sessions/expire", "userId=" + account.userId, "application/x-www-form-urlencoded"));
    EXPECT_EQ(ended[QStringLiteral("ended")].toInt(), 1);
    EXPECT_EQ(nick(), "");

    FStandIn.Alimama().SetProbeLimited(true);
    const httplib::Result limited
        = publisher->Get(TAlimamaHosts::kProbePath, httplib::Headers {{"Cookie", signIn.cookies}});
    ASSERT_TRUE(limited);
    EXPECT_NE(limited->body.find("访问受限了"), std::string::npos);
}

TEST_F(StandIn, SessionsLapseAfterTheirTimeToLive)
{
    const TAlimamaHosts::TSignIn signIn = FStandIn.Alimama().SignIn(FStandIn.Data().Accounts()[0].userId);
    FStandIn.Alimama().SetSessionTtl(1);
    const auto publisher = Https(FStandIn, TStandInHost::Publisher);
    EXPECT_TRUE(WaitForCondition([&] {
        const QJsonObject reply
            = Json(publisher->Get(TAlimamaHosts::kProbePath, httplib::Headers {{"Cookie", signIn.cookies}}));
        return reply[QStringLiteral("data")][QStringLiteral("mmNick")].toString().isEmpty();
    }));
}

// --- fault switches ---

TEST_F(StandIn, FaultedRequestsAreNeverApplied)
{
    struct TCase {
        const char* name;
        TFaultSettings faults;
        std::function<void(const httplib::Result&)> check;
    };
    TFaultSettings error;
    error.errorShare = 1;
    TFaultSettings drop;
    drop.dropShare = 1;
    TFaultSettings html;
    html.nonJsonShare = 1;
    const std::vector<TCase> cases {
        {"error", error,
            [](const httplib::Result& r) {
                ASSERT_TRUE(r);
                EXPECT_EQ(r->status, 500);
            }},
        {"drop", drop, [](const httplib::Result& r) { EXPECT_TRUE(!r || r->body.empty()); }},
        {"non-JSON", html,
            [](const httplib::Result& r) {
                ASSERT_TRUE(r);
                EXPECT_EQ(r->status, 200);
                EXPECT_TRUE(QJsonDocument::fromJson(QByteArray::fromStdString(r->body)).isNull());
            }},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        FStandIn.Faults().Set(c.faults);
        c.check(PostInvalid(InvalidBatch({{"p", c.name}})));
        EXPECT_EQ(FStandIn.Received()[QStringLiteral("invalidOrders")][QStringLiteral("batches")].toInt(), 0);
    }
    const QJsonObject counters = FStandIn.Faults().Counters();
    EXPECT_EQ(counters[QStringLiteral("errors")].toInt(), 1);
    EXPECT_EQ(counters[QStringLiteral("dropped")].toInt(), 1);
    EXPECT_EQ(counters[QStringLiteral("nonJson")].toInt(), 1);

    // Switched off through the control host, the same request goes through.
    httplib::Client control("127.0.0.1", FStandIn.ControlPort());
    ASSERT_TRUE(control.Post(
        "/standin/faults", "errorShare=0&dropShare=0&nonJsonShare=0", "application/x-www-form-urlencoded"));
    EXPECT_EQ(Json(PostInvalid(InvalidBatch({{"p", "c"}})))[QStringLiteral("code")].toInt(), 200);
}

TEST_F(StandIn, FaultsCoverOnlyTheirHosts)
{
    TFaultSettings faults;
    faults.errorShare = 1;
    ASSERT_TRUE(TFaultSettings::ParseHosts("top", faults.hosts));
    FStandIn.Faults().Set(faults);
    EXPECT_EQ(Json(PostInvalid(InvalidBatch({{"p", "c"}})))[QStringLiteral("code")].toInt(), 200);
    const httplib::Result top = PostForm(Port(TStandInHost::Top), "/router/rest", {});
    ASSERT_TRUE(top);
    EXPECT_EQ(top->status, 500);
    unsigned hosts = 0;
    EXPECT_FALSE(TFaultSettings::ParseHosts("top,nowhere", hosts));
}

TEST_F(StandIn, LatencyDelaysTheAnswer)
{
    TFaultSettings faults;
    faults.latencyMs = 150;
    FStandIn.Faults().Set(faults);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Json(PostInvalid(InvalidBatch({{"p", "c"}})))[QStringLiteral("code")].toInt(), 200);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
}

TEST_F(StandIn, SilentServerHoldsRequestsUntilSwitchedOff)
{
    TFaultSettings faults;
    faults.silent = true;
    FStandIn.Faults().Set(faults);
    auto reply = std::async(std::launch::async, [this] { return PostInvalid(InvalidBatch({{"p", "c"}})); });
    ASSERT_TRUE(WaitForCondition([&] { return FStandIn.Faults().Counters()[QStringLiteral("held")].toInt() == 1; }));
    EXPECT_EQ(reply.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
    EXPECT_EQ(FStandIn.Received()[QStringLiteral("invalidOrders")][QStringLiteral("batches")].toInt(), 0);

    faults.silent = false;
    FStandIn.Faults().Set(faults);
    EXPECT_EQ(Json(reply.get())[QStringLiteral("code")].toInt(), 200);
}

// --- the network in front of the services ---

class Network : public StandIn {
protected:
    // A client that keeps its connection open between requests, as the program does.
    std::unique_ptr<httplib::Client> KeptClient(TStandInHost AHost) const
    {
        auto client = std::make_unique<httplib::Client>("127.0.0.1", Port(AHost));
        client->set_keep_alive(true);
        client->set_read_timeout(std::chrono::seconds(20));
        return client;
    }
    httplib::Result PostInvalid(httplib::Client& AClient, const std::string& ATradeId)
    {
        return AClient.Post("/orders/tborder/invalid/push",
            FormEncode(OperatorSigned({{"orders", InvalidBatch({{"p", ATradeId}})}})),
            "application/x-www-form-urlencoded");
    }
    // The intake's counts as the control host's status.json shows them.
    QJsonObject IntakeNetwork() const
    {
        httplib::Client control("127.0.0.1", FStandIn.ControlPort());
        const QJsonObject status = Json(control.Get("/standin/status.json"));
        return status[QStringLiteral("network")][QStringLiteral("hosts")][QStringLiteral("intake")].toObject();
    }
    long long Batches() const
    {
        return FStandIn.Received()[QStringLiteral("invalidOrders")][QStringLiteral("batches")].toInteger();
    }
    static int Code(const httplib::Result& AResult) { return Json(AResult)[QStringLiteral("code")].toInt(); }
};

TEST_F(Network, CountsConnectionsAndTheExchangesTheyCarry)
{
    auto kept = KeptClient(TStandInHost::Intake);
    for (const char* id : {"a", "b", "c"})
        EXPECT_EQ(Code(PostInvalid(*kept, id)), 200) << id;
    auto other = KeptClient(TStandInHost::Intake);
    EXPECT_EQ(Code(PostInvalid(*other, "d")), 200);
    const QJsonObject counts = IntakeNetwork();
    EXPECT_EQ(counts[QStringLiteral("connections")].toInt(), 2);
    EXPECT_EQ(counts[QStringLiteral("open")].toInt(), 2);
    EXPECT_EQ(counts[QStringLiteral("exchanges")].toInt(), 4);
    EXPECT_EQ(counts[QStringLiteral("requests")].toInt(), 4);
    EXPECT_EQ(Batches(), 4);

    // A client that goes closes its connection at the service too.
    kept.reset();
    other.reset();
    EXPECT_TRUE(WaitForCondition([&] { return IntakeNetwork()[QStringLiteral("open")].toInt() == 0; }));
}

// A request reaches the service a round trip after the client sent it, two on a new connection: with a round trip
// far longer than the test, it has not arrived once the front has seen it go by. The stand-in's end releases it.
TEST(NetworkRoundTrip, HoldsEveryRequestBeforeItReachesTheService)
{
    for (const bool kept : {false, true}) {
        SCOPED_TRACE(kept ? "kept connection" : "new connection");
        auto standIn = std::make_unique<TStandIn>(TStandInFixture::FreePorts());
        standIn->Start();
        httplib::Client client("127.0.0.1", standIn->Port(TStandInHost::Intake));
        client.set_keep_alive(true);
        const auto post = [&client] { return client.Post("/orders/tborder/invalid/push", "", "text/plain"); };
        if (kept) {
            ASSERT_TRUE(post());
        }
        TFaultSettings faults;
        faults.rttMs = 600000;
        standIn->Faults().Set(faults);
        const auto exchanges = [&] {
            return standIn->Network()[QStringLiteral("hosts")][QStringLiteral("intake")][QStringLiteral("exchanges")]
                .toInt();
        };
        const int before = exchanges();
        auto reply = std::async(std::launch::async, post);
        ASSERT_TRUE(WaitForCondition([&] { return exchanges() == before + 1; }));
        EXPECT_EQ(standIn->Server(TStandInHost::Intake).RequestCount(), kept ? 1u : 0u);
        standIn.reset();
        EXPECT_FALSE(reply.get());
    }
}

TEST_F(Network, RoundTripIsASwitchOfTheControlHost)
{
    httplib::Client control("127.0.0.1", FStandIn.ControlPort());
    ASSERT_TRUE(
        control.Post("/standin/faults", "rttMs=40&keptDrops=2&closeAfterReply=1", "application/x-www-form-urlencoded"));
    const QJsonObject status = Json(control.Get("/standin/status.json"));
    EXPECT_EQ(status[QStringLiteral("network")][QStringLiteral("rttMs")].toInt(), 40);
    EXPECT_EQ(status[QStringLiteral("faults")][QStringLiteral("keptDrops")].toInt(), 2);
    EXPECT_TRUE(status[QStringLiteral("faults")][QStringLiteral("closeAfterReply")].toBool());
    EXPECT_EQ(FStandIn.Faults().RoundTripMs(TStandInHost::Top), 40);
    EXPECT_EQ(FStandIn.Faults().RoundTripMs(TStandInHost::SignIn), 0); // not a fault host by default
}

TEST_F(Network, ServerClosingAfterEachReplyStillAnswersEveryRequest)
{
    TFaultSettings faults;
    faults.closeAfterReply = true;
    FStandIn.Faults().Set(faults);
    auto kept = KeptClient(TStandInHost::Intake);
    for (const char* id : {"a", "b", "c"})
        EXPECT_EQ(Code(PostInvalid(*kept, id)), 200) << id;
    EXPECT_EQ(IntakeNetwork()[QStringLiteral("connections")].toInt(), 3);
    EXPECT_EQ(Batches(), 3);
    EXPECT_EQ(FStandIn.Faults().Counters()[QStringLiteral("closedAfterReply")].toInt(), 3);
}

// A lost reply: the request was applied all the same; only the answer never came.
struct TLostReplyCase {
    const char* name;
    int lostReplies;
    int keptDrops;
    std::vector<bool> answered; // per request on one kept-open connection
};

class LostReplies : public Network, public ::testing::WithParamInterface<TLostReplyCase> { };

TEST_P(LostReplies, AreAppliedButNeverAnswered)
{
    const TLostReplyCase& c = GetParam();
    TFaultSettings faults;
    faults.lostReplies = c.lostReplies;
    faults.keptDrops = c.keptDrops;
    ASSERT_TRUE(TFaultSettings::ParseHosts("intake", faults.hosts));
    FStandIn.Faults().Set(faults);
    auto client = KeptClient(TStandInHost::Intake);
    for (size_t i = 0; i < c.answered.size(); ++i) {
        const httplib::Result result = PostInvalid(*client, "t" + std::to_string(i));
        EXPECT_EQ(result && Code(result) == 200, c.answered[i]) << i;
    }
    EXPECT_EQ(Batches(), static_cast<long long>(c.answered.size()));
    EXPECT_EQ(FStandIn.Received()[QStringLiteral("invalidOrders")][QStringLiteral("duplicates")].toInt(), 0);
    EXPECT_EQ(IntakeNetwork()[QStringLiteral("lostReplies")].toInt(), c.lostReplies + c.keptDrops);
}

INSTANTIATE_TEST_SUITE_P(StandIn, LostReplies,
    ::testing::Values(TLostReplyCase {"FirstExchange", 1, 0, {false, true, true}},
        TLostReplyCase {"TwoInARow", 2, 0, {false, false, true}},
        // The first request opens the connection: only the second finds it kept.
        TLostReplyCase {"KeptConnectionOnly", 0, 1, {true, false, true}}),
    [](const auto& AInfo) { return std::string(AInfo.param.name); });

TEST(StandInShutdown, ReleasesHeldRequests)
{
    TStandInOptions options = TStandInFixture::FreePorts();
    options.faults.silent = true;
    auto standIn = std::make_unique<TStandIn>(options);
    standIn->Start();
    const int port = standIn->Port(TStandInHost::Intake);
    auto reply = std::async(
        std::launch::async, [port] { return TStandInFixture::PostForm(port, "/orders/tborder/invalid/push", {}); });
    ASSERT_TRUE(WaitForCondition([&] { return standIn->Faults().Counters()[QStringLiteral("held")].toInt() == 1; }));
    standIn.reset(); // must not wait for the held request
    const httplib::Result result = reply.get();
    EXPECT_TRUE(!result || result->status == 503);
}

// Requests held unanswered keep their threads to the end; short of the pool, the server still answers the others.
TEST(TestServerThreads, AServerAnswersWhileAllButOneOfItsThreadsHoldRequests)
{
    // Declared first, gone last: the server goes before them and answers them, whatever the test's outcome.
    std::vector<std::future<httplib::Result>> held;
    auto server = std::make_unique<TTestServer>();
    server->Get("/hang", server->Hang());
    server->Get("/ok", TTestServer::Reply(200, "ok", "text/plain"));
    server->Start();
    const int port = server->Port();
    // Answered first: the server library fills a table of request methods when it parses its first request, in its
    // own uninstrumented code, and ThreadSanitizer sees the table published only once that thread writes an answer.
    httplib::Client first("127.0.0.1", port);
    ASSERT_TRUE(first.Get("/ok"));
    for (int i = 0; i < kTestServerThreads - 1; ++i) {
        held.push_back(std::async(std::launch::async, [port] {
            httplib::Client client("127.0.0.1", port);
            client.set_read_timeout(std::chrono::minutes(5));
            return client.Get("/hang");
        }));
    }
    ASSERT_TRUE(server->WaitForRequests(1 + held.size())); // the first answered request, then every held one
    // A request that found no thread would wait for one until the server goes, far beyond this bound.
    httplib::Client client("127.0.0.1", port);
    client.set_read_timeout(kTestWaitLimit);
    const httplib::Result answer = client.Get("/ok");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200);
    server.reset(); // answers the held requests
    for (auto& request : held) {
        const httplib::Result result = request.get();
        EXPECT_TRUE(!result || result->status == 500);
    }
}

// A port another server listens on is refused, so a second stand-in never shares the first one's connections.
TEST(StandInPorts, APortInUseIsRefused)
{
    TTestServer first;
    first.Start();
    TTestServer second;
    EXPECT_THROW(second.Start(first.Port()), std::runtime_error);
}

} // namespace
