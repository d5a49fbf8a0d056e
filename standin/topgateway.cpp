#include "standin/topgateway.h"

#include "standin/beijing.h"
#include "standin/signatures.h"
#include "standin/topqueries.h"
#include "standin/toprecords.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QString>

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace {

constexpr const char* kOrderMethod = "taobao.tbk.sc.order.details.get";
constexpr const char* kRefundMethod = "taobao.tbk.sc.order.refund.get";
constexpr const char* kRemoteError = "Remote service error";

QString Text(const std::string& AText)
{
    return QString::fromStdString(AText);
}

// "a,b,c" or "all".
bool Listed(const std::string& AList, const std::string& AUserId)
{
    if (AList == "all")
        return true;
    size_t from = 0;
    while (from <= AList.size()) {
        const size_t cut = std::min(AList.find(',', from), AList.size());
        if (AList.substr(from, cut - from) == AUserId)
            return true;
        from = cut + 1;
    }
    return false;
}

std::string WindowTooLongText(long long AWindowS)
{
    return "亲，订单开始时间至订单结束时间的时间段是" + std::to_string((std::max(0LL, AWindowS) + 59) / 60)
        + "分钟，时间段日常要求不超过3个小时，但如618、双11、年货节等大促期间预估时间段不可超过20分钟，超过会提示错误，"
          "调用时请务必注意时间段的选择，以保证亲能正常调用！";
}

const char* RefundBizErrorText(int ACode)
{
    switch (ACode) {
    case 101:
        return "开始时间不能为空";
    case 102:
        return "查询时间跨度不能超过1天";
    default:
        return "系统繁忙，请稍后重试";
    }
}

} // namespace

TTopGateway::TTopGateway(const TDemoData& AData, TStandInLedger& ALedger, TStandInClock AClock)
    : FData(AData)
    , FLedger(ALedger)
    , FClock(std::move(AClock))
{
}

void TTopGateway::Register(TTestServer& AServer, TFaultInjector& AFaults)
{
    AServer.Post("/router/rest",
        AFaults.Guard(
            TStandInHost::Top, [this](const httplib::Request& req, httplib::Response& res) { Rest(req, res); }));
}

void TTopGateway::SetCallLimit(int APerSecond)
{
    const std::scoped_lock lock(FMutex);
    FCallLimit = std::max(0, APerSecond);
}

int TTopGateway::CallLimit() const
{
    const std::scoped_lock lock(FMutex);
    return FCallLimit;
}

void TTopGateway::SetBan(int AAfterRequests, int ASeconds)
{
    const std::scoped_lock lock(FMutex);
    FBanAfter = ASeconds > 0 ? std::max(0, AAfterRequests) : -1;
    FBanSeconds = std::max(0, ASeconds);
    FBanUntil = 0;
}

void TTopGateway::SetDailyQuota(int ARequests)
{
    const std::scoped_lock lock(FMutex);
    FDailyQuota = std::max(0, ARequests);
    FQuotaUsed = 0;
}

void TTopGateway::SetTransientErrors(int ACount)
{
    const std::scoped_lock lock(FMutex);
    FTransientErrors = std::max(0, ACount);
}

void TTopGateway::SetRefusedAccounts(std::set<std::string> AUserIds)
{
    SetOrderError(TTopOrderError::InvalidSession, std::move(AUserIds));
}

void TTopGateway::SetOrderError(TTopOrderError AError, std::set<std::string> AUserIds)
{
    const std::scoped_lock lock(FMutex);
    if (AUserIds.empty())
        FOrderErrors.erase(AError);
    else
        FOrderErrors[AError] = std::move(AUserIds);
}

std::optional<TTopOrderError> TTopGateway::OrderErrorOfCode(int ACode)
{
    for (const TTopOrderError error :
        {TTopOrderError::InvalidSession, TTopOrderError::NoPermission, TTopOrderError::WindowTooLong,
            TTopOrderError::Busy, TTopOrderError::AccountRateLimit, TTopOrderError::AccountFlowLimit}) {
        if (static_cast<int>(error) == ACode)
            return error;
    }
    return std::nullopt;
}

bool TTopGateway::ParseOrderErrorSwitch(const std::string& AText, TTopOrderError& AError, std::set<std::string>& AIds)
{
    const size_t cut = AText.find('=');
    const std::optional<long long> code = ParseWholeNumber(AText.substr(0, cut));
    const std::optional<TTopOrderError> error = code ? OrderErrorOfCode(static_cast<int>(*code)) : std::nullopt;
    if (cut == std::string::npos || !error)
        return false;
    AError = *error;
    AIds.clear();
    for (const QString& id : Text(AText.substr(cut + 1)).split(u',', Qt::SkipEmptyParts))
        AIds.insert(id.trimmed().toStdString());
    return true;
}

