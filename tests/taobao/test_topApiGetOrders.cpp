#include "taobao/topApiGetOrders.h"

#include "foundation/beijingtime.h"
#include "foundation/datetext.h"
#include "foundation/qerror.h"
#include "foundation/qjson.h"
#include "foundation/qworker.h"
#include "logLines.h"
#include "standin/testservers.h"
#include "store/ucommon.h"
#include "testData.h"
#include "testwait.h"

#include <QTemporaryDir>

#include <openssl/evp.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace {

using TFields = TFormFields;
using TOrders = std::vector<TInvalidOrder>;

// The gateway's own check: secret + sorted name/value pairs + secret, without "sign".
bool SignatureValid(const TFields& AFields)
{
    const std::string secret = "5be0c7d19a3f4e2b8c6d0a1f7e9b3c45";
    TFields sorted;
    for (const auto& field : AFields) {
        if (field.first != "sign")
            sorted.push_back(field);
    }
    std::sort(sorted.begin(), sorted.end());
    std::string text = secret;
    for (const auto& [name, value] : sorted)
        text += name + value;
    return Md5Hex(text + secret, true) == FieldValue(AFields, "sign");
}

std::string OrderPage(const std::string& AOrders, bool AHasNext, const std::string& APosition = {})
{
    std::string data = "\"has_next\":" + std::string(AHasNext ? "true" : "false");
    if (!APosition.empty())
        data += ",\"position_index\":\"" + APosition + "\"";
    return "{\"tbk_sc_order_details_get_response\":{\"data\":{" + data + ",\"results\":{\"publisher_order_dto\":["
        + AOrders + "]}}}}";
}

std::string Order(const std::string& AChild, const std::string& AParent, const std::string& APay = "\"1.00\"")
{
    return "{\"trade_id\":\"" + AChild + "\",\"trade_parent_id\":\"" + AParent + "\",\"pay_price\":" + APay
        + ",\"pub_share_fee\":\"0.38\",\"item_title\":\"测试\"}";
}

// Settings and the stand-in services of one test, all under a temporary folder.
class OrderDownload : public ::testing::Test {
protected:
    void SetUp() override
    {
        FGateway.Post(
            "/router/rest", [this, hang = FGateway.Hang()](const httplib::Request& req, httplib::Response& res) {
                if (Hanging())
                    return hang(req, res);
                TRecordedRequest recorded;
                recorded.body = req.body;
                const TFields fields = recorded.FormFields();
                std::string reply = "{}";
                {
                    const std::scoped_lock lock(FMutex);
                    FSignaturesValid = FSignaturesValid && SignatureValid(fields);
                    if (FPages)
                        reply = FPages(fields);
                }
                res.set_content(reply, "application/json;charset=UTF-8");
            });
        FGateway.Start();
        FReport.Get("/openapi/param2/1/gateway.unionpub/report.getTbkRefundOrderDetails.json",
            [this, hang = FReport.Hang()](const httplib::Request& req, httplib::Response& res) {
                if (Hanging())
                    return hang(req, res);
                const std::scoped_lock lock(FMutex);
                const int page = std::stoi(req.get_param_value("pageNo"));
                res.set_content(
                    FReportPages.count(page) ? FReportPages[page] : std::string(), "application/json;charset=UTF-8");
                if (FReportStatus.count(page))
                    res.status = FReportStatus[page];
            });
        FReport.Start();
        WriteSettings(false);
    }

    void WriteSettings(bool ALarge)
    {
        FCommonScope.reset();
        ASSERT_TRUE(WriteConfIni(FFolder.path(),
            {{"topGateway", FGateway.HostValue()}, {"alimamaPublisher", FReport.HostValue()},
                {"caFile", FCert.CertFile()}},
            {{"openLarge", ALarge ? QStringLiteral("1") : QStringLiteral("0")}}));
        FCommon = std::make_unique<TCommon>(FFolder.path());
        FCommonScope = std::make_unique<TGlobalScope<TCommon>>(FCommon.get());
    }

    // From now on both servers accept requests and never answer them.
    void Hang()
    {
        const std::scoped_lock lock(FMutex);
        FHang = true;
    }
    bool Hanging()
    {
        const std::scoped_lock lock(FMutex);
        return FHang;
    }

    void ServePages(std::function<std::string(const TFields&)> APages)
    {
        const std::scoped_lock lock(FMutex);
        FPages = std::move(APages);
    }

    void ServeReport(std::map<int, std::string> APages)
    {
        const std::scoped_lock lock(FMutex);
        FReportPages = std::move(APages);
    }

    std::vector<TFields> GatewayForms() const
    {
        std::vector<TFields> forms;
        for (const TRecordedRequest& request : FGateway.Requests())
            forms.push_back(request.FormFields());
        return forms;
    }

