// The stand-in TOP gateway as the real one behaves: Beijing time whatever the machine's zone, the documented refund
// method, order pages as the live gateway writes them, and its error table on demand. Registered to run in zones
// other than Beijing's.

#include "standin/standin.h"

#include "standinclient.h"
#include "topclient.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>

namespace {

class TopContract : public ::testing::Test, protected TStandInFixture {
protected:
    static TStandInOptions Busy()
    {
        TStandInOptions options = FreePorts(7);
        options.ordersPerHour = 20;
        return options;
    }
    void SetUp() override { FStandIn.Start(); }

    int Port() const { return FStandIn.Port(TStandInHost::Top); }
    const TDemoAccount& Account(int AIndex) const { return FStandIn.Data().Accounts()[static_cast<size_t>(AIndex)]; }
    std::string Session(int AIndex) const { return Account(AIndex).accessToken; }

    // A form field posted to the control host's switches.
    void Switch(const std::string& AField)
    {
        httplib::Client control("127.0.0.1", FStandIn.ControlPort());
        const httplib::Result result = control.Post("/standin/faults", AField, "application/x-www-form-urlencoded");
        ASSERT_TRUE(result);
        ASSERT_EQ(result->status, 200);
    }

    const qint64 FEnd = DemoNow() - 20 * 86400; // every order of the window has reached its final status
    const qint64 FStart = FEnd - 3 * 3600;
    TStandIn FStandIn {Busy()};
};

// --- time ---

struct TStampCase {
    const char* name;
    std::function<std::string()> stamp;
    int code; // 0: a page
};

// The local wall clock of this process, which is Beijing time only where the machine's zone is UTC+8.
std::string MachineLocalTime()
{
    return QDateTime::currentDateTime().toString(u"yyyy-MM-dd HH:mm:ss").toStdString();
}

bool MachineZoneIsBeijingsWithinTenMinutes()
{
    return std::llabs(QDateTime::currentDateTime().offsetFromUtc() - 8 * 3600) <= 600;
}

TEST_F(TopContract, TimestampIsBeijingTimeWithinTenMinutes)
{
    const std::vector<TStampCase> cases {
        {"nine minutes behind", [] { return BeijingNowText(-9 * 60); }, 0},
        {"nine minutes ahead", [] { return BeijingNowText(9 * 60); }, 0},
        {"eleven minutes behind", [] { return BeijingNowText(-11 * 60); }, 31},
        {"eleven minutes ahead", [] { return BeijingNowText(11 * 60); }, 31},
        {"missing", [] { return std::string(); }, 30},
        {"not a time", [] { return std::string("yesterday"); }, 31},
        {"Unix seconds", [] { return std::to_string(QDateTime::currentSecsSinceEpoch()); }, 31},
        {"UTC wall clock", [] { return BeijingNowText(-8 * 3600); }, 31},
        {"machine's local time", MachineLocalTime, MachineZoneIsBeijingsWithinTenMinutes() ? 0 : 31},
    };
    const TFormFields api {{"start_time", BeijingClockText(FStart)}, {"end_time", BeijingClockText(FEnd)}};
    for (const TStampCase& c : cases) {
        SCOPED_TRACE(c.name);
        const TTopPage page = TopCall(Port(), SignedTopForm(Session(0), kOrderMethod, api, c.stamp()));
        EXPECT_EQ(page.error[QStringLiteral("code")].toInt(), c.code) << page.body;
        EXPECT_EQ(page.data.isEmpty(), c.code != 0) << page.body;
        if (c.code == 31) {
            EXPECT_EQ(page.error[QStringLiteral("msg")].toString(), QStringLiteral("Invalid timestamp"));
        }
    }
}

// A gateway whose clock runs off stands for a client whose clock runs off the other way.
TEST_F(TopContract, ClockSkewSwitchMovesTheGatewaysNow)
{
    struct TCase {
        const char* name;
        std::function<void()> skew;
        qint64 stampOffsetS;
        int code;
    };
    const std::vector<TCase> cases {
        {"eleven minutes ahead", [&] { FStandIn.Top().SetClockSkew(660); }, 0, 31},
        {"client as far ahead", [&] { FStandIn.Top().SetClockSkew(660); }, 660, 0},
        {"eleven minutes behind, by the control host", [&] { Switch("topClockSkewS=-660"); }, 0, 31},
        {"nine minutes behind, by the control host", [&] { Switch("topClockSkewS=-540"); }, 0, 0},
        {"back in step", [&] { Switch("topClockSkewS=0"); }, 0, 0},
    };
    const TFormFields api {{"start_time", BeijingClockText(FStart)}, {"end_time", BeijingClockText(FEnd)}};
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        c.skew();
        const TTopPage page
            = TopCall(Port(), SignedTopForm(Session(0), kOrderMethod, api, BeijingNowText(c.stampOffsetS)));
        EXPECT_EQ(page.error[QStringLiteral("code")].toInt(), c.code) << page.body;
    }
    EXPECT_EQ(FStandIn.Top().Counters()[QStringLiteral("clockSkewS")].toInteger(), 0);
}

