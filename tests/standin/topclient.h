#pragma once

// Requests to the stand-in TOP gateway written the way a client of the real gateway writes them: system
// parameters, Beijing times, the sign last.

#include "standin/signatures.h"
#include "standinclient.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <string>
#include <vector>

inline constexpr const char* kOrderMethod = "taobao.tbk.sc.order.details.get";
inline constexpr const char* kRefundMethod = "taobao.tbk.sc.order.refund.get";

// The current Beijing time as the "timestamp" system parameter wants it, shifted by AOffsetS.
inline std::string BeijingNowText(qint64 AOffsetS = 0)
{
    return TStandInFixture::BeijingClockText(QDateTime::currentSecsSinceEpoch() + AOffsetS);
}

// The system parameters, AApi, the timestamp (none when ATimestamp is empty) and the sign.
inline TFormFields SignedTopForm(const std::string& ASession, const char* AMethod, const TFormFields& AApi,
    const std::string& ATimestamp = BeijingNowText())
{
    TFormFields fields {{"v", "2.0"}, {"sign_method", "md5"}, {"format", "json"}, {"app_key", kTopAppKey},
        {"session", ASession}, {"method", AMethod}};
    fields.insert(fields.end(), AApi.begin(), AApi.end());
    if (!ATimestamp.empty())
        fields.emplace_back("timestamp", ATimestamp);
    fields.emplace_back("sign", TopSign(fields, kTopAppSecret));
    return fields;
}

// An order-method request for [AStart, AEnd), query type 1 unless AApi says otherwise.
inline TFormFields TopForm(const std::string& ASession, qint64 AStart, qint64 AEnd, const TFormFields& AApi)
{
    TFormFields api;
    if (!HasField(AApi, "query_type"))
        api.emplace_back("query_type", "1");
    api.insert(api.end(), AApi.begin(), AApi.end());
    api.emplace_back("order_scene", "1");
    api.emplace_back("start_time", TStandInFixture::BeijingClockText(AStart));
    api.emplace_back("end_time", TStandInFixture::BeijingClockText(AEnd));
    return SignedTopForm(ASession, kOrderMethod, api);
}

struct TTopPage {
    std::vector<QJsonObject> orders;
    bool hasNext = false;
    std::string position;
    QJsonObject data;
    QJsonObject error;
    std::string body; // the reply as it came
};

inline TTopPage TopCall(int APort, const TFormFields& AFields)
{
    const httplib::Result result = TStandInFixture::PostForm(APort, "/router/rest", AFields);
    TTopPage page;
    page.body = result ? result->body : std::string();
    const QJsonObject reply = TStandInFixture::Json(result);
    page.error = reply[QStringLiteral("error_response")].toObject();
    const QJsonObject data
        = reply[QStringLiteral("tbk_sc_order_details_get_response")][QStringLiteral("data")].toObject();
    page.data = data;
    page.hasNext = data[QStringLiteral("has_next")].toBool();
    page.position = data[QStringLiteral("position_index")].toString().toStdString();
    for (const QJsonValue& order : data[QStringLiteral("results")][QStringLiteral("publisher_order_dto")].toArray())
        page.orders.push_back(order.toObject());
    return page;
}

// The documented refund query: one JSON object, numbers written as numbers.
inline QJsonObject RefundOption(qint64 AStart, qint64 AEnd, int APageNo = 1, int APageSize = 100)
{
    return QJsonObject {{QStringLiteral("page_size"), APageSize}, {QStringLiteral("page_no"), APageNo},
        {QStringLiteral("jump_type"), 1}, {QStringLiteral("query_type"), 1}, {QStringLiteral("order_scene"), 1},
        {QStringLiteral("member_type"), 4},
        {QStringLiteral("start_time"), QString::fromStdString(TStandInFixture::BeijingClockText(AStart))},
        {QStringLiteral("end_time"), QString::fromStdString(TStandInFixture::BeijingClockText(AEnd))}};
}

inline TFormFields RefundForm(const std::string& ASession, const QJsonObject& AOption)
{
    return SignedTopForm(ASession, kRefundMethod,
        {{"publisher_refund_order_query_option", QJsonDocument(AOption).toJson(QJsonDocument::Compact).toStdString()}});
}

// The reply's "tbk_sc_order_refund_get_response", or its "error_response".
struct TRefundReply {
    QJsonObject response;
    QJsonObject error;
    std::string body;

    QJsonObject Data() const { return response[QStringLiteral("data")].toObject(); }
    QJsonArray Records() const
    {
        return Data()[QStringLiteral("result")][QStringLiteral("publisher_refund_order_d_t_o")].toArray();
    }
};

inline TRefundReply RefundCall(int APort, const TFormFields& AFields)
{
    const httplib::Result result = TStandInFixture::PostForm(APort, "/router/rest", AFields);
    TRefundReply reply;
    reply.body = result ? result->body : std::string();
    const QJsonObject json = TStandInFixture::Json(result);
    reply.response = json[QStringLiteral("tbk_sc_order_refund_get_response")].toObject();
    reply.error = json[QStringLiteral("error_response")].toObject();
    return reply;
}