bool TTopGateway::ParseRefundBizErrorSwitch(const std::string& AText, int& ACode, std::string& AUserIds)
{
    if (AText.empty() || AText == "none" || AText == "0") {
        ACode = 0;
        AUserIds.clear();
        return true;
    }
    const size_t cut = AText.find(':');
    const std::optional<long long> code = ParseWholeNumber(AText.substr(0, cut));
    if (!code || *code < 101 || *code > 103)
        return false;
    ACode = static_cast<int>(*code);
    AUserIds = cut == std::string::npos ? std::string("all") : AText.substr(cut + 1);
    return !AUserIds.empty();
}

void TTopGateway::SetClockSkew(long long ASeconds)
{
    const std::scoped_lock lock(FMutex);
    FClockSkewS = ASeconds;
}

long long TTopGateway::ClockSkew() const
{
    const std::scoped_lock lock(FMutex);
    return FClockSkewS;
}

long long TTopGateway::CallsOf(int AAccount) const
{
    const std::scoped_lock lock(FMutex);
    const auto found = FCallsByAccount.find(AAccount);
    return found == FCallsByAccount.end() ? 0 : found->second;
}

void TTopGateway::SetRefundRefused(const std::string& AUserIds)
{
    const std::scoped_lock lock(FMutex);
    FRefundRefused = AUserIds;
}

std::string TTopGateway::RefundRefused() const
{
    const std::scoped_lock lock(FMutex);
    return FRefundRefused;
}

void TTopGateway::SetRefundBizError(int ACode, const std::string& AUserIds)
{
    const std::scoped_lock lock(FMutex);
    FRefundBizError = ACode >= 101 && ACode <= 103 ? ACode : 0;
    FRefundBizErrorAccounts = FRefundBizError == 0 ? std::string() : (AUserIds.empty() ? std::string("all") : AUserIds);
}

bool TTopGateway::RefundRefusedFor(const TDemoAccount& AAccount) const
{
    return Listed(RefundRefused(), AAccount.userId);
}

int TTopGateway::RefundBizErrorFor(const TDemoAccount& AAccount) const
{
    const std::scoped_lock lock(FMutex);
    return FRefundBizError != 0 && Listed(FRefundBizErrorAccounts, AAccount.userId) ? FRefundBizError : 0;
}

std::optional<TTopOrderError> TTopGateway::OrderErrorFor(const TDemoAccount& AAccount) const
{
    const std::scoped_lock lock(FMutex);
    // A revoked session goes before every other refusal.
    std::optional<TTopOrderError> found;
    for (const auto& [error, ids] : FOrderErrors) {
        if ((ids.count(AAccount.userId) != 0 || ids.count("all") != 0)
            && (!found || error == TTopOrderError::InvalidSession))
            found = error;
    }
    return found;
}

std::string TTopGateway::NextRequestId()
{
    const std::scoped_lock lock(FMutex);
    return "standin" + std::to_string(++FRequestSerial);
}

bool TTopGateway::Refused(httplib::Response& ARes)
{
    const qint64 now = FClock();
    std::string banText;
    std::string quotaText;
    bool transient = false;
    {
        const std::scoped_lock lock(FMutex);
        if (FBanAfter == 0) {
            FBanUntil = now + FBanSeconds;
            FBanAfter = -1;
        } else if (FBanAfter > 0) {
            --FBanAfter;
        }
        if (now < FBanUntil) {
            banText = "This ban will last for " + std::to_string(FBanUntil - now) + " more seconds";
        } else if (FDailyQuota > 0) {
            const qint64 day = (now + kBeijingOffsetS) / 86400;
            if (day != FQuotaDay) {
                FQuotaDay = day;
                FQuotaUsed = 0;
            }
            if (FQuotaUsed >= FDailyQuota)
                quotaText = "This ban will last for " + std::to_string((day + 1) * 86400 - kBeijingOffsetS - now)
                    + " more seconds";
            else
                ++FQuotaUsed;
        }
        if (banText.empty() && quotaText.empty() && FTransientErrors > 0) {
            --FTransientErrors;
            transient = true;
        }
    }
    if (!banText.empty())
        Error(ARes, 7, "App Call Limited", "accesscontrol.limited-by-api-access-count", banText);
    else if (!quotaText.empty())
        Error(ARes, 7, "App Call Limited", "accesscontrol.limited-by-app-access-count", quotaText);
    else if (transient)
        Error(ARes, 15, kRemoteError, "isp.top-remote-connection-timeout", "连接超时");
    return !banText.empty() || !quotaText.empty() || transient;
}