// The report's dates are Beijing days and its times Beijing times: asked for one day, it serves exactly the
// refunds opened on that Beijing day, each with its Beijing opening time.
TEST_F(TopContract, ReportDaysAreBeijingDays)
{
    const TAlimamaHosts::TSignIn signIn = FStandIn.Alimama().SignIn(Account(1).userId);
    ASSERT_TRUE(signIn.ok);
    const auto client = Https(FStandIn, TStandInHost::Publisher);
    int served = 0;
    for (qint64 day = BeijingClock(BeijingDate(DemoNow()).addDays(-30)); day < DemoNow() - 86400; day += 86400) {
        const std::string date = BeijingClockText(day, QStringLiteral("yyyy-MM-dd"));
        SCOPED_TRACE(date);
        std::map<std::string, std::string> expected; // trade id -> opening time
        for (const TDemoRefund& refund : FStandIn.Data().RefundsCreated(1, day, day + 86400))
            expected[refund.tradeId] = BeijingClockText(refund.createTime);
        const std::string path = std::string(TAlimamaHosts::kReportPath) + "?t=1&_tb_token_=" + signIn.tbToken
            + "&pageNo=1&startTime=" + date + "&endTime=" + date + "&queryType=1&isFullRefund=0&memberType=";
        const QJsonObject reply = Json(client->Get(path.c_str(), httplib::Headers {{"Cookie", signIn.cookies}}));
        ASSERT_TRUE(reply[QStringLiteral("ok")].toBool());
        std::map<std::string, std::string> got;
        for (const QJsonValue& refund : reply[QStringLiteral("data")][QStringLiteral("result")].toArray()) {
            got[refund[QStringLiteral("tbTradeId")].toString().toStdString()]
                = refund[QStringLiteral("refundCreateTime")].toString().toStdString();
        }
        EXPECT_EQ(got, expected);
        served += static_cast<int>(got.size());
    }
    EXPECT_GT(served, 20);
}

// --- the refund method ---

TEST_F(TopContract, RefundMethodRefusesTheFlatForm)
{
    const qint64 start = DemoNow() - 3 * 86400;
    const TFormFields flat {{"query_type", "1"}, {"member_type", "4"}, {"order_scene", "1"}, {"jump_type", "1"},
        {"page_no", "1"}, {"page_size", "20"}, {"start_time", BeijingClockText(start)},
        {"end_time", BeijingClockText(start + 86400)}};
    const TRefundReply reply = RefundCall(Port(), SignedTopForm(Session(0), kRefundMethod, flat));
    EXPECT_EQ(reply.error[QStringLiteral("code")].toInt(), 40) << reply.body;
    EXPECT_EQ(reply.error[QStringLiteral("msg")].toString(),
        QStringLiteral("Missing required arguments:publisher_refund_order_query_option"));
    EXPECT_EQ(reply.error[QStringLiteral("sub_code")].toString(),
        QStringLiteral("isv.missing-parameter:publisher_refund_order_query_option"));
    EXPECT_TRUE(reply.error[QStringLiteral("request_id")].isString());
    EXPECT_TRUE(reply.response.isEmpty());

    const TRefundReply notJson = RefundCall(
        Port(), SignedTopForm(Session(0), kRefundMethod, {{"publisher_refund_order_query_option", "page_size=20"}}));
    EXPECT_EQ(notJson.error[QStringLiteral("code")].toInt(), 41) << notJson.body;
    EXPECT_EQ(FStandIn.Top().Counters()[QStringLiteral("refundPages")].toInteger(), 0);
}