    // Beijing wall-clock times, handed over in the machine's zone as the program does (the test runs far from
    // UTC+8).
    static QDateTime At(int ADay, int AHour, int AMinute = 0)
    {
        return Beijing::At(QDate(2026, 12, ADay), QTime(AHour, AMinute)).toLocalTime();
    }

    // What the gateway reads: Beijing time.
    static std::string Text(const QDateTime& AValue) { return Beijing::Text(AValue).toStdString(); }

    QTemporaryDir FFolder;
    TTestCertificate FCert;
    // The handlers' state comes before the servers: it must outlive them.
    std::mutex FMutex;
    std::function<std::string(const TFields&)> FPages; // guarded by FMutex
    std::map<int, std::string> FReportPages; // guarded by FMutex
    std::map<int, int> FReportStatus; // HTTP status of a page other than 200; guarded by FMutex
    bool FSignaturesValid = true; // guarded by FMutex
    bool FHang = false; // guarded by FMutex
    TTestServer FGateway;
    TTestServer FReport {FCert};
    std::unique_ptr<TCommon> FCommon;
    std::unique_ptr<TGlobalScope<TCommon>> FCommonScope;
};

struct SliceCase {
    const char* name;
    bool large;
    int hours;
    int slices;
    int sliceMinutes;
};

class OrderSlices : public OrderDownload, public ::testing::WithParamInterface<SliceCase> { };

TEST_P(OrderSlices, WindowIsCutIntoSlicesFromTheBeginning)
{
    const SliceCase& c = GetParam();
    WriteSettings(c.large);
    const QDateTime begin = At(1, 8);
    const QDateTime end = begin.addSecs(c.hours * 3600);
    TTopApiGetOrders downloader(QStringLiteral("token"), QString(), QString());
    TOrders lines;
    downloader.getOrdersToList(begin, end, 13, lines);

    const std::vector<TFields> forms = GatewayForms();
    ASSERT_EQ(forms.size(), size_t(c.slices));
    for (size_t i = 0; i < forms.size(); ++i) {
        const QDateTime sliceBegin = begin.addSecs(qint64(i) * c.sliceMinutes * 60);
        const QDateTime sliceEnd = c.sliceMinutes == 0 ? end : sliceBegin.addSecs(c.sliceMinutes * 60);
        EXPECT_EQ(FieldValue(forms[i], "start_time"), Text(c.sliceMinutes == 0 ? begin : sliceBegin)) << i;
        EXPECT_EQ(FieldValue(forms[i], "end_time"), Text(sliceEnd)) << i;
        EXPECT_EQ(FieldValue(forms[i], "page_no"), "1");
    }
    EXPECT_TRUE(lines.empty());
    const std::scoped_lock lock(FMutex);
    EXPECT_TRUE(FSignaturesValid);
}