bool TTopGateway::OverCallLimit()
{
    const long long second = QDateTime::currentSecsSinceEpoch();
    const std::scoped_lock lock(FMutex);
    if (second != FLimitSecond) {
        FLimitSecond = second;
        FCallsThisSecond = 0;
    }
    ++FCallsThisSecond;
    const bool over = FCallLimit > 0 && FCallsThisSecond > FCallLimit;
    FCallLimited += over;
    return over;
}

void TTopGateway::Send(httplib::Response& ARes, const char* AResponse, QJsonObject ABody)
{
    ABody.insert(QStringLiteral("request_id"), Text(NextRequestId()));
    ARes.status = 200;
    ARes.set_content(
        TopGatewayJson(QJsonObject {{QString::fromLatin1(AResponse), ABody}}), "application/json;charset=UTF-8");
}

void TTopGateway::Error(
    httplib::Response& ARes, int ACode, const char* AMsg, const std::string& ASubCode, const std::string& ASubMsg)
{
    {
        const std::scoped_lock lock(FMutex);
        ++FErrors;
    }
    QJsonObject error {{QStringLiteral("code"), ACode}, {QStringLiteral("msg"), QString::fromUtf8(AMsg)}};
    if (!ASubCode.empty())
        error.insert(QStringLiteral("sub_code"), Text(ASubCode));
    if (!ASubMsg.empty())
        error.insert(QStringLiteral("sub_msg"), Text(ASubMsg));
    Send(ARes, "error_response", error);
}

void TTopGateway::OrderError(httplib::Response& ARes, TTopOrderError AError, long long AWindowS)
{
    switch (AError) {
    case TTopOrderError::InvalidSession:
        return Error(ARes, 27, "Invalid session", "invalid-sessionkey");
    case TTopOrderError::NoPermission:
        return Error(
            ARes, 11, "Insufficient isv permissions", "isv.permission-api-package-limit", "scope ids is 11655 381");
    case TTopOrderError::WindowTooLong:
        return Error(ARes, 15, kRemoteError, "2007", WindowTooLongText(AWindowS));
    case TTopOrderError::Busy:
        return Error(ARes, 15, kRemoteError, "3001", "服务繁忙，请稍后重试");
    case TTopOrderError::AccountRateLimit:
        return Error(ARes, 15, kRemoteError, "3000", "您的账号访问过于频繁，已触发限流，请稍后再试");
    case TTopOrderError::AccountFlowLimit:
        return Error(ARes, 15, kRemoteError, "9100",
            "您的账号因调用不符合要求，当前触发限流。为保障广大推广者正常使用系统，会有账号维度的限流机制：通过API、"
            "淘宝客PC后台、联盟APP或使用第三方工具获取数据，同账号会统一限流。同一个账号1秒总请求次数约200次，其中调用"
            "API约40次，超过或接近临界值，会触发限流。建议您逐一排查各个渠道的总调用量，降低调用频次。");
    }
}

void TTopGateway::CountCall()
{
    const long long second = QDateTime::currentSecsSinceEpoch();
    const std::scoped_lock lock(FMutex);
    ++FCalls;
    if (second != FBusiestSecond) {
        FBusiestSecond = second;
        FCallsInSecond = 0;
    }
    FPeakCallsPerSecond = std::max(FPeakCallsPerSecond, ++FCallsInSecond);
}

bool TTopGateway::SystemParametersHold(const TFormFields& AFields, httplib::Response& ARes)
{
    const auto field = [&](const char* AName) { return FieldValue(AFields, AName); };
    if (field("app_key") != kTopAppKey) {
        Error(ARes, 29, "Invalid app Key");
        return false;
    }
    if (field("sign_method") != "md5" || field("sign").empty() || field("sign") != TopSign(AFields, kTopAppSecret)) {
        Error(ARes, 25, "Invalid signature");
        return false;
    }
    // Beijing time, whatever the zone of either machine, within ten minutes of the gateway's own clock.
    const std::string timestamp = field("timestamp");
    const std::optional<qint64> stamp = ParseBeijingTime(timestamp);
    const qint64 now = QDateTime::currentSecsSinceEpoch() + ClockSkew();
    if (timestamp.empty()) {
        Error(ARes, 30, "Missing timestamp", {}, "缺少时间戳参数");
        return false;
    }
    if (!stamp || std::llabs(*stamp - now) > kTimestampToleranceS) {
        Error(ARes, 31, "Invalid timestamp", {}, "非法的时间戳参数");
        return false;
    }
    if (field("method") != kOrderMethod && field("method") != kRefundMethod) {
        Error(ARes, 22, "Invalid method");
        return false;
    }
    return true;
}