// Every record of the last twenty days, each day one request.
std::vector<QJsonObject> RefundRecords(int APort, const std::string& ASession, qint64 ANow, int AMemberType = 4)
{
    std::vector<QJsonObject> records;
    for (qint64 day = ANow - 20 * 86400; day < ANow; day += 86400) {
        QJsonObject option = RefundOption(day, day + 86400);
        option.insert(QStringLiteral("member_type"), AMemberType);
        const TRefundReply reply = RefundCall(APort, RefundForm(ASession, option));
        EXPECT_EQ(reply.response[QStringLiteral("result_code")].toInt(), 200) << reply.body;
        EXPECT_FALSE(reply.Data()[QStringLiteral("has_next")].toBool());
        for (const QJsonValue& record : reply.Records())
            records.push_back(record.toObject());
    }
    return records;
}

TEST_F(TopContract, RefundMethodServesTheDocumentedShape)
{
    const qint64 start = DemoNow() - 2 * 86400;
    const TRefundReply reply = RefundCall(Port(), RefundForm(Session(1), RefundOption(start, start + 86400, 1, 1)));
    ASSERT_TRUE(reply.error.isEmpty()) << reply.body;
    EXPECT_EQ(reply.response[QStringLiteral("result_code")].toInt(), 200);
    EXPECT_TRUE(reply.response[QStringLiteral("result_msg")].isString());
    EXPECT_TRUE(reply.response[QStringLiteral("request_id")].isString());
    EXPECT_FALSE(reply.response.contains(QStringLiteral("biz_error_code")));
    const QJsonObject data = reply.Data();
    EXPECT_TRUE(data[QStringLiteral("has_next")].isBool());
    EXPECT_TRUE(data[QStringLiteral("page_no")].isDouble());
    EXPECT_EQ(data[QStringLiteral("page_size")].toInt(), 1);
    EXPECT_TRUE(data[QStringLiteral("position_index")].isString());
    ASSERT_TRUE(data[QStringLiteral("result")].isObject()) << reply.body;
    EXPECT_EQ(reply.Records().size(), 1) << reply.body;

    std::set<int> statuses;
    const std::vector<QJsonObject> records = RefundRecords(Port(), Session(1), DemoNow());
    for (const QJsonObject& record : records) {
        for (const char* name : {"refund_suit_id", "tb_trade_parent_id", "tb_trade_id", "tb_trade_create_time",
                 "earning_time", "tk_refund_time", "modified_time", "item_title", "tk_order_role",
                 "tb_trade_finish_price", "refund_fee", "pub_share_fee", "tk_commission_fee_refund",
                 "tk_subsidy_fee_refund", "tk_commission_alimm_refund_fee", "tk_subsidy_alimm_refund_fee",
                 "tk_commission_agent_refund_fee", "tk_subsidy_agent_refund_fee", "show_return_fee"})
            EXPECT_TRUE(record[QLatin1String(name)].isString()) << name;
        for (const char* name : {"refund_status", "relation_id", "special_id"})
            EXPECT_TRUE(record[QLatin1String(name)].isDouble()) << name;
        const int status = record[QStringLiteral("refund_status")].toInt();
        statuses.insert(status);
        EXPECT_EQ(record.contains(QStringLiteral("tk_refund_suit_time")), status != 4);
        const QString role = record[QStringLiteral("tk_order_role")].toString();
        EXPECT_TRUE(role == QStringLiteral("二方") || role == QStringLiteral("三方")) << role.toStdString();
        const std::optional<qint64> opened = ReadBeijingClock(record[QStringLiteral("tk_refund_time")].toString());
        ASSERT_TRUE(opened.has_value());
        EXPECT_LE(*opened, DemoNow());
    }
    EXPECT_TRUE(statuses.count(4) == 1 && statuses.count(2) == 1) << "want opened and succeeded refunds";
}