INSTANTIATE_TEST_SUITE_P(Windows, OrderSlices,
    ::testing::Values(SliceCase {"FifteenDays", false, 15 * 24, 120, 180},
        SliceCase {"TwoDaysLargePromotion", true, 2 * 24, 144, 20}, SliceCase {"OneHour", false, 1, 1, 0},
        SliceCase {"OneHourLargePromotion", true, 1, 3, 20}, SliceCase {"FourHoursReachPastTheEnd", false, 4, 2, 180},
        SliceCase {"ExactlyThreeHours", false, 3, 1, 180}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(OrderDownload, RequestCarriesTheParametersInOrder)
{
    TTopApiGetOrders downloader(QStringLiteral(" sess-9 "), QString(), QString());
    TOrders lines;
    downloader.getOrdersToList(At(1, 8), At(1, 9), 13, lines);
    downloader.getOrdersToList(At(1, 8), At(1, 9), -1, lines);
    const std::vector<TFields> forms = GatewayForms();
    ASSERT_EQ(forms.size(), 2u);
    std::vector<std::string> names;
    for (const auto& field : forms[0])
        names.push_back(field.first);
    const std::vector<std::string> expected {"v", "sign_method", "format", "app_key", "session", "method", "query_type",
        "page_no", "page_size", "tk_status", "order_scene", "start_time", "end_time", "timestamp", "sign"};
    EXPECT_EQ(names, expected);
    EXPECT_EQ(FieldValue(forms[0], "app_key"), "41852093");
    EXPECT_EQ(FieldValue(forms[0], "session"), "sess-9");
    EXPECT_EQ(FieldValue(forms[0], "method"), "taobao.tbk.sc.order.details.get");
    EXPECT_EQ(FieldValue(forms[0], "query_type"), "1");
    EXPECT_EQ(FieldValue(forms[0], "page_size"), "100");
    EXPECT_EQ(FieldValue(forms[0], "tk_status"), "13");
    EXPECT_EQ(FieldValue(forms[0], "order_scene"), "1");
    EXPECT_FALSE(HasField(forms[1], "tk_status"));
    // The gateway reads every time as Beijing time and refuses a timestamp more than 10 minutes off it.
    EXPECT_EQ(FieldValue(forms[0], "start_time"), "2026-12-01 08:00:00");
    EXPECT_EQ(FieldValue(forms[0], "end_time"), "2026-12-01 09:00:00");
    const QDateTime stamp
        = QDateTime::fromString(QString::fromStdString(FieldValue(forms[0], "timestamp")), u"yyyy-MM-dd HH:mm:ss");
    ASSERT_TRUE(stamp.isValid());
    const QDateTime beijingNow = QDateTime::currentDateTimeUtc().addSecs(8 * 3600);
    const QDateTime stampAsWallClock(beijingNow.date(), beijingNow.time());
    EXPECT_LT(std::abs(QDateTime(stamp.date(), stamp.time()).secsTo(stampAsWallClock)), 300)
        << FieldValue(forms[0], "timestamp");
    const std::scoped_lock lock(FMutex);
    EXPECT_TRUE(FSignaturesValid);
}

// The gateway takes "yyyy-MM-dd HH:mm:ss" only: a slice that starts or ends at midnight still sends its time.
TEST_F(OrderDownload, SliceAtMidnightSendsItsTimeInFull)
{
    TTopApiGetOrders downloader(QStringLiteral("token"), QString(), QString());
    TOrders lines;
    downloader.getOrdersToList(At(1, 0), At(2, 0), 13, lines);
    const std::vector<TFields> forms = GatewayForms();
    ASSERT_EQ(forms.size(), 8u);
    EXPECT_EQ(FieldValue(forms.front(), "start_time"), "2026-12-01 00:00:00");
    EXPECT_EQ(FieldValue(forms.back(), "end_time"), "2026-12-02 00:00:00");
}

TEST_F(OrderDownload, BlankTokenRequestsNothing)
{
    TTopApiGetOrders downloader(QStringLiteral(" \t"), QString(), QString());
    TOrders lines(1);
    downloader.getOrdersToList(At(1, 0), At(15, 0), 13, lines);
    EXPECT_EQ(FGateway.RequestCount(), 0u);
    EXPECT_EQ(lines.size(), 1u); // only what was there before
}

TEST_F(OrderDownload, PagingCarriesThePositionIndex)
{
    ServePages([](const TFields& form) {
        if (FieldValue(form, "page_no") == "1")
            return OrderPage(Order("C1", "P1"), true, " pos-1 ");
        return OrderPage(Order("C2", "P2"), false);
    });
    TTopApiGetOrders downloader(QStringLiteral("token"), QString(), QString());
    TOrders lines;
    downloader.getOrdersToList(At(1, 8), At(1, 9), 13, lines);
    const std::vector<TFields> forms = GatewayForms();
    ASSERT_EQ(forms.size(), 2u);
    EXPECT_FALSE(HasField(forms[0], "position_index"));
    EXPECT_EQ(FieldValue(forms[1], "page_no"), "2");
    EXPECT_EQ(FieldValue(forms[1], "position_index"), "pos-1");
    EXPECT_EQ(FieldValue(forms[1], "start_time"), FieldValue(forms[0], "start_time"));
    EXPECT_EQ(lines.size(), 2u);
}

TEST_F(OrderDownload, LinesAreOneJsonObjectWithTrimmedIdsStatusAndAmountsInFen)
{
    ServePages([](const TFields&) {
        return OrderPage("{\"trade_id\":\" C1 \",\"trade_parent_id\":\"P1\",\"pay_price\":\"12.50\","
                         "\"pub_share_fee\":\"0.38\"},"
                         "{\"trade_parent_id\":\"P2\"},"
                         "{\"trade_id\":\"C\\\"3\",\"trade_parent_id\":123456789012345678,\"pay_price\":12.505}",
            false);
    });
    TTopApiGetOrders downloader(QStringLiteral("token"), QString(), QString());
    TOrders lines;
    downloader.getOrdersToList(At(1, 8), At(1, 9), 13, lines);
    downloader.getOrdersToList(At(1, 8), At(1, 9), -1, lines);
    ASSERT_EQ(lines.size(), 6u);
    EXPECT_EQ(lines[0].Line(),
        QStringLiteral("{\"tradeId\":\"C1\",\"tradeParentId\":\"P1\",\"tkStatus\":13,\"payPrice\":\"1250\","
                       "\"pubShareFee\":\"38\"}"));
    EXPECT_EQ(lines[1].Line(),
        QStringLiteral("{\"tradeId\":\"[tradeId]\",\"tradeParentId\":\"P2\",\"tkStatus\":13,\"payPrice\":\"0\","
                       "\"pubShareFee\":\"0\"}"));
    // A quote in a reply field is escaped, so the line stays one JSON object.
    EXPECT_EQ(lines[2].Line(),
        QStringLiteral("{\"tradeId\":\"C\\\"3\",\"tradeParentId\":\"123456789012345678\",\"tkStatus\":13,"
                       "\"payPrice\":\"1250\",\"pubShareFee\":\"0\"}"));
    EXPECT_TRUE(lines[3].Line().contains(u"\"tkStatus\":-1,"));
    for (const TInvalidOrder& order : lines) {
        TQJson parsed;
        EXPECT_TRUE(parsed.TryParse(order.Line())) << order.Line().toStdString();
    }
}

// The reader knows nothing of what was delivered: every order of the window comes as a record, with the ids as
// the page gives them (absent ones stay absent), the status asked for and the amounts in fen.
TEST_F(OrderDownload, EveryOrderOfTheWindowComesAsARecord)
{
    ServePages([](const TFields&) {
        return OrderPage(
            Order("C1", "P1") + "," + Order("C2", "P2", "\"12.345\"") + ",{\"trade_parent_id\":\" P3 \"}", false);
    });
    TTopApiGetOrders downloader(QStringLiteral("token"), QString(), QString());
    TOrders orders;
    EXPECT_TRUE(downloader.getOrdersToList(At(1, 8), At(1, 9), 14, orders));
    ASSERT_EQ(orders.size(), 3u);
    EXPECT_EQ(orders[1].tradeId, QStringLiteral("C2"));
    EXPECT_EQ(orders[1].tradeParentId, QStringLiteral("P2"));
    EXPECT_EQ(orders[1].tkStatus, 14);
    EXPECT_EQ(orders[1].payPrice, 1234);
    EXPECT_EQ(orders[1].pubShareFee, 38);
    EXPECT_TRUE(orders[1].HasIds());
    EXPECT_FALSE(orders[2].tradeId.has_value());
    EXPECT_EQ(orders[2].tradeParentId, QStringLiteral("P3"));
    EXPECT_FALSE(orders[2].HasIds());
    EXPECT_EQ(orders[2].LineIds(), (std::pair {QStringLiteral("P3"), QStringLiteral("[tradeId]")}));
}

// As the live gateway writes them: no pay_price before settlement, placeholders, an encrypted item id, nesting,
// escaped slashes, a position index of its own form. One unreadable amount loses its own order, named in an error
// line, and the page's others are delivered.
TEST_F(OrderDownload, LiveRecordsAreReadAndAnUnreadableAmountLosesOnlyItsOrder)
{
    TQLog log;
    const TGlobalScope<TQLog> logScope(&log);
    const std::shared_ptr<TLogLines> logLines = TLogLines::Attach(log);
    ServePages([](const TFields&) { return TestData("top/order_page_unreadable_amounts.json"); });
    TTopApiGetOrders downloader(QStringLiteral("token"), QString(), QString());
    downloader.setAccountName(QStringLiteral("店铺A"));
    TOrders lines;
    EXPECT_TRUE(downloader.getOrdersToList(At(1, 8), At(1, 9), 13, lines));
    EXPECT_TRUE(downloader.failure().isEmpty()) << downloader.failure().toStdString();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].Line(),
        QStringLiteral(
            "{\"tradeId\":\"C1\",\"tradeParentId\":\"P1\",\"tkStatus\":13,\"payPrice\":\"0\",\"pubShareFee\":\"0\"}"));
    EXPECT_EQ(lines[1].Line(),
        QStringLiteral("{\"tradeId\":\"C3\",\"tradeParentId\":\"P3\",\"tkStatus\":13,\"payPrice\":\"700\","
                       "\"pubShareFee\":\"0\"}"));
    EXPECT_TRUE(WaitForCondition([&logLines] {
        return logLines->Count({QStringLiteral("店铺A"), QStringLiteral("P2/C2"), QStringLiteral("金额无法读取")}) == 1;
    })) << logLines->Lines().join(u'\n').toStdString();
}

