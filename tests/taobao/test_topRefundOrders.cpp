#include "taobao/topRefundOrders.h"

#include "foundation/beijingtime.h"
#include "foundation/qerror.h"
#include "foundation/qjson.h"
#include "logLines.h"
#include "standin/signatures.h"
#include "standin/testservers.h"
#include "store/ucommon.h"
#include "testData.h"
#include "testwait.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>

namespace {

using namespace Qt::StringLiterals;
using TFields = TFormFields;

// One record of the method's reply in the documented form: ids, times and amounts as texts, the status a number, the
// role in words, and fields the program does not use.
std::string Record(const std::string& AChild, const std::string& AParent, const std::string& AStatus = "2")
{
    return "{\"refund_suit_id\":\"88" + AChild + "\",\"tb_trade_id\":\"" + AChild + "\",\"tb_trade_parent_id\":\""
        + AParent
        + "\",\"tb_trade_create_time\":\"2026-10-30 09:00:00\",\"item_title\":\"商品\",\"refund_status\":" + AStatus
        + ",\"earning_time\":\"2026-11-01 10:00:00\",\"tk_refund_time\":\"2026-11-02 11:00:00\","
          "\"tk_refund_suit_time\":\"2026-11-03 12:00:00\",\"refund_fee\":\"12.50\",\"show_return_fee\":\"0.38\","
          "\"pub_share_fee\":\"1.20\",\"tk_commission_fee_refund\":\"0.30\",\"tk_subsidy_fee_refund\":\"0.00\","
          "\"tb_trade_finish_price\":\"25.00\",\"tk_order_role\":\"二方\",\"relation_id\":2669886578,"
          "\"modified_time\":\"2026-11-03 12:00:00\"}";
}

// One page as the method answers it: the records wrapped in "result" under the record's name, {} when there are
// none, the answer's result code beside "data".
std::string Page(const std::string& ARecords, bool AHasNext, const std::string& APosition = {})
{
    std::string data = "\"has_next\":" + std::string(AHasNext ? "true" : "false") + ",\"page_no\":1,\"page_size\":100";
    if (!APosition.empty())
        data += ",\"position_index\":\"" + APosition + "\"";
    const std::string result
        = ARecords.empty() ? std::string("{}") : "{\"publisher_refund_order_d_t_o\":[" + ARecords + "]}";
    return "{\"tbk_sc_order_refund_get_response\":{\"data\":{" + data + ",\"result\":" + result
        + "},\"result_code\":200,\"result_msg\":\"success\",\"request_id\":\"r1\"}}";
}

// A member of the one JSON parameter the method takes, as text ("" when absent).
std::string OptionValue(const TFormFields& AForm, QStringView AName)
{
    TQJson option;
    if (!option.TryParse(QString::fromStdString(FieldValue(AForm, "publisher_refund_order_query_option"))))
        return {};
    const TQJson* member = option.ItemByName(AName);
    return member != nullptr ? member->AsString().toStdString() : std::string();
}

std::string ErrorReply(int ACode, const std::string& ASubCode, const std::string& ASubMsg = {})
{
    return "{\"error_response\":{\"code\":" + std::to_string(ACode) + ",\"msg\":\"refused\",\"sub_code\":\"" + ASubCode
        + "\",\"sub_msg\":\"" + ASubMsg + "\"}}";
}

// A gateway on 127.0.0.1 whose replies a test scripts, the settings pointing at it and an order cache.
class RefundApi : public ::testing::Test {
protected:
    void SetUp() override
    {
        FGateway.Post("/router/rest", [this](const httplib::Request& req, httplib::Response& res) {
            TRecordedRequest recorded;
            recorded.body = req.body;
            const TFields fields = recorded.FormFields();
            std::string reply = Page("", false);
            {
                const std::scoped_lock lock(FMutex);
                FSigned = FSigned && FieldValue(fields, "sign") == TopSign(fields, kTopAppSecret);
                if (FReply)
                    reply = FReply(fields);
            }
            res.set_content(reply, "application/json;charset=UTF-8");
        });
        FGateway.Start();
        ASSERT_TRUE(WriteConfIni(FFolder.path(), {{"topGateway", FGateway.HostValue()}}));
        FCommon = std::make_unique<TCommon>(FFolder.path());
        FCommonScope = std::make_unique<TGlobalScope<TCommon>>(FCommon.get());
    }