TEST_F(TopContract, RefundOptionTakesNumbersOrNumberTextsAndFiltersByRole)
{
    const qint64 start = DemoNow() - 6 * 86400;
    QJsonObject asTexts = RefundOption(start, start + 86400);
    for (const char* name : {"page_size", "page_no", "jump_type", "query_type", "order_scene", "member_type"})
        asTexts.insert(QLatin1String(name), QString::number(asTexts[QLatin1String(name)].toInt()));
    const TRefundReply numbers = RefundCall(Port(), RefundForm(Session(1), RefundOption(start, start + 86400)));
    const TRefundReply texts = RefundCall(Port(), RefundForm(Session(1), asTexts));
    ASSERT_TRUE(texts.error.isEmpty()) << texts.body;
    EXPECT_EQ(texts.Records(), numbers.Records());

    const std::vector<QJsonObject> all = RefundRecords(Port(), Session(1), DemoNow());
    size_t byRole = 0;
    for (const auto& [memberType, role] : {std::pair {1, u"二方"}, std::pair {2, u"三方"}}) {
        const std::vector<QJsonObject> some = RefundRecords(Port(), Session(1), DemoNow(), memberType);
        EXPECT_FALSE(some.empty());
        for (const QJsonObject& record : some)
            EXPECT_EQ(record[QStringLiteral("tk_order_role")].toString(), QString::fromUtf16(role));
        byRole += some.size();
    }
    EXPECT_EQ(byRole, all.size());
}

struct TOptionCase {
    const char* name;
    std::function<void(QJsonObject&)> change;
    int bizCode; // 0: a page
    const char* desc = nullptr; // checked when given
};

TEST_F(TopContract, RefundOptionProblemsAreBusinessErrors)
{
    const qint64 start = DemoNow() - 3 * 86400;
    const std::vector<TOptionCase> cases {
        {"no start time", [](QJsonObject& o) { o.remove(QStringLiteral("start_time")); }, 101, "开始时间不能为空"},
        {"no end time", [](QJsonObject& o) { o.remove(QStringLiteral("end_time")); }, 101, "结束时间不能为空"},
        {"start time not a time", [](QJsonObject& o) { o.insert(QStringLiteral("start_time"), 1700000000); }, 101},
        {"page of 101", [](QJsonObject& o) { o.insert(QStringLiteral("page_size"), 101); }, 101},
        {"page size not a number", [](QJsonObject& o) { o.insert(QStringLiteral("page_size"), QStringLiteral("x")); },
            101},
        {"member type 3", [](QJsonObject& o) { o.insert(QStringLiteral("member_type"), 3); }, 101},
        {"query type 6", [](QJsonObject& o) { o.insert(QStringLiteral("query_type"), 6); }, 101},
        {"no query type", [](QJsonObject& o) { o.remove(QStringLiteral("query_type")); }, 101},
        {"a day and a second",
            [&](QJsonObject& o) {
                o.insert(QStringLiteral("end_time"), QString::fromStdString(BeijingClockText(start + 86400 + 1)));
            },
            102},
        {"end before start",
            [&](QJsonObject& o) {
                o.insert(QStringLiteral("end_time"), QString::fromStdString(BeijingClockText(start - 1)));
            },
            102},
        {"order times before they were kept",
            [](QJsonObject& o) {
                o.insert(QStringLiteral("query_type"), 4);
                o.insert(QStringLiteral("start_time"), QStringLiteral("2022-12-19 12:00:00"));
                o.insert(QStringLiteral("end_time"), QStringLiteral("2022-12-20 12:00:00"));
            },
            102},
        {"order times once kept",
            [](QJsonObject& o) {
                o.insert(QStringLiteral("query_type"), 4);
                o.insert(QStringLiteral("start_time"), QStringLiteral("2022-12-20 00:00:00"));
                o.insert(QStringLiteral("end_time"), QStringLiteral("2022-12-21 00:00:00"));
            },
            0},
        {"no jump type", [](QJsonObject& o) { o.remove(QStringLiteral("jump_type")); }, 0},
    };
    for (const TOptionCase& c : cases) {
        SCOPED_TRACE(c.name);
        QJsonObject option = RefundOption(start, start + 86400);
        c.change(option);
        const TRefundReply reply = RefundCall(Port(), RefundForm(Session(0), option));
        EXPECT_TRUE(reply.error.isEmpty()) << reply.body;
        EXPECT_EQ(reply.response[QStringLiteral("biz_error_code")].toInt(), c.bizCode) << reply.body;
        EXPECT_EQ(reply.response.contains(QStringLiteral("data")), c.bizCode == 0) << reply.body;
        EXPECT_EQ(reply.response[QStringLiteral("result_code")].toInt() == 200, c.bizCode == 0) << reply.body;
        if (c.bizCode != 0) {
            EXPECT_FALSE(reply.response[QStringLiteral("biz_error_desc")].toString().isEmpty());
        }
        if (c.desc != nullptr) {
            EXPECT_EQ(reply.response[QStringLiteral("biz_error_desc")].toString(), QString::fromUtf8(c.desc));
        }
    }
}