// An empty page is written "results":{}: no orders, no failure.
TEST_F(OrderDownload, EmptyPageAsAnEmptyObjectIsNoFailure)
{
    ServePages([](const TFields&) { return TestData("top/order_page_empty_results.json"); });
    TTopApiGetOrders downloader(QStringLiteral("token"), QString(), QString());
    TOrders lines;
    EXPECT_TRUE(downloader.getOrdersToList(At(1, 8), At(1, 9), 13, lines));
    EXPECT_TRUE(lines.empty());
}

std::string ErrorReply(int ACode, const std::string& ASubCode, const std::string& ASubMsg = "refused")
{
    return "{\"error_response\":{\"code\":" + std::to_string(ACode) + ",\"msg\":\"refused\",\"sub_code\":\"" + ASubCode
        + "\",\"sub_msg\":\"" + ASubMsg + "\",\"request_id\":\"r1\"}}";
}

struct TOrderRefusalCase {
    const char* name;
    int code;
    const char* subCode;
    size_t requests; // over the eight slices of one day
    const char16_t* failure; // a part of the failure
};

class OrderRefusal : public OrderDownload, public ::testing::WithParamInterface<TOrderRefusalCase> { };

// What the gateway's error table makes of each refusal: the ones every further slice would meet cost one request.
TEST_P(OrderRefusal, CostsWhatTheTableSays)
{
    const TOrderRefusalCase& c = GetParam();
    ServePages([&c](const TFields&) { return ErrorReply(c.code, c.subCode); });
    TManualTopClock clock {Beijing::At(QDate(2026, 12, 10), QTime(12, 0)).toMSecsSinceEpoch()};
    TTopGate gate;
    TTopApiGetOrders downloader(QStringLiteral("token"), QString(), QString());
    downloader.setClock(&clock);
    downloader.setGate(&gate);
    TOrders lines;
    EXPECT_FALSE(downloader.getOrdersToList(At(1, 0), At(2, 0), 13, lines));
    EXPECT_EQ(FGateway.RequestCount(), c.requests);
    EXPECT_TRUE(downloader.failure().contains(QString::fromUtf16(c.failure))) << downloader.failure().toStdString();
}