bool TTopGateway::RefusedForAccount(
    const TDemoAccount& AAccount, const std::string& AMethod, const TFormFields& AFields, httplib::Response& ARes)
{
    const std::optional<TTopOrderError> error = OrderErrorFor(AAccount);
    if (!error || (*error != TTopOrderError::InvalidSession && AMethod != kOrderMethod))
        return false;
    const std::optional<qint64> start = ParseBeijingTime(FieldValue(AFields, "start_time"));
    const std::optional<qint64> end = ParseBeijingTime(FieldValue(AFields, "end_time"));
    OrderError(ARes, *error, start && end ? *end - *start : 0);
    return true;
}

void TTopGateway::Rest(const httplib::Request& AReq, httplib::Response& ARes)
{
    CountCall();
    const TFormFields fields = DecodeForm(AReq.body);
    if (!SystemParametersHold(fields, ARes))
        return;
    const std::string session = FieldValue(fields, "session");
    if (session.empty())
        return Error(ARes, 26, "Missing session");
    const TDemoAccount* account = FData.AccountByToken(session);
    if (account == nullptr)
        return Error(ARes, 27, "Invalid session", "invalid-sessionkey");
    {
        const std::scoped_lock lock(FMutex);
        ++FCallsByAccount[account->index];
    }
    const std::string method = FieldValue(fields, "method");
    if (RefusedForAccount(*account, method, fields, ARes) || Refused(ARes))
        return;
    if (OverCallLimit())
        return Error(ARes, 7, "App Call Limited", "accesscontrol.limited-by-api-access-count",
            "This ban will last for 1 more seconds");
    if (method == kRefundMethod)
        return Refunds(fields, *account, ARes);
    Orders(fields, *account, ARes);
}

void TTopGateway::ParameterError(httplib::Response& ARes, int ACode, const std::string& AName)
{
    if (ACode == 40)
        return Error(ARes, 40, ("Missing required arguments:" + AName).c_str(), "isv.missing-parameter:" + AName);
    Error(ARes, 41, ("Invalid arguments:" + AName).c_str(), "isv.invalid-parameter:" + AName);
}

void TTopGateway::Orders(const TFormFields& AFields, const TDemoAccount& AAccount, httplib::Response& ARes)
{
    TTopOrderQuery query;
    if (const std::optional<TTopParameterProblem> problem = ReadTopOrderQuery(AFields, query))
        return ParameterError(ARes, problem->code, problem->name);
    if (query.end - query.start > kLongestWindowS)
        return OrderError(ARes, TTopOrderError::WindowTooLong, query.end - query.start);
    const qint64 now = FClock();
    const std::vector<TTopOrderEntry> matching = MatchingOrders(FData, AAccount.index, query, now);
    const auto [first, last] = TopPageBounds(matching, query.pageNo, query.pageSize, query.position);
    QJsonArray orders;
    for (size_t i = first; i < last; ++i) {
        const TDemoOrder& order = matching[i].order;
        const int shown = order.StatusAt(now);
        orders.append(TopOrderRecord(order, shown, now, AAccount));
        FLedger.ServedOrder({order.parentId, order.tradeId}, shown);
    }
    const std::string position = last > first
        ? TopCursor(matching[last - 1].key, matching[last - 1].order.tradeId, query.end)
        : query.position;
    QJsonObject data {{QStringLiteral("has_next"), last < matching.size()}, {QStringLiteral("page_no"), query.pageNo},
        {QStringLiteral("page_size"), query.pageSize},
        {QStringLiteral("results"), TopList("publisher_order_dto", orders)}};
    if (!position.empty())
        data.insert(QStringLiteral("position_index"), Text(position));
    {
        const std::scoped_lock lock(FMutex);
        ++FPages;
    }
    Send(ARes, "tbk_sc_order_details_get_response", QJsonObject {{QStringLiteral("data"), data}});
}