TEST_F(TopContract, RefundBusinessErrorSwitchAnswersChosenAccounts)
{
    const qint64 start = DemoNow() - 3 * 86400;
    const auto bizCode = [&](int AAccount) {
        const TRefundReply reply
            = RefundCall(Port(), RefundForm(Session(AAccount), RefundOption(start, start + 86400)));
        EXPECT_TRUE(reply.error.isEmpty()) << reply.body;
        EXPECT_EQ(reply.response.contains(QStringLiteral("data")),
            !reply.response.contains(QStringLiteral("biz_error_code")));
        return reply.response[QStringLiteral("biz_error_code")].toInt();
    };
    FStandIn.Top().SetRefundBizError(103, Account(0).userId);
    EXPECT_EQ(bizCode(0), 103);
    EXPECT_EQ(bizCode(1), 0);
    Switch("topRefundBizError=101");
    EXPECT_EQ(bizCode(0), 101);
    EXPECT_EQ(bizCode(1), 101);
    Switch("topRefundBizError=102:" + Account(1).userId);
    EXPECT_EQ(bizCode(0), 0);
    EXPECT_EQ(bizCode(1), 102);
    Switch("topRefundBizError=0");
    EXPECT_EQ(bizCode(1), 0);
    EXPECT_EQ(FStandIn.Top().CallsOf(0), 3);
}

// --- pages ---

TEST_F(TopContract, AnEmptyPageIsAnEmptyObject)
{
    const TTopPage orders = TopCall(Port(), TopForm(Session(0), FStart, FStart, {}));
    ASSERT_TRUE(orders.error.isEmpty()) << orders.body;
    EXPECT_NE(orders.body.find(R"("results":{})"), std::string::npos) << orders.body;
    EXPECT_TRUE(orders.data[QStringLiteral("results")].isObject());
    EXPECT_FALSE(orders.hasNext);

    const qint64 day = DemoNow() - 3 * 86400;
    const TRefundReply refunds = RefundCall(Port(), RefundForm(Session(0), RefundOption(day, day)));
    ASSERT_TRUE(refunds.error.isEmpty()) << refunds.body;
    EXPECT_NE(refunds.body.find(R"("result":{})"), std::string::npos) << refunds.body;
    EXPECT_EQ(refunds.response[QStringLiteral("result_code")].toInt(), 200);
}