INSTANTIATE_TEST_SUITE_P(Table, OrderRefusal,
    ::testing::Values(TOrderRefusalCase {"AppLacksTheMethod", 11, "isv.permission-api-package-limit", 1, u"权限不足"},
        TOrderRefusalCase {"UserLacksTheMethod", 12, "isv.user-permission", 1, u"权限不足"},
        TOrderRefusalCase {"SessionExpired", 27, "invalid-sessionkey", 1, u"重新授权"},
        TOrderRefusalCase {"SessionMissing", 26, "missing-session", 1, u"重新授权"},
        TOrderRefusalCase {"ClockOff", 31, "", 1, u"北京时间"},
        TOrderRefusalCase {"WindowTooLong", 15, "2007", 1, u"2026-12-01 00:00:00 至 2026-12-01 03:00:00"},
        // The first slice tries again after each back-off, the next once more; then the gateway counts as down
        // for the rest of the pass. The account's own limit: each later slice is asked once.
        TOrderRefusalCase {"Busy", 15, "3001", TTopGate::kFailuresUntilDown, u"3001"},
        TOrderRefusalCase {"AccountRateLimit", 15, "9100", 4 + 7, u"9100"},
        TOrderRefusalCase {"OtherRefusalFailsEachSlice", 41, "isv.invalid-parameter", 8, u"isv.invalid-parameter"}),
    [](const auto& info) { return std::string(info.param.name); });

// A refused clock is said once and stops every account's requests for a while: each would be refused the same way.
TEST_F(OrderDownload, ARefusedClockStopsEveryDownloadAndIsSaidOnce)
{
    TQLog log;
    const TGlobalScope<TQLog> logScope(&log);
    const std::shared_ptr<TLogLines> logLines = TLogLines::Attach(log);
    ServePages([](const TFields&) { return ErrorReply(31, "", "Invalid timestamp"); });
    TManualTopClock clock {Beijing::At(QDate(2026, 12, 10), QTime(12, 0)).toMSecsSinceEpoch()};
    TTopGate gate;
    for (const char16_t* name : {u"A", u"B", u"C"}) {
        TTopApiGetOrders downloader(QStringLiteral("token"), QString(), QString());
        downloader.setAccountName(QString::fromUtf16(name));
        downloader.setClock(&clock);
        downloader.setGate(&gate);
        TOrders lines;
        EXPECT_FALSE(downloader.getOrdersToList(At(1, 0), At(2, 0), 13, lines));
        EXPECT_TRUE(downloader.failure().contains(u"北京时间")) << downloader.failure().toStdString();
    }
    EXPECT_EQ(FGateway.RequestCount(), 1u);
    // Once the hold is over one request tries again; a page read clears the refusal.
    clock.Set(clock.NowMs() + TTopGate::kClockHoldMs + 1);
    ServePages([](const TFields&) { return OrderPage(Order("C1", "P1"), false); });
    TTopApiGetOrders later(QStringLiteral("token"), QString(), QString());
    later.setClock(&clock);
    later.setGate(&gate);
    TOrders lines;
    EXPECT_TRUE(later.getOrdersToList(At(1, 8), At(1, 9), 13, lines));
    EXPECT_EQ(lines.size(), 1u);
    EXPECT_FALSE(gate.ClockRefused(clock.NowMs()));
    const auto said = [&logLines] { return logLines->Count({QStringLiteral("本机时间与北京时间相差超过10分钟")}); };
    EXPECT_TRUE(WaitForCondition([&said] { return said() >= 1; }));
    EXPECT_EQ(said(), 1) << logLines->Lines().join(u'\n').toStdString();
}