    void Serve(std::function<std::string(const TFields&)> AReply)
    {
        const std::scoped_lock lock(FMutex);
        FReply = std::move(AReply);
    }

    std::vector<TFields> Forms() const
    {
        std::vector<TFields> forms;
        for (const TRecordedRequest& request : FGateway.Requests())
            forms.push_back(request.FormFields());
        return forms;
    }

    // A download on the simulated clock and a gate of its own.
    std::vector<TWeiQuanOrderInfo> Download(TTopRefundOrders& ADownload, const QDateTime& ABegin, const QDateTime& AEnd)
    {
        ADownload.setClock(&FClock);
        ADownload.setGate(&FGate);
        return ADownload.getRefundOrders(ABegin, AEnd);
    }

    // Beijing wall-clock times, handed over in the machine's zone as the program does.
    static QDateTime At(int ADay, int AHour)
    {
        return Beijing::At(QDate(2026, 12, ADay), QTime(AHour, 0)).toLocalTime();
    }

    QTemporaryDir FFolder;
    std::mutex FMutex;
    std::function<std::string(const TFields&)> FReply; // guarded by FMutex
    bool FSigned = true; // guarded by FMutex
    TTestServer FGateway;
    TManualTopClock FClock {Beijing::At(QDate(2026, 12, 10), QTime(12, 0)).toMSecsSinceEpoch()};
    TTopGate FGate;
    std::unique_ptr<TCommon> FCommon;
    std::unique_ptr<TGlobalScope<TCommon>> FCommonScope;
};

// ---- the record as the report's -------------------------------------------------------------------------------

struct TMappingCase {
    const char* name;
    const char* record; // one JSON object of the reply
    TWeiQuanOrderInfo expected;
    bool raises = false;
};

TWeiQuanOrderInfo Expected(double AFee, double AReturn, double ATotal)
{
    TWeiQuanOrderInfo info;
    info.tbTradeId = QStringLiteral("C1");
    info.tbTradeParentId = QStringLiteral("P1");
    info.itemTitle = QStringLiteral("商品");
    info.showRefundStatus = QStringLiteral("维权成功");
    info.earningTime = QStringLiteral("2026-11-01 10:00:00");
    info.refundCreateTime = QStringLiteral("2026-11-02 11:00:00");
    info.refundFinishTime = QStringLiteral("2026-11-03 12:00:00");
    info.refundFee = AFee;
    info.showReturnFee = AReturn;
    info.alipayTotalPrice = ATotal;
    info.tkOrderRole = QStringLiteral("2");
    return info;
}

std::string WithAmounts(const std::string& AFee, const std::string& AReturn, const std::string& ATotal,
    const std::string& ARole = "\"二方\"")
{
    return "{\"tb_trade_id\":\"C1\",\"tb_trade_parent_id\":\"P1\",\"item_title\":\"商品\",\"refund_status\":2,"
           "\"earning_time\":\"2026-11-01 10:00:00\",\"tk_refund_time\":\"2026-11-02 11:00:00\","
           "\"tk_refund_suit_time\":\"2026-11-03 12:00:00\",\"refund_fee\":"
        + AFee + ",\"show_return_fee\":" + AReturn + ",\"tb_trade_finish_price\":" + ATotal
        + ",\"tk_order_role\":" + ARole + ",\"item_img\":\"ignored\"}";
}

TWeiQuanOrderInfo WithRole(TWeiQuanOrderInfo AInfo, const char16_t* ARole)
{
    AInfo.tkOrderRole = QString::fromUtf16(ARole);
    return AInfo;
}

class RefundMapping : public ::testing::TestWithParam<TMappingCase> { };

TEST_P(RefundMapping, EveryFieldLandsWhereTheReportPutsIt)
{
    TQJson record;
    ASSERT_TRUE(record.TryParse(QString::fromUtf8(GetParam().record)));
    if (GetParam().raises) {
        EXPECT_ANY_THROW(TTopRefundOrders::RecordOf(record));
        return;
    }
    const TWeiQuanOrderInfo info = TTopRefundOrders::RecordOf(record);
    const TWeiQuanOrderInfo& expected = GetParam().expected;
    EXPECT_EQ(info.tbTradeId, expected.tbTradeId);
    EXPECT_EQ(info.tbTradeParentId, expected.tbTradeParentId);
    EXPECT_EQ(info.itemTitle, expected.itemTitle);
    EXPECT_EQ(info.itemImg, QString()); // the method has no picture, whatever a reply carries
    EXPECT_EQ(info.showRefundStatus, expected.showRefundStatus);
    EXPECT_EQ(info.earningTime, expected.earningTime);
    EXPECT_EQ(info.refundCreateTime, expected.refundCreateTime);
    EXPECT_EQ(info.refundFinishTime, expected.refundFinishTime);
    EXPECT_DOUBLE_EQ(info.refundFee, expected.refundFee);
    EXPECT_DOUBLE_EQ(info.showReturnFee, expected.showReturnFee);
    EXPECT_DOUBLE_EQ(info.alipayTotalPrice, expected.alipayTotalPrice);
    EXPECT_EQ(info.tkOrderRole, expected.tkOrderRole);
}

const std::string kFull = WithAmounts("\"12.50\"", "\"0.38\"", "\"25.00\"");
const std::string kNumbers = WithAmounts("12.5", "0", "25");
const std::string kOdd = WithAmounts("\"0.005\"", "\"-1.20\"", "\"1e2\"");
const std::string kHuge = WithAmounts("\"12345678901234.56\"", "\"0.10\"", "\"99999999.99\"");
const std::string kNotANumber = WithAmounts("\"abc\"", "\"0\"", "\"0\"");
const std::string kPlaceholders = WithAmounts("\"\"", "\"--\"", "\"25.00\"");
const std::string kThirdParty = WithAmounts("\"12.50\"", "\"0.38\"", "\"25.00\"", "\"三方\"");
const std::string kRoleNumber = WithAmounts("\"12.50\"", "\"0.38\"", "\"25.00\"", "3");

INSTANTIATE_TEST_SUITE_P(Records, RefundMapping,
    ::testing::Values(TMappingCase {"AmountTexts", kFull.c_str(), Expected(12.5, 0.38, 25)},
        TMappingCase {"AmountNumbers", kNumbers.c_str(), Expected(12.5, 0, 25)},
        TMappingCase {"OddAmounts", kOdd.c_str(), Expected(0.005, -1.2, 100)},
        TMappingCase {"LargeAmounts", kHuge.c_str(), Expected(12345678901234.56, 0.1, 99999999.99)},
        TMappingCase {"AbsentFieldsStayEmpty", "{\"refund_status\":2}",
            [] {
                TWeiQuanOrderInfo info;
                info.showRefundStatus = QStringLiteral("维权成功");
                return info;
            }()},
        TMappingCase {"PlaceholdersReadAsNoAmount", kPlaceholders.c_str(), Expected(0, 0, 25)},
        TMappingCase {"ThirdPartyRoleIsTheReportsThree", kThirdParty.c_str(), WithRole(Expected(12.5, 0.38, 25), u"3")},
        TMappingCase {"RoleGivenAsNumberStays", kRoleNumber.c_str(), WithRole(Expected(12.5, 0.38, 25), u"3")},
        TMappingCase {"AmountThatIsNoNumberRaises", kNotANumber.c_str(), {}, true}),
    [](const auto& AInfo) { return std::string(AInfo.param.name); });

// ---- against the gateway ---------------------------------------------------------------------------------------

TEST_F(RefundApi, RequestIsSignedAndCarriesTheMethodsQueryOption)
{
    TTopRefundOrders download(QStringLiteral(" sess-7 "));
    Download(download, At(1, 8), At(1, 9));
    const std::vector<TFields> forms = Forms();
    ASSERT_EQ(forms.size(), 1u);
    const TFields& form = forms[0];
    EXPECT_EQ(FieldValue(form, "method"), "taobao.tbk.sc.order.refund.get");
    EXPECT_EQ(FieldValue(form, "session"), "sess-7");
    EXPECT_EQ(FieldValue(form, "format"), "json");
    // The method takes one application parameter; the query's members travel inside it.
    for (const char* flat : {"start_time", "end_time", "page_no", "page_size", "query_type", "member_type"})
        EXPECT_FALSE(HasField(form, flat)) << flat;
    TQJson option;
    ASSERT_TRUE(option.TryParse(QString::fromStdString(FieldValue(form, "publisher_refund_order_query_option"))));
    // Numbers as numbers, times as Beijing texts; the window starts at the midnight of its first day, as the
    // report's whole days do.
    for (const auto& [name, value] : std::vector<std::pair<QString, qint64>> {{u"page_size"_s, 100}, {u"page_no"_s, 1},
             {u"jump_type"_s, 1}, {u"query_type"_s, 1}, {u"order_scene"_s, 1}, {u"member_type"_s, 4}}) {
        ASSERT_NE(option.ItemByName(name), nullptr) << name.toStdString();
        EXPECT_EQ(option.ItemByName(name)->DataType(), jdtInteger) << name.toStdString();
        EXPECT_EQ(option.ItemByName(name)->AsInt64(), value) << name.toStdString();
    }
    EXPECT_EQ(OptionValue(form, u"start_time"), "2026-12-01 00:00:00");
    EXPECT_EQ(OptionValue(form, u"end_time"), "2026-12-01 09:00:00");
    EXPECT_EQ(option.ItemByName(u"position_index"), nullptr);
    const std::scoped_lock lock(FMutex);
    EXPECT_TRUE(FSigned);
}

// A reply written as the platform documents it, with fields the program does not use, escaped slashes and nesting.
TEST_F(RefundApi, DocumentedReplyDeliversItsRefunds)
{
    Serve([](const TFields&) { return TestData("top/refund_documented_reply.json"); });
    TTopRefundOrders download(QStringLiteral("token"));
    const std::vector<TWeiQuanOrderInfo> refunds = Download(download, At(1, 8), At(1, 9));
    EXPECT_TRUE(download.failure().isEmpty()) << download.failure().toStdString();
    ASSERT_EQ(refunds.size(), 1u); // the second refund was opened, not yet successful
    EXPECT_EQ(refunds[0].tbTradeId, u"1707359271433894972"_s);
    EXPECT_EQ(refunds[0].tbTradeParentId, u"1707359271433894971"_s);
    EXPECT_EQ(refunds[0].itemTitle, u"zf测试 / 商品"_s);
    EXPECT_EQ(refunds[0].showRefundStatus, u"维权成功"_s);
    EXPECT_EQ(refunds[0].earningTime, u"2026-11-19 14:39:31"_s);
    EXPECT_EQ(refunds[0].refundCreateTime, u"2026-11-19 14:41:22"_s);
    EXPECT_EQ(refunds[0].refundFinishTime, u"2026-11-19 14:42:29"_s);
    EXPECT_DOUBLE_EQ(refunds[0].refundFee, 0.01);
    EXPECT_DOUBLE_EQ(refunds[0].showReturnFee, 0.0);
    EXPECT_DOUBLE_EQ(refunds[0].alipayTotalPrice, 0.01);
    EXPECT_EQ(refunds[0].tkOrderRole, u"3"_s);
}

// TOP writes a list as an object holding the array, an empty one as {}; a bare array is read as well.
TEST_F(RefundApi, ResultListIsReadInEveryShape)
{
    const std::string wrapped = Page(Record("C1", "P1"), false);
    const std::string bare = "{\"tbk_sc_order_refund_get_response\":{\"data\":{\"has_next\":false,\"result\":["
        + Record("C1", "P1") + "]}}}";
    const std::string single = "{\"tbk_sc_order_refund_get_response\":{\"data\":{\"has_next\":false,\"result\":"
                               "{\"publisher_refund_order_d_t_o\":"
        + Record("C1", "P1") + "}}}}";
    const std::string empty = Page("", false);
    for (const auto& [body, count] :
        std::vector<std::pair<std::string, size_t>> {{wrapped, 1}, {bare, 1}, {single, 1}, {empty, 0}}) {
        Serve([body = body](const TFields&) { return body; });
        TTopRefundOrders download(QStringLiteral("token"));
        EXPECT_EQ(Download(download, At(1, 8), At(1, 9)).size(), count) << body;
        EXPECT_TRUE(download.failure().isEmpty()) << body;
    }
}

// A business error comes in the method's own answer, without data: a failed page, never an empty success.
TEST_F(RefundApi, BusinessErrorFailsThePage)
{
    Serve([](const TFields&) { return TestData("top/refund_business_error.json"); });
    TTopRefundOrders download(QStringLiteral("token"));
    EXPECT_TRUE(Download(download, At(1, 8), At(1, 9)).empty());
    EXPECT_TRUE(download.failure().contains(u"biz_error_code:101"_s)) << download.failure().toStdString();
    EXPECT_TRUE(download.failure().contains(u"开始时间不能为空"_s)) << download.failure().toStdString();
    EXPECT_FALSE(download.permissionRefused());
}

// One unreadable amount loses its own refund; the page's others are delivered, and an error line names it.
TEST_F(RefundApi, AnUnreadableAmountLosesOnlyItsRefund)
{
    TQLog log;
    const TGlobalScope<TQLog> logScope(&log);
    const std::shared_ptr<TLogLines> lines = TLogLines::Attach(log);
    std::string bad = Record("C2", "P2");
    bad.replace(bad.find("\"refund_fee\":\"12.50\""), 20, "\"refund_fee\":\"abc\"");
    Serve([&bad](const TFields&) { return Page(Record("C1", "P1") + "," + bad + "," + Record("C3", "P3"), false); });
    TTopRefundOrders download(QStringLiteral("token"));
    download.setAccountName(u"店铺A"_s);
    const std::vector<TWeiQuanOrderInfo> refunds = Download(download, At(1, 8), At(1, 9));
    QStringList ids;
    for (const TWeiQuanOrderInfo& refund : refunds)
        ids << refund.tbTradeId;
    EXPECT_EQ(ids, QStringList({u"C1"_s, u"C3"_s}));
    EXPECT_TRUE(download.failure().isEmpty()) << download.failure().toStdString();
    EXPECT_TRUE(WaitForCondition([&lines] {
        return lines->Count({u"店铺A"_s, u"P2/C2"_s, u"金额无法读取"_s}) == 1;
    })) << lines->Lines().join(u'\n').toStdString();
}

// Day slices from the first midnight to the end; within a slice, pages follow the position the last one gave.
TEST_F(RefundApi, WindowIsReadInDaySlicesPagedByPosition)
{
    Serve([](const TFields& AForm) {
        if (OptionValue(AForm, u"start_time") != "2026-12-02 00:00:00")
            return Page(Record("A" + OptionValue(AForm, u"start_time").substr(8, 2), "PA"), false, "x");
        const std::string position = OptionValue(AForm, u"position_index");
        if (position.empty())
            return Page(Record("B1", "PB"), true, "p1");
        if (position == "p1")
            return Page(Record("B2", "PB"), true, "p2");
        return Page(Record("B3", "PB"), false, "p3");
    });
    TTopRefundOrders download(QStringLiteral("token"));
    const std::vector<TWeiQuanOrderInfo> refunds = Download(download, At(1, 15), At(3, 6));
    EXPECT_TRUE(download.failure().isEmpty()) << download.failure().toStdString();

    const std::vector<TFields> forms = Forms();
    ASSERT_EQ(forms.size(), 5u);
    const std::vector<std::tuple<std::string, std::string, std::string, std::string>> expected {
        {"2026-12-01 00:00:00", "2026-12-02 00:00:00", "1", ""},
        {"2026-12-02 00:00:00", "2026-12-03 00:00:00", "1", ""},
        {"2026-12-02 00:00:00", "2026-12-03 00:00:00", "2", "p1"},
        {"2026-12-02 00:00:00", "2026-12-03 00:00:00", "3", "p2"},
        {"2026-12-03 00:00:00", "2026-12-03 06:00:00", "1", ""}};
    for (size_t i = 0; i < forms.size(); ++i) {
        EXPECT_EQ(OptionValue(forms[i], u"start_time"), std::get<0>(expected[i])) << i;
        EXPECT_EQ(OptionValue(forms[i], u"end_time"), std::get<1>(expected[i])) << i;
        EXPECT_EQ(OptionValue(forms[i], u"page_no"), std::get<2>(expected[i])) << i;
        EXPECT_EQ(OptionValue(forms[i], u"position_index"), std::get<3>(expected[i])) << i;
    }
    QStringList ids;
    for (const TWeiQuanOrderInfo& refund : refunds)
        ids << refund.tbTradeId;
    EXPECT_EQ(ids, QStringList({u"A01"_s, u"B1"_s, u"B2"_s, u"B3"_s, u"A03"_s}));
    EXPECT_EQ(download.requests(), 5);
}

// A gateway that says "next page" but returns the position it was given would be asked for ever, and would hand
// the same records again.
TEST_F(RefundApi, NextPageWithAnUnchangedPositionEndsTheSliceAsFailed)
{
    Serve([](const TFields&) { return Page(Record("C1", "P1"), true, "same"); });
    TTopRefundOrders download(QStringLiteral("token"));
    const std::vector<TWeiQuanOrderInfo> refunds = Download(download, At(1, 0), At(1, 6));
    EXPECT_EQ(Forms().size(), 2u);
    EXPECT_FALSE(download.failure().isEmpty());
    EXPECT_EQ(refunds.size(), 1u); // the repeated page adds nothing twice
}

TEST_F(RefundApi, OnlySucceededRefundsAreKept)
{
    Serve([](const TFields&) {
        return Page(Record("C1", "P1") + "," + Record("C2", "P2") + "," + Record("C3", "P3") + ","
                + Record("C4", "P4", "3") + "," + Record("C5", "P5", "4") + "," + Record("C6", "P6", "\"2\"") + ","
                + Record("C7", "P7", "\" 2 \"") + "," + Record("C8", "P8", "12") + "," + Record("", "P9"),
            false);
    });
    TTopRefundOrders download(QStringLiteral("token"));
    const std::vector<TWeiQuanOrderInfo> refunds = Download(download, At(1, 0), At(1, 6));
    QStringList ids;
    for (const TWeiQuanOrderInfo& refund : refunds)
        ids << refund.tbTradeId + u'/' + refund.tbTradeParentId;
    // Delivered or not: what was delivered is the delivery step's to leave out.
    EXPECT_EQ(ids, QStringList({u"C1/P1"_s, u"C2/P2"_s, u"C3/P3"_s, u"C6/P6"_s, u"C7/P7"_s, u"/P9"_s}));
}

struct TRefusalCase {
    const char* name;
    int code;
    const char* subCode;
    bool permission;
};

class RefundRefusal : public RefundApi, public ::testing::WithParamInterface<TRefusalCase> { };

// A refusal that every later request would meet ends the download after one request.
TEST_P(RefundRefusal, EndsTheDownloadAtTheFirstRequest)
{
    Serve([](const TFields&) { return ErrorReply(GetParam().code, GetParam().subCode); });
    TTopRefundOrders download(QStringLiteral("token"));
    const std::vector<TWeiQuanOrderInfo> refunds = Download(download, At(1, 0), At(5, 0));
    EXPECT_TRUE(refunds.empty());
    EXPECT_EQ(Forms().size(), 1u);
    EXPECT_EQ(download.permissionRefused(), GetParam().permission);
    EXPECT_TRUE(download.failure().contains(QString::number(GetParam().code))) << download.failure().toStdString();
}

INSTANTIATE_TEST_SUITE_P(Refusals, RefundRefusal,
    ::testing::Values(TRefusalCase {"AppNotGranted", 11, "isv.permission-api-package-limit", true},
        TRefusalCase {"UserNotGranted", 12, "isv.user-permission", true},
        TRefusalCase {"SessionExpired", 27, "invalid-sessionkey", false},
        TRefusalCase {"SessionRevoked", 26, "session-not-exist", false}),
    [](const auto& AInfo) { return std::string(AInfo.param.name); });

TEST_F(RefundApi, OtherRefusalFailsItsSliceAndTheNextSliceIsRead)
{
    Serve([](const TFields& AForm) {
        return OptionValue(AForm, u"start_time") == "2026-12-01 00:00:00" ? ErrorReply(41, "isv.invalid-parameter")
                                                                          : Page(Record("C2", "P2"), false);
    });
    TTopRefundOrders download(QStringLiteral("token"));
    const std::vector<TWeiQuanOrderInfo> refunds = Download(download, At(1, 0), At(2, 6));
    EXPECT_EQ(Forms().size(), 2u);
    ASSERT_EQ(refunds.size(), 1u);
    EXPECT_FALSE(download.failure().isEmpty());
    EXPECT_FALSE(download.permissionRefused());
}

// The call budget as the order download has it: a ban is waited out and the page asked again, a spent quota
// stops every request of the app until the gateway's day ends.
TEST_F(RefundApi, BanIsWaitedOutAndSpentQuotaStopsTheDownload)
{
    std::atomic<int> calls {0};
    Serve([&calls](const TFields&) {
        const int call = ++calls;
        if (call == 1)
            return ErrorReply(7, "accesscontrol.limited-by-api-access-count", "This ban will last for 3 more seconds");
        if (call == 2)
            return Page(Record("C1", "P1"), false);
        return ErrorReply(7, "accesscontrol.limited-by-app-access-count");
    });
    TTopRefundOrders download(QStringLiteral("token"));
    const std::vector<TWeiQuanOrderInfo> refunds = Download(download, At(1, 0), At(4, 0));
    EXPECT_EQ(refunds.size(), 1u);
    EXPECT_GE(FClock.WaitedMs(), 4000);
    EXPECT_EQ(Forms().size(), 3u);
    EXPECT_GT(FGate.QuotaSpentUntil(), FClock.NowMs());
    EXPECT_TRUE(download.failure().contains(QStringLiteral("调用次数已用完"))) << download.failure().toStdString();

    TTopRefundOrders next(QStringLiteral("token"));
    Download(next, At(1, 0), At(2, 0));
    EXPECT_EQ(Forms().size(), 3u);
}

TEST_F(RefundApi, WithoutTokenNothingIsAsked)
{
    TTopRefundOrders download(QStringLiteral("  "));
    EXPECT_TRUE(Download(download, At(1, 0), At(2, 0)).empty());
    EXPECT_EQ(Forms().size(), 0u);
    EXPECT_FALSE(download.failure().isEmpty());
}

// A stop that comes while a page is asked ends the download before the next request, without a failure; what was
// read stays. (The page under way may or may not be read, as the stop reaches the exchange.)
TEST_F(RefundApi, StopBetweenPagesEndsTheDownload)
{
    std::atomic<bool> stop {false};
    std::atomic<int> calls {0};
    Serve([&stop, &calls](const TFields&) {
        if (++calls == 1)
            return Page(Record("C1", "P1"), true, "p1");
        stop = true;
        return Page(Record("C2", "P2"), true, "p2");
    });
    TTopRefundOrders download(QStringLiteral("token"), [&stop] { return stop.load(); });
    const std::vector<TWeiQuanOrderInfo> refunds = Download(download, At(1, 0), At(9, 0));
    EXPECT_EQ(Forms().size(), 2u);
    ASSERT_FALSE(refunds.empty());
    EXPECT_LE(refunds.size(), 2u);
    EXPECT_EQ(refunds[0].tbTradeId, QStringLiteral("C1"));
    EXPECT_TRUE(download.failure().isEmpty());
}

// A request the gateway holds is cut by the stop check, not left to its time-out.
TEST_F(RefundApi, StopEndsARequestTheGatewayHolds)
{
    std::atomic<bool> stop {false};
    std::atomic<bool> held {false};
    Serve([&stop, &held](const TFields&) {
        held = true;
        WaitForCondition([&stop] { return stop.load(); }, std::chrono::seconds(30));
        return Page("", false);
    });
    TTopRefundOrders download(QStringLiteral("token"), [&stop] { return stop.load(); });
    download.setTimeoutMs(60000);
    std::thread stopper([&] {
        WaitForCondition([&held] { return held.load(); }, std::chrono::seconds(30));
        stop = true;
    });
    Download(download, At(1, 0), At(9, 0));
    stopper.join();
    EXPECT_EQ(Forms().size(), 1u);
    EXPECT_TRUE(download.failure().isEmpty());
}

TEST(RefundSourceSetting, ParsesTheThreeSourcesAndFallsBackToTheReport)
{
    const std::vector<std::pair<QString, TRefundSource>> cases {{QStringLiteral("report"), TRefundSource::Report},
        {QStringLiteral("api"), TRefundSource::Api}, {QStringLiteral(" AUTO "), TRefundSource::Auto},
        {QStringLiteral("Api"), TRefundSource::Api}, {QString(), TRefundSource::Report},
        {QStringLiteral("browser"), TRefundSource::Report}};
    for (const auto& [text, source] : cases)
        EXPECT_EQ(ParseRefundSource(text), source) << text.toStdString();
}

// Read from the file at every call: an edit counts from the next refund run.
TEST(RefundSourceSetting, AnEditOfTheFileCountsWithoutARestart)
{
    QTemporaryDir folder;
    const auto write = [&folder](const QByteArray& AText) {
        QFile ini(folder.filePath(QStringLiteral("conf.ini")));
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ini.write(AText);
    };
    write("[setting]\nsyncysh=1\n");
    const TCommon common(folder.path());
    EXPECT_EQ(common.refundSource(), TRefundSource::Report);
    write("[setting]\nsyncysh=1\nrefundSource=api\n");
    EXPECT_EQ(common.refundSource(), TRefundSource::Api);
    write("[setting]\nrefundSource=auto\n");
    EXPECT_EQ(common.refundSource(), TRefundSource::Auto);
}

} // namespace