TEST_F(TopContract, OrderRecordsLookLikeTheLiveGateways)
{
    const TTopPage page = TopCall(Port(), TopForm(Session(0), FStart, FEnd, {{"page_size", "100"}}));
    ASSERT_GT(page.orders.size(), 20u) << page.body;
    // Every '/' escaped, as the gateway writes it; the URLs keep their slashes once read.
    EXPECT_NE(page.body.find(R"("item_img":"\/\/img.alicdn.com\/)"), std::string::npos);
    for (size_t at = page.body.find('/'); at != std::string::npos; at = page.body.find('/', at + 1))
        ASSERT_EQ(page.body[at - 1], '\\') << page.body.substr(at > 40 ? at - 40 : 0, 80);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d+_\\d+\\|\\d+_$"))
                    .match(QString::fromStdString(page.position))
                    .hasMatch())
        << page.position;
    EXPECT_TRUE(page.data[QStringLiteral("page_no")].isDouble());
    EXPECT_TRUE(page.data[QStringLiteral("page_size")].isDouble());

    // The orders placed within the window's Beijing times, with their Beijing creation times.
    std::map<std::string, std::string> expected;
    for (const TDemoOrder& order : FStandIn.Data().OrdersCreated(0, FStart, FEnd))
        expected[order.tradeId] = BeijingClockText(order.createTime);
    std::map<std::string, std::string> got;
    std::set<int> statuses;
    for (const QJsonObject& order : page.orders) {
        got[order[QStringLiteral("trade_id")].toString().toStdString()]
            = order[QStringLiteral("tk_create_time")].toString().toStdString();
        const int status = order[QStringLiteral("tk_status")].toInt();
        statuses.insert(status);
        SCOPED_TRACE(QJsonDocument(order).toJson().toStdString());
        const QJsonValue item = order[QStringLiteral("item_id")];
        ASSERT_TRUE(item.isString());
        bool numeric = true;
        item.toString().toLongLong(&numeric);
        EXPECT_FALSE(numeric);
        EXPECT_EQ(order.contains(QStringLiteral("pay_price")), status == 3 || status == 14);
        EXPECT_EQ(order[QStringLiteral("tk_earning_time")].toString().isEmpty(), status != 3);
        EXPECT_EQ(order[QStringLiteral("deposit_price")].toString(), QStringLiteral("--"));
        EXPECT_TRUE(order[QStringLiteral("item_img")].toString().startsWith(u"//img.alicdn.com/"));
        EXPECT_TRUE(order[QStringLiteral("alimm_share_info_dto")].isObject());
        const std::optional<qint64> created = ReadBeijingClock(order[QStringLiteral("tk_create_time")].toString());
        ASSERT_TRUE(created.has_value());
        EXPECT_TRUE(*created >= FStart && *created < FEnd) << "not the window's Beijing time";
    }
    EXPECT_EQ(statuses, (std::set<int> {3, 12, 13, 14}));
    EXPECT_EQ(got, expected);
}

// The documented form is "yyyy-MM-dd HH:mm:ss": a date alone, even for a midnight, is a wrong parameter, so a client
// that writes one learns it here rather than from the live gateway.
TEST_F(TopContract, ADateAloneIsRefused)
{
    const qint64 midnight = BeijingClock(BeijingDate(FEnd));
    const TTopPage page = TopCall(Port(),
        SignedTopForm(Session(0), kOrderMethod,
            {{"page_size", "100"}, {"start_time", BeijingClockText(midnight, QStringLiteral("yyyy-MM-dd"))},
                {"end_time", BeijingClockText(midnight + 3 * 3600)}}));
    EXPECT_EQ(page.error[QStringLiteral("code")].toInt(), 41) << page.body;
    EXPECT_TRUE(page.orders.empty());
}

// --- the error table ---

struct TOrderErrorCase {
    TTopOrderError error;
    int code;
    const char* subCode;
    const char* subMsgPart; // checked when given
};