TEST_F(OrderDownload, EndlessPagingStopsWhenTheJobIsAskedToStop)
{
    ServePages([](const TFields&) { return OrderPage(Order("C1", "P1"), true, "x"); });
    TTopApiGetOrders downloader(
        QStringLiteral("token"), QString(), QString(), [this] { return FGateway.RequestCount() >= 5; });
    TOrders lines;
    downloader.getOrdersToList(At(1, 0), At(15, 0), 13, lines);
    EXPECT_EQ(FGateway.RequestCount(), 5u);
    // The fifth page's request may itself be cut short by the stop, and then it adds nothing.
    EXPECT_GE(lines.size(), 4u);
    EXPECT_LE(lines.size(), 5u);

    TTopApiGetOrders closed(QStringLiteral("token"), QString(), QString());
    closed.setClose(true);
    closed.getOrdersToList(At(1, 0), At(15, 0), 13, lines);
    EXPECT_EQ(FGateway.RequestCount(), 5u);
}

std::string ReportPage(const std::string& ARecords, bool AHasNext)
{
    return "{\"data\":{\"hasNext\":" + std::string(AHasNext ? "true" : "false") + ",\"result\":[" + ARecords + "]}}";
}

std::string Refund(const std::string& AChild, const std::string& AParent, const std::string& AStatus = "维权成功")
{
    return "{\"tbTradeId\":\"" + AChild + "\",\"tbTradeParentId\":\"" + AParent
        + "\",\"itemTitle\":\"标题\",\"itemImg\":\"//img\",\"showRefundStatus\":\"" + AStatus
        + "\",\"earningTime\":\"2026-11-01 10:00:00\",\"refundCreateTime\":\"2026-11-02 10:00:00\","
          "\"refundFinishTime\":\"\",\"refundFee\":\"12.5\",\"showReturnFee\":0.38,\"alipayTotalPrice\":20,"
          "\"tkOrderRole\":\"2\"}";
}

TEST_F(OrderDownload, RefundReportIsReadPageByPage)
{
    ServeReport({{1, ReportPage(Refund("C1", "P1") + "," + Refund("C2", "P2", " 维权成功 "), true)},
        {2, ReportPage(Refund("C3", "P3", "维权失败") + "," + Refund("C4", "P4"), true)},
        {3, ReportPage(Refund("C5", "P5"), false)}});
    TTopApiGetOrders downloader(
        QString(), QStringLiteral("  a=1; _tb_token_=ff; b=2 "), QStringLiteral("_tb_token_=ff"));
    const std::vector<TWeiQuanOrderInfo> orders = downloader.getWeiquanOrders(At(1, 8), At(10, 23, 59));

    ASSERT_EQ(orders.size(), 4u); // every successful one, delivered before or not
    EXPECT_EQ(orders[0].tbTradeId, QStringLiteral("C1"));
    EXPECT_EQ(orders[1].tbTradeId, QStringLiteral("C2"));
    EXPECT_EQ(orders[2].tbTradeId, QStringLiteral("C4"));
    EXPECT_EQ(orders[3].tbTradeId, QStringLiteral("C5"));
    EXPECT_EQ(orders[0].itemTitle, QStringLiteral("标题"));
    EXPECT_EQ(orders[0].refundFee, 12.5);
    EXPECT_EQ(orders[0].showReturnFee, 0.38);
    EXPECT_EQ(orders[0].alipayTotalPrice, 20.0);
    EXPECT_EQ(orders[0].tkOrderRole, QStringLiteral("2"));

    const std::vector<TRecordedRequest> requests = FReport.Requests();
    ASSERT_EQ(requests.size(), 3u);
    for (size_t i = 0; i < requests.size(); ++i) {
        const std::string& target = requests[i].target;
        EXPECT_NE(target.find("&_tb_token_=ff&pageNo=" + std::to_string(i + 1)
                      + "&startTime=2026-12-01&endTime=2026-12-10&queryType=1&isFullRefund=0&memberType=&pageSize=40"),
            std::string::npos)
            << target;
        EXPECT_EQ(target.rfind("/openapi/param2/1/gateway.unionpub/report.getTbkRefundOrderDetails.json?t=", 0), 0u);
        EXPECT_EQ(requests[i].Header("Cookie"), "a=1; _tb_token_=ff; b=2");
        EXPECT_EQ(
            requests[i].Header("Accept"), "text/html,application/xhtml+xml,application/xml;q=0.9,image/webp,*/*;q=0.8");
    }
}