void TTopGateway::RefundBizError(httplib::Response& ARes, int ACode, const std::string& ADesc)
{
    {
        const std::scoped_lock lock(FMutex);
        ++FErrors;
    }
    Send(ARes, "tbk_sc_order_refund_get_response",
        QJsonObject {{QStringLiteral("result_code"), ACode == 103 ? 500 : 400},
            {QStringLiteral("result_msg"), Text(ADesc)}, {QStringLiteral("biz_error_code"), ACode},
            {QStringLiteral("biz_error_desc"), Text(ADesc)}});
}

// The demo refunds that the report serves, by the query type's time and the promoter's role.
void TTopGateway::Refunds(const TFormFields& AFields, const TDemoAccount& AAccount, httplib::Response& ARes)
{
    if (RefundRefusedFor(AAccount))
        return Error(
            ARes, 11, "Insufficient isv permissions", "isv.permission-api-package-limit", "scope ids is 27823 27950");
    const std::string optionText = FieldValue(AFields, kRefundOption);
    if (optionText.empty())
        return ParameterError(ARes, 40, kRefundOption);
    const QJsonDocument option = QJsonDocument::fromJson(QByteArray::fromStdString(optionText));
    if (!option.isObject())
        return ParameterError(ARes, 41, kRefundOption);
    if (const int code = RefundBizErrorFor(AAccount); code != 0)
        return RefundBizError(ARes, code, RefundBizErrorText(code));
    TTopRefundQuery query;
    if (const std::optional<TTopBizError> problem = ReadTopRefundQuery(option.object(), kLongestRefundWindowS, query))
        return RefundBizError(ARes, problem->code, problem->desc);
    const qint64 now = FClock();
    const std::vector<TTopRefundEntry> matching = MatchingRefunds(FData, AAccount.index, query, now);
    const auto [first, last] = TopPageBounds(matching, query.pageNo, query.pageSize, query.position);
    QJsonArray records;
    for (size_t i = first; i < last; ++i) {
        const TDemoRefund& refund = matching[i].refund;
        records.append(TopRefundRecord(refund, now));
        if (refund.StatusAt(now) == "维权成功")
            FLedger.ServedRefund({refund.parentId, refund.tradeId});
    }
    const std::string position = last > first
        ? TopCursor(matching[last - 1].key, matching[last - 1].refund.tradeId, query.end)
        : query.position;
    QJsonObject data {{QStringLiteral("has_next"), last < matching.size()},
        {QStringLiteral("page_no"), std::max(1LL, query.pageNo)}, {QStringLiteral("page_size"), query.pageSize},
        {QStringLiteral("result"), TopList("publisher_refund_order_d_t_o", records)}};
    if (!position.empty())
        data.insert(QStringLiteral("position_index"), Text(position));
    {
        const std::scoped_lock lock(FMutex);
        ++FRefundPages;
    }
    Send(ARes, "tbk_sc_order_refund_get_response",
        QJsonObject {{QStringLiteral("data"), data}, {QStringLiteral("result_code"), 200},
            {QStringLiteral("result_msg"), QStringLiteral("success")}});
}

QJsonObject TTopGateway::Counters() const
{
    const std::scoped_lock lock(FMutex);
    QJsonObject orderErrors;
    for (const auto& [error, ids] : FOrderErrors) {
        QJsonArray list;
        for (const std::string& id : ids)
            list.append(Text(id));
        orderErrors.insert(QString::number(static_cast<int>(error)), list);
    }
    return QJsonObject {{QStringLiteral("calls"), FCalls}, {QStringLiteral("pages"), FPages},
        {QStringLiteral("errors"), FErrors}, {QStringLiteral("callLimit"), FCallLimit},
        {QStringLiteral("callLimited"), FCallLimited}, {QStringLiteral("peakCallsPerSecond"), FPeakCallsPerSecond},
        {QStringLiteral("dailyQuota"), FDailyQuota}, {QStringLiteral("quotaUsed"), FQuotaUsed},
        {QStringLiteral("banUntil"), FBanUntil}, {QStringLiteral("transientErrors"), FTransientErrors},
        {QStringLiteral("refundPages"), FRefundPages}, {QStringLiteral("refundRefused"), Text(FRefundRefused)},
        {QStringLiteral("refundBizError"), FRefundBizError},
        {QStringLiteral("refundBizErrorAccounts"), Text(FRefundBizErrorAccounts)},
        {QStringLiteral("orderErrors"), orderErrors}, {QStringLiteral("clockSkewS"), FClockSkewS}};
}
