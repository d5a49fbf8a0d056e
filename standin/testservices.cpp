#include "standin/testservices.h"

#include "standin/beijing.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

std::string Ok(const std::string& AData = "null")
{
    return R"({"code":200,"msg":"ok","time":1,"data":)" + AData + "}";
}

// An empty list is an empty object, as the gateway writes it.
std::string OrderPage(const std::string& AOrders)
{
    const std::string results = AOrders.empty() ? "{}" : R"({"publisher_order_dto":[)" + AOrders + "]}";
    return R"({"tbk_sc_order_details_get_response":{"data":{"has_next":false,"results":)" + results + "}}}";
}

std::string RefundPage(const std::string& ARecords)
{
    const std::string result = ARecords.empty() ? "{}" : R"({"publisher_refund_order_d_t_o":[)" + ARecords + "]}";
    return R"({"tbk_sc_order_refund_get_response":{"data":{"has_next":false,"result":)" + result
        + R"(},"result_code":200,"result_msg":"success"}})";
}

// Within the last ten minutes of Beijing time, the zone of every time the gateway reads.
bool Recent(const std::string& ABeijingTime)
{
    return ABeijingTime >= BeijingText(QDateTime::currentSecsSinceEpoch() - 600);
}

} // namespace

TStandInServices::TStandInServices()
{
    FOperator.Post("/client/dbmove/login", [this](const httplib::Request&, httplib::Response& res) {
        const std::scoped_lock lock(FMutex);
        res.set_content(FLoginReply, "application/json");
    });
    FOperator.Post("/client/alimmtoken/getSyncOrderToken", [this](const httplib::Request&, httplib::Response& res) {
        std::function<void()> before;
        std::string list;
        std::string reply;
        {
            const std::scoped_lock lock(FMutex);
            before = FBeforeAccountList;
            reply = FAccountListReply;
            for (const TTestAccount& account : FAccounts) {
                list += list.empty() ? "" : ",";
                list += R"({"userId":")" + account.userId + R"(","userName":")" + account.userName
                    + R"(","authTime":1600000000,"exptime":)" + std::to_string(FTokenExpiry) + R"(,"accessToken":")"
                    + account.token + R"("})";
            }
        }
        if (before)
            before();
        res.set_content(reply.empty() ? Ok("[" + list + "]") : reply, "application/json");
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
    FGateway.Post("/router/rest", [this](const httplib::Request& req, httplib::Response& res) {
        std::function<void()> before;
        {
            const std::scoped_lock lock(FMutex);
            before = FBeforeGatewayPage;
        }
        if (before)
            before();
        TRecordedRequest recorded;
        recorded.body = req.body;
        const TFormFields fields = recorded.FormFields();
        std::function<std::optional<std::string>(const std::string&)> answer;
        {
            const std::scoped_lock lock(FMutex);
            answer = FGatewayAnswer;
        }
        if (answer) {
            if (const std::optional<std::string> text = answer(FieldValue(fields, "session"))) {
                res.set_content(*text, "application/json");
                return;
            }
        }
        {
            const std::scoped_lock lock(FMutex);
            if (FRefusedSessions.count(FieldValue(fields, "session")) != 0) {
                res.set_content(
                    R"({"error_response":{"code":27,"msg":"Invalid session","sub_code":"invalid-sessionkey"}})",
                    "application/json");
                return;
            }
        }
        if (FieldValue(fields, "method") == "taobao.tbk.sc.order.refund.get") {
            // One successful refund per token, in the window's last slice; asked for in the one option parameter.
            const std::string session = FieldValue(fields, "session");
            const std::string option = FieldValue(fields, "publisher_refund_order_query_option");
            if (option.empty()) {
                res.set_content(R"({"error_response":{"code":40,"msg":"Missing required arguments:)"
                                R"(publisher_refund_order_query_option","sub_code":"isv.missing-parameter:)"
                                R"(publisher_refund_order_query_option"}})",
                    "application/json");
                return;
            }
            const QJsonObject query = QJsonDocument::fromJson(QByteArray::fromStdString(option)).object();
            const bool last = Recent(query.value(QStringLiteral("end_time")).toString().toStdString());
            const std::string record = last ? R"({"tb_trade_id":"R-)" + session + R"(","tb_trade_parent_id":"RP-)"
                    + session + R"(","refund_status":2,"refund_fee":"1.00","tk_order_role":"二方"})"
                                            : std::string();
            res.set_content(RefundPage(record), "application/json");
            return;
        }
        std::string orders;
        if (Recent(FieldValue(fields, "end_time"))) {
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

bool TStandInServices::WriteSettings(const QString& AFolder) const
{
    return WriteConfIni(AFolder,
        {{"operatorService", FOperator.HostValue()}, {"operatorIntake", FIntake.HostValue()},
            {"topGateway", FGateway.HostValue()}, {"alimamaPublisher", FPublisher.HostValue()},
            {"alimamaMedia", FMedia.HostValue()}, {"caFile", FCert.CertFile()}},
        {{"syncysh", QStringLiteral("0")}, {"openLarge", QStringLiteral("0")}});
}

void TStandInServices::SetAccounts(std::vector<TTestAccount> AAccounts)
{
    const std::scoped_lock lock(FMutex);
    FAccounts = std::move(AAccounts);
}