TEST_F(OrderDownload, RefundReportEndsOnAForeignReply)
{
    ServeReport({{1, ReportPage(Refund("C1", "P1"), true)}, {2, "<html>login</html>"}});
    TTopApiGetOrders downloader {QString(), QString(), QString()};
    const std::vector<TWeiQuanOrderInfo> orders = downloader.getWeiquanOrders(At(1, 8), At(2, 8));
    EXPECT_EQ(orders.size(), 1u);
    const std::vector<TRecordedRequest> requests = FReport.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_NE(requests[0].target.find("&&pageNo=1&"), std::string::npos) << requests[0].target;
    EXPECT_FALSE(requests[0].HasHeader("Cookie"));
    EXPECT_EQ(downloader.failure(), QStringLiteral("维权报表第 2 页不是维权报表的 JSON:<html>login</html>"));
}

TEST_F(OrderDownload, ACompleteReportIsNoFailure)
{
    ServeReport({{1, ReportPage(Refund("C1", "P1"), true)}, {2, ReportPage("", false)}});
    TTopApiGetOrders downloader {QString(), QString(), QString()};
    EXPECT_EQ(downloader.getWeiquanOrders(At(1, 8), At(2, 8)).size(), 1u);
    EXPECT_EQ(downloader.failure(), QString());
}

struct TReportFailureCase {
    const char* name;
    int failingPage;
    std::string body;
    int status;
    const char16_t* failure; // after "维权报表第 N 页"
};

class RefundReportFailure : public OrderDownload, public ::testing::WithParamInterface<TReportFailureCase> { };

// A page that could not be read is the account's failure, never a shorter report: the orders of the pages before it
// are kept and no further page is asked for.
TEST_P(RefundReportFailure, IsTheDownloadersFailure)
{
    const TReportFailureCase& c = GetParam();
    std::map<int, std::string> pages;
    for (int page = 1; page < c.failingPage; ++page)
        pages[page] = ReportPage(Refund("C" + std::to_string(page), "P"), true);
    pages[c.failingPage] = c.body;
    ServeReport(std::move(pages));
    {
        const std::scoped_lock lock(FMutex);
        FReportStatus[c.failingPage] = c.status;
    }
    TTopApiGetOrders downloader {QString(), QString(), QString()};
    const std::vector<TWeiQuanOrderInfo> orders = downloader.getWeiquanOrders(At(1, 8), At(2, 8));
    EXPECT_EQ(orders.size(), size_t(c.failingPage - 1));
    EXPECT_EQ(FReport.RequestCount(), size_t(c.failingPage));
    EXPECT_EQ(downloader.failure(),
        QStringLiteral("维权报表第 ") + QString::number(c.failingPage) + QStringLiteral(" 页")
            + QString::fromUtf16(c.failure));
}