TEST_F(TopContract, OrderErrorSwitchesAnswerChosenAccountsOnce)
{
    const std::vector<TOrderErrorCase> cases {
        {TTopOrderError::InvalidSession, 27, "invalid-sessionkey", nullptr},
        {TTopOrderError::NoPermission, 11, "isv.permission-api-package-limit", "scope ids is"},
        {TTopOrderError::WindowTooLong, 15, "2007", "180分钟"},
        {TTopOrderError::Busy, 15, "3001", nullptr},
        {TTopOrderError::AccountRateLimit, 15, "3000", nullptr},
        {TTopOrderError::AccountFlowLimit, 15, "9100", "限流"},
    };
    const qint64 day = DemoNow() - 3 * 86400;
    for (const TOrderErrorCase& c : cases) {
        const int code = static_cast<int>(c.error);
        SCOPED_TRACE(code);
        FStandIn.Top().SetOrderError(c.error, {Account(0).userId});
        const long long before = FStandIn.Top().CallsOf(0);
        const TTopPage refused = TopCall(Port(), TopForm(Session(0), FStart, FEnd, {}));
        EXPECT_EQ(refused.error[QStringLiteral("code")].toInt(), c.code) << refused.body;
        EXPECT_FALSE(refused.error[QStringLiteral("msg")].toString().isEmpty());
        EXPECT_EQ(refused.error[QStringLiteral("sub_code")].toString().toStdString(), c.subCode);
        if (c.subMsgPart != nullptr) {
            EXPECT_TRUE(refused.error[QStringLiteral("sub_msg")].toString().contains(QString::fromUtf8(c.subMsgPart)))
                << refused.body;
        }
        EXPECT_TRUE(refused.data.isEmpty());
        EXPECT_EQ(FStandIn.Top().CallsOf(0), before + 1);
        EXPECT_TRUE(TopCall(Port(), TopForm(Session(1), FStart, FEnd, {})).error.isEmpty()) << "another account";
        // Only a revoked session refuses the refund method too.
        const TRefundReply refunds = RefundCall(Port(), RefundForm(Session(0), RefundOption(day, day + 86400)));
        EXPECT_EQ(refunds.error[QStringLiteral("code")].toInt(), c.error == TTopOrderError::InvalidSession ? 27 : 0);

        // The same by the control host, for every account, and off again.
        FStandIn.Top().SetOrderError(c.error, {});
        Switch("topOrderError=" + std::to_string(code) + "=all");
        EXPECT_EQ(TopCall(Port(), TopForm(Session(1), FStart, FEnd, {}))
                      .error[QStringLiteral("sub_code")]
                      .toString()
                      .toStdString(),
            c.subCode);
        Switch("topOrderError=" + std::to_string(code) + "=");
        EXPECT_TRUE(TopCall(Port(), TopForm(Session(1), FStart, FEnd, {})).error.isEmpty());
    }
}

TEST_F(TopContract, TheGatewaysOwnWindowRefusalIsTheBusinessCode)
{
    const TTopPage page = TopCall(Port(), TopForm(Session(0), FStart - 60, FEnd, {}));
    EXPECT_EQ(page.error[QStringLiteral("code")].toInt(), 15);
    EXPECT_EQ(page.error[QStringLiteral("msg")].toString(), QStringLiteral("Remote service error"));
    EXPECT_EQ(page.error[QStringLiteral("sub_code")].toString(), QStringLiteral("2007"));
    EXPECT_TRUE(page.error[QStringLiteral("sub_msg")].toString().contains(u"181分钟")) << page.body;
}

TEST_F(TopContract, SwitchParsersTakeWhatTheOptionsDocument)
{
    TTopOrderError error = TTopOrderError::InvalidSession;
    std::set<std::string> ids;
    EXPECT_TRUE(TTopGateway::ParseOrderErrorSwitch("9100=a, b", error, ids));
    EXPECT_EQ(error, TTopOrderError::AccountFlowLimit);
    EXPECT_EQ(ids, (std::set<std::string> {"a", "b"}));
    EXPECT_TRUE(TTopGateway::ParseOrderErrorSwitch("11=", error, ids));
    EXPECT_TRUE(ids.empty());
    for (const char* bad : {"", "11", "12=all", "x=all"})
        EXPECT_FALSE(TTopGateway::ParseOrderErrorSwitch(bad, error, ids)) << bad;

    int code = 0;
    std::string accounts;
    EXPECT_TRUE(TTopGateway::ParseRefundBizErrorSwitch("103", code, accounts));
    EXPECT_EQ(code, 103);
    EXPECT_EQ(accounts, "all");
    EXPECT_TRUE(TTopGateway::ParseRefundBizErrorSwitch("101:22,23", code, accounts));
    EXPECT_EQ(accounts, "22,23");
    EXPECT_TRUE(TTopGateway::ParseRefundBizErrorSwitch("0", code, accounts));
    EXPECT_EQ(code, 0);
    for (const char* bad : {"104", "101:", "x"})
        EXPECT_FALSE(TTopGateway::ParseRefundBizErrorSwitch(bad, code, accounts)) << bad;
}

} // namespace