INSTANTIATE_TEST_SUITE_P(Pages, RefundReportFailure,
    ::testing::Values(TReportFailureCase {"HttpError", 2, ReportPage("", false), 503, u"读取失败:HTTP status 503"},
        TReportFailureCase {"Refused", 1, "{}", 403, u"读取失败:HTTP status 403"},
        TReportFailureCase {"EmptyReply", 3, "", 200, u"不是维权报表的 JSON:空回复"},
        TReportFailureCase {"JsonWithoutData", 2, R"({"ok":false,"info":{"message":"请先登录"}})", 200,
            u"不是维权报表(没有 data):{\"ok\":false,\"info\":{\"message\":\"请先登录\"}}"},
        TReportFailureCase {"DataThatIsNoObject", 1, R"({"data":[]})", 200, u"不是维权报表(没有 data):{\"data\":[]}"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(OrderDownload, RefundReportThatDoesNotAnswerInTimeIsAFailure)
{
    Hang();
    TTopApiGetOrders downloader {QString(), QString(), QString()};
    downloader.setWebTimeoutMs(200);
    EXPECT_TRUE(downloader.getWeiquanOrders(At(1, 8), At(2, 8)).empty());
    EXPECT_TRUE(downloader.failure().startsWith(u"维权报表第 1 页读取失败:")) << downloader.failure().toStdString();
}

TEST_F(OrderDownload, RefundReportOfAnUnreachableHostIsAFailure)
{
    FCommonScope.reset();
    QFile ini(FFolder.filePath(QStringLiteral("conf.ini")));
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    // Port 1 on the loopback: nothing listens there, the connection is refused at once.
    ini.write("[hosts]\nalimamaPublisher=127.0.0.1:1\n");
    ini.close();
    FCommon = std::make_unique<TCommon>(FFolder.path());
    FCommonScope = std::make_unique<TGlobalScope<TCommon>>(FCommon.get());
    TTopApiGetOrders downloader {QString(), QString(), QString()};
    EXPECT_TRUE(downloader.getWeiquanOrders(At(1, 8), At(2, 8)).empty());
    EXPECT_TRUE(downloader.failure().startsWith(u"维权报表第 1 页读取失败:")) << downloader.failure().toStdString();
}

TEST_F(OrderDownload, EndlessReportStopsWhenTheJobIsAskedToStop)
{
    std::map<int, std::string> pages;
    for (int page = 1; page <= 50; ++page)
        pages[page] = ReportPage(Refund("C" + std::to_string(page), "P"), true);
    ServeReport(std::move(pages));
    TTopApiGetOrders downloader(QString(), QString(), QString(), [this] { return FReport.RequestCount() >= 4; });
    const size_t orders = downloader.getWeiquanOrders(At(1, 8), At(2, 8)).size();
    EXPECT_EQ(FReport.RequestCount(), 4u);
    // The fourth page's request may itself be cut short by the stop, and then it adds nothing.
    EXPECT_GE(orders, 3u);
    EXPECT_LE(orders, 4u);
}

enum class TStopKind { JobStop, Close, SchedulerEnds };

struct StopCase {
    const char* name;
    TStopKind kind;
    bool refunds; // the refund report, else the order pages
};

class StalledDownload : public OrderDownload, public ::testing::WithParamInterface<StopCase> { };

// The request of a page that the server never answers ends on the stop, long before its 10 s time-out, and the
// page counts as a failed request: nothing added, no further page.
TEST_P(StalledDownload, PageRequestEndsOnTheStop)
{
    const StopCase& c = GetParam();
    TQWorkers scheduler;
    const TGlobalScope<TQWorkers> schedulerScope(&scheduler);
    std::atomic<bool> stopAsked {false};
    TTopApiGetOrders downloader(QStringLiteral("token"), QString(), QString(), [&] { return stopAsked.load(); });
    Hang();
    TTestServer& server = c.refunds ? FReport : FGateway;
    std::thread stopper([&] {
        if (!server.WaitForRequests(1))
            return;
        switch (c.kind) {
        case TStopKind::JobStop:
            stopAsked = true;
            break;
        case TStopKind::Close:
            downloader.setClose(true);
            break;
        case TStopKind::SchedulerEnds:
            scheduler.SetAppTerminating();
            break;
        }
    });
    const auto started = std::chrono::steady_clock::now();
    if (c.refunds) {
        EXPECT_TRUE(downloader.getWeiquanOrders(At(1, 8), At(2, 8)).empty());
    } else {
        TOrders lines;
        downloader.getOrdersToList(At(1, 8), At(1, 9), 13, lines);
        EXPECT_TRUE(lines.empty());
    }
    const auto took = std::chrono::steady_clock::now() - started;
    stopper.join();
    EXPECT_EQ(server.RequestCount(), 1u);
    EXPECT_LT(took, std::chrono::milliseconds(5000)); // a hang guard: half the time-out
}

INSTANTIATE_TEST_SUITE_P(Stops, StalledDownload,
    ::testing::Values(StopCase {"OrderPageOnJobStop", TStopKind::JobStop, false},
        StopCase {"OrderPageOnClose", TStopKind::Close, false},
        StopCase {"OrderPageOnSchedulerEnd", TStopKind::SchedulerEnds, false},
        StopCase {"RefundPageOnJobStop", TStopKind::JobStop, true},
        StopCase {"RefundPageOnClose", TStopKind::Close, true},
        StopCase {"RefundPageOnSchedulerEnd", TStopKind::SchedulerEnds, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(OrderDownload, UnreadableRefundAmountLosesOnlyItsRefund)
{
    std::string record = Refund("C1", "P1");
    record.replace(record.find("\"12.5\""), 6, "\"n/a\"");
    std::string placeholders = Refund("C3", "P3");
    placeholders.replace(placeholders.find("\"12.5\""), 6, "\"--\"");
    ServeReport({{1, ReportPage(record + "," + Refund("C2", "P2") + "," + placeholders, false)}});
    TTopApiGetOrders downloader {QString(), QString(), QString()};
    const std::vector<TWeiQuanOrderInfo> orders = downloader.getWeiquanOrders(At(1, 8), At(2, 8));
    ASSERT_EQ(orders.size(), 2u);
    EXPECT_EQ(orders[0].tbTradeId, QStringLiteral("C2"));
    EXPECT_EQ(orders[1].tbTradeId, QStringLiteral("C3"));
    EXPECT_EQ(orders[1].refundFee, 0.0);
    EXPECT_TRUE(downloader.failure().isEmpty());
}

} // namespace
