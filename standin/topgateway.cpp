#include "standin/topgateway.h"

#include "standin/beijing.h"
#include "standin/signatures.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QString>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <tuple>
#include <vector>

namespace {

constexpr const char* kOrderMethod = "taobao.tbk.sc.order.details.get";
constexpr const char* kRefundMethod = "taobao.tbk.sc.order.refund.get";
constexpr const char* kRemoteError = "Remote service error";

std::optional<long long> ParseInt(const std::string& AText)
{
    if (AText.empty())
        return std::nullopt;
    char* end = nullptr;
    const long long value = std::strtoll(AText.c_str(), &end, 10);
    return *end == '\0' ? std::optional<long long>(value) : std::nullopt;
}

QString Text(const std::string& AText)
{
    return QString::fromStdString(AText);
}

QString Money(qint64 ACents)
{
    return Text(TDemoData::Money(ACents));
}

QString TimeText(qint64 AUnix)
{
    return Text(BeijingText(AUnix));
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

// The gateway writes JSON with every '/' escaped ("\/"), which Qt never does. A '/' can only stand inside a string
// in JSON text, and "\/" is a valid escape there, so escaping every one keeps the text valid and its meaning.
std::string GatewayJson(const QJsonObject& AReply)
{
    const QByteArray compact = QJsonDocument(AReply).toJson(QJsonDocument::Compact);
    std::string text;
    text.reserve(static_cast<size_t>(compact.size()) + 64);
    for (const char c : compact) {
        if (c == '/')
            text += '\\';
        text += c;
    }
    return text;
}

// The position index of the last record served, in the gateway's "<seconds>_…|<seconds>_…" shape: the record's
// key time and trade id, then the window's end. Clients hand it back unchanged.
std::string Cursor(qint64 AKey, const std::string& ATradeId, qint64 AWindowEnd)
{
    return std::to_string(AKey) + "_" + ATradeId + "|" + std::to_string(AWindowEnd) + "_";
}

struct TCursor {
    qint64 key = 0;
    std::string tradeId;
};

std::optional<TCursor> ReadCursor(const std::string& APosition)
{
    const std::string first = APosition.substr(0, APosition.find('|'));
    const size_t cut = first.find('_');
    if (cut == std::string::npos)
        return std::nullopt;
    const std::optional<long long> key = ParseInt(first.substr(0, cut));
    if (!key)
        return std::nullopt;
    return TCursor {*key, first.substr(cut + 1)};
}

// [first, last) of the page: after the position index when one is given, else by page number. AKeyOf gives an
// entry's (key time, trade id), by which AEntries are sorted.
template <typename TEntry, typename TKeyOf>
std::pair<size_t, size_t> PageBounds(const std::vector<TEntry>& AEntries, long long APageNo, long long APageSize,
    const std::string& APosition, TKeyOf AKeyOf)
{
    size_t first = static_cast<size_t>(std::max(0LL, APageNo - 1) * APageSize);
    if (const std::optional<TCursor> cursor = ReadCursor(APosition)) {
        const auto after = std::upper_bound(AEntries.begin(), AEntries.end(), std::tie(cursor->key, cursor->tradeId),
            [&](const auto& AValue, const TEntry& AEntry) { return AValue < AKeyOf(AEntry); });
        first = static_cast<size_t>(after - AEntries.begin());
    }
    first = std::min(first, AEntries.size());
    return {first, std::min(AEntries.size(), first + static_cast<size_t>(APageSize))};
}

// TOP's JSON form of a list: the items under their type's name inside an object, and an empty object for none.
QJsonObject ListObject(const char* AItemName, const QJsonArray& AItems)
{
    return AItems.isEmpty() ? QJsonObject() : QJsonObject {{QString::fromLatin1(AItemName), AItems}};
}

QString Percent(qint64 AHundredths)
{
    return QString::number(static_cast<double>(AHundredths) / 100.0, 'f', 2);
}

// An order record with the fields, placeholders and nesting of the live gateway's. Amounts, rates and times are
// text; "" or "--" where the value is not known yet; no pay_price before the order is received.
QJsonObject OrderRecord(const TDemoOrder& AOrder, int AShown, qint64 ANow, const TDemoAccount& AAccount)
{
    const bool received = AShown == 3 || AShown == 14;
    const qint64 ratePct = AOrder.payCents > 0 ? AOrder.shareCents * 100 / AOrder.payCents : 0;
    const qint64 techCents = AOrder.shareCents / 10;
    const bool tmall = AOrder.itemId % 2 == 0;
    static const char* const kCategories[] = {"女装", "食品", "家居用品", "数码家电"};
    QJsonObject record {{QStringLiteral("trade_id"), Text(AOrder.tradeId)},
        {QStringLiteral("trade_parent_id"), Text(AOrder.parentId)}, {QStringLiteral("tk_status"), AShown},
        {QStringLiteral("item_id"), Text(AOrder.itemKey)}, {QStringLiteral("item_title"), Text(AOrder.title)},
        {QStringLiteral("item_num"), 1}, {QStringLiteral("item_price"), Money(AOrder.payCents)},
        {QStringLiteral("item_img"),
            QStringLiteral("//img.alicdn.com/bao/uploaded/i%1/O1CN01%2.jpg")
                .arg(AOrder.itemId % 4 + 1)
                .arg(Text(AOrder.itemKey.substr(7, 16)))},
        {QStringLiteral("item_link"),
            QStringLiteral("https://uland.taobao.com/item/edetail?id=") + Text(AOrder.itemKey)},
        {QStringLiteral("item_category_name"), QString::fromUtf8(kCategories[AOrder.itemId % 4])},
        {QStringLiteral("seller_nick"), QStringLiteral("演示卖家%1").arg(AOrder.itemId % 97)},
        {QStringLiteral("seller_shop_title"), QStringLiteral("演示店铺%1").arg(AOrder.itemId % 97)},
        {QStringLiteral("order_type"), tmall ? QStringLiteral("天猫") : QStringLiteral("淘宝")},
        {QStringLiteral("flow_source"), QStringLiteral("--")},
        {QStringLiteral("terminal_type"), QStringLiteral("无线")},
        {QStringLiteral("click_time"), TimeText(AOrder.createTime - 37)},
        {QStringLiteral("tk_create_time"), TimeText(AOrder.createTime)},
        {QStringLiteral("tb_paid_time"), TimeText(AOrder.paidTime)},
        {QStringLiteral("tk_paid_time"), TimeText(AOrder.paidTime)},
        {QStringLiteral("tk_earning_time"), AShown == 3 ? TimeText(AOrder.finalTime) : QString()},
        {QStringLiteral("modified_time"), TimeText(AOrder.ModifiedAt(ANow))},
        {QStringLiteral("tk_deposit_time"), QStringLiteral("--")},
        {QStringLiteral("tb_deposit_time"), QStringLiteral("--")},
        {QStringLiteral("deposit_price"), QStringLiteral("--")},
        {QStringLiteral("alipay_total_price"), Money(AOrder.payCents)},
        {QStringLiteral("pub_share_pre_fee"), Money(AOrder.shareCents)},
        {QStringLiteral("total_commission_rate"), Percent(ratePct * 100)},
        {QStringLiteral("tk_total_rate"), Percent(ratePct * 100)},
        {QStringLiteral("income_rate"), Percent(ratePct * 100)},
        {QStringLiteral("pub_share_rate"), QStringLiteral("100.00")},
        {QStringLiteral("alimama_rate"), QStringLiteral("10.00")},
        {QStringLiteral("alimama_share_fee"), Money(AShown == 13 ? 0 : techCents)},
        {QStringLiteral("total_commission_fee"), Money(AShown == 13 ? 0 : AOrder.shareCents)},
        {QStringLiteral("subsidy_rate"), QStringLiteral("0.00")},
        {QStringLiteral("subsidy_fee"), QStringLiteral("0.00")}, {QStringLiteral("subsidy_type"), QStringLiteral("--")},
        {QStringLiteral("pub_id"), Text(AAccount.memberId).toLongLong()},
        {QStringLiteral("site_id"), 1000000 + AAccount.index},
        {QStringLiteral("site_name"), QStringLiteral("演示媒体")},
        {QStringLiteral("adzone_id"), 110000000000LL + AAccount.index},
        {QStringLiteral("adzone_name"), QStringLiteral("演示推广位")}, {QStringLiteral("tk_order_role"), 2},
        {QStringLiteral("refund_tag"), 0},
        {QStringLiteral("alimm_share_info_dto"),
            QJsonObject {{QStringLiteral("alimm_tech_service_rate"), 10.0},
                {QStringLiteral("alimm_tech_service_pre_fee"), static_cast<double>(techCents) / 100.0},
                {QStringLiteral("alimm_tech_service_fee"), received ? static_cast<double>(techCents) / 100.0 : 0.0}}}};
    if (received)
        record.insert(QStringLiteral("pay_price"), Money(AOrder.payCents));
    // Settled income is known once the order is received; an invalid one shows "0.00", or "--" now and then.
    QString share = Money(0);
    if (received)
        share = Money(AOrder.shareCents);
    else if (AShown == 13 && AOrder.itemId % 3 == 0)
        share = QStringLiteral("--");
    record.insert(QStringLiteral("pub_share_fee"), share);
    return record;
}

QString RoleText(int ARole)
{
    return ARole == 3 ? QStringLiteral("三方") : QStringLiteral("二方");
}

// A refund record as the documentation gives it: ids, times and amounts as text, the status a number (4 opened,
// 2 succeeded, 3 failed), the promoter's role as text.
QJsonObject RefundRecord(const TDemoRefund& ARefund, qint64 ANow)
{
    const bool finished = ARefund.FinishedAt(ANow);
    const bool succeeded = finished && ARefund.finalStatus == "维权成功";
    const qint64 commission = ARefund.returnCents * 9 / 10;
    const qint64 shareCents = ARefund.refundCents > 0 ? ARefund.returnCents * ARefund.totalCents / ARefund.refundCents
                                                      : ARefund.returnCents;
    QJsonObject record {{QStringLiteral("refund_suit_id"), Text(ARefund.suitId)},
        {QStringLiteral("tb_trade_parent_id"), Text(ARefund.parentId)},
        {QStringLiteral("tb_trade_id"), Text(ARefund.tradeId)},
        {QStringLiteral("tb_trade_create_time"), TimeText(ARefund.tradeCreateTime)},
        {QStringLiteral("earning_time"), TimeText(ARefund.earningTime)},
        {QStringLiteral("tk_refund_time"), TimeText(ARefund.createTime)},
        {QStringLiteral("modified_time"), TimeText(finished ? ARefund.finishTime : ARefund.createTime)},
        {QStringLiteral("item_title"), Text(ARefund.title)},
        {QStringLiteral("tk_order_role"), RoleText(ARefund.orderRole)},
        {QStringLiteral("tb_trade_finish_price"), Money(ARefund.totalCents)},
        {QStringLiteral("refund_fee"), Money(ARefund.refundCents)},
        {QStringLiteral("pub_share_fee"), Money(shareCents)},
        {QStringLiteral("tk_commission_fee_refund"), Money(commission)},
        {QStringLiteral("tk_subsidy_fee_refund"), Money(0)},
        {QStringLiteral("tk_commission_alimm_refund_fee"), Money(ARefund.returnCents - commission)},
        {QStringLiteral("tk_subsidy_alimm_refund_fee"), Money(0)},
        {QStringLiteral("tk_commission_agent_refund_fee"), Money(0)},
        {QStringLiteral("tk_subsidy_agent_refund_fee"), Money(0)},
        {QStringLiteral("show_return_fee"), Money(ARefund.returnCents)},
        {QStringLiteral("refund_status"), finished ? (succeeded ? 2 : 3) : 4}, {QStringLiteral("relation_id"), 0},
        {QStringLiteral("special_id"), 0}};
    if (finished)
        record.insert(QStringLiteral("tk_refund_suit_time"), TimeText(ARefund.finishTime));
    return record;
}

// A whole number given as a JSON number or as the text of one.
std::optional<long long> WholeNumber(const QJsonValue& AValue)
{
    if (AValue.isString())
        return ParseInt(AValue.toString().trimmed().toStdString());
    if (!AValue.isDouble())
        return std::nullopt;
    const double value = AValue.toDouble();
    if (value != std::floor(value) || std::fabs(value) > 1e15)
        return std::nullopt;
    return static_cast<long long>(value);
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

struct TTopGateway::TRefundQuery {
    qint64 start = 0;
    qint64 end = 0;
    long long pageSize = 0;
    long long pageNo = 1;
    long long queryType = 0;
    long long memberType = 4;
    std::string position;
};

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
    const std::optional<long long> code = ParseInt(AText.substr(0, cut));
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
    const std::optional<long long> code = ParseInt(AText.substr(0, cut));
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
    FRefundBizErrorAccounts = AUserIds.empty() ? std::string("all") : AUserIds;
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
        GatewayJson(QJsonObject {{QString::fromLatin1(AResponse), ABody}}), "application/json;charset=UTF-8");
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
    const std::optional<qint64> start = ParseBeijingTimeOrDate(FieldValue(AFields, "start_time"));
    const std::optional<qint64> end = ParseBeijingTimeOrDate(FieldValue(AFields, "end_time"));
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

void TTopGateway::Orders(const TFormFields& AFields, const TDemoAccount& AAccount, httplib::Response& ARes)
{
    const auto field = [&](const char* AName) { return FieldValue(AFields, AName); };
    for (const char* required : {"start_time", "end_time"}) {
        if (field(required).empty())
            return Error(ARes, 40, ("Missing required arguments:" + std::string(required)).c_str(),
                "isv.missing-parameter:" + std::string(required));
    }
    const std::optional<qint64> start = ParseBeijingTimeOrDate(field("start_time"));
    const std::optional<qint64> end = ParseBeijingTimeOrDate(field("end_time"));
    const std::optional<long long> pageSize = field("page_size").empty() ? 20 : ParseInt(field("page_size"));
    const std::optional<long long> pageNo = field("page_no").empty() ? 1 : ParseInt(field("page_no"));
    const std::optional<long long> queryType = field("query_type").empty() ? 1 : ParseInt(field("query_type"));
    const std::optional<long long> status = field("tk_status").empty() ? 0 : ParseInt(field("tk_status"));
    const std::optional<long long> scene = field("order_scene").empty() ? 1 : ParseInt(field("order_scene"));
    if (!start || !end || !pageSize || *pageSize < 1 || *pageSize > 100 || !pageNo || *pageNo < 1 || !queryType
        || *queryType < 1 || *queryType > 4 || !status || !scene)
        return Error(ARes, 41, "Invalid arguments", "isv.invalid-parameter");
    if (*end - *start > kLongestWindowS)
        return OrderError(ARes, TTopOrderError::WindowTooLong, *end - *start);

    const qint64 now = FClock();
    const qint64 lookBack = *queryType == 1 ? 0 : (*queryType == 2 ? 60 : TDemoData::kLongestSettle);
    const std::vector<TDemoOrder> created
        = *scene == 1 ? FData.OrdersCreated(AAccount.index, *start - lookBack, *end) : std::vector<TDemoOrder>();
    struct TPageEntry {
        qint64 key;
        const TDemoOrder* order;
    };
    std::vector<TPageEntry> matching;
    for (const TDemoOrder& order : created) {
        if (order.paidTime > now)
            continue;
        const int shown = order.StatusAt(now);
        qint64 key = order.createTime;
        if (*queryType == 2)
            key = order.paidTime;
        else if (*queryType == 3)
            key = shown == 3 ? order.finalTime : -1;
        else if (*queryType == 4)
            key = order.ModifiedAt(now);
        if (key < *start || key >= *end || (*status != 0 && shown != *status))
            continue;
        matching.push_back({key, &order});
    }
    const auto keyOf = [](const TPageEntry& AEntry) { return std::tie(AEntry.key, AEntry.order->tradeId); };
    std::sort(matching.begin(), matching.end(),
        [&](const TPageEntry& a, const TPageEntry& b) { return keyOf(a) < keyOf(b); });
    const std::string position = field("position_index");
    const auto [first, last] = PageBounds(matching, *pageNo, *pageSize, position, keyOf);

    QJsonArray orders;
    for (size_t i = first; i < last; ++i) {
        const TDemoOrder& order = *matching[i].order;
        const int shown = order.StatusAt(now);
        orders.append(OrderRecord(order, shown, now, AAccount));
        FLedger.ServedOrder({order.parentId, order.tradeId}, shown);
    }
    const std::string nextPosition
        = last > first ? Cursor(matching[last - 1].key, matching[last - 1].order->tradeId, *end) : position;
    QJsonObject data {{QStringLiteral("has_next"), last < matching.size()}, {QStringLiteral("page_no"), *pageNo},
        {QStringLiteral("page_size"), *pageSize},
        {QStringLiteral("results"), ListObject("publisher_order_dto", orders)}};
    if (!nextPosition.empty())
        data.insert(QStringLiteral("position_index"), Text(nextPosition));
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

// The service checks the option's members itself and answers a missing or wrong one as a business error: 101 for
// a member, 102 for the time window.
bool TTopGateway::ReadRefundQuery(const QJsonObject& AOption, TRefundQuery& AQuery, httplib::Response& ARes)
{
    const auto fail = [&](int ACode, const std::string& ADesc) {
        RefundBizError(ARes, ACode, ADesc);
        return false;
    };
    const auto time = [&](const char* AName, const char* AMissing, qint64& AValue) {
        const QJsonValue value = AOption.value(QLatin1String(AName));
        if (value.isUndefined() || value.isNull() || (value.isString() && value.toString().isEmpty()))
            return fail(101, AMissing);
        const std::optional<qint64> parsed = ParseBeijingTimeOrDate(value.toString().toStdString());
        if (!parsed)
            return fail(101, std::string(AName) + "格式不正确");
        AValue = *parsed;
        return true;
    };
    const auto number = [&](const char* AName, long long AMin, long long AMax, long long& AValue) {
        const QJsonValue value = AOption.value(QLatin1String(AName));
        if (value.isUndefined() || value.isNull())
            return fail(101, std::string(AName) + "不能为空");
        const std::optional<long long> parsed = WholeNumber(value);
        if (!parsed || *parsed < AMin || *parsed > AMax)
            return fail(101, std::string(AName) + "参数不合法");
        AValue = *parsed;
        return true;
    };
    long long scene = 0;
    long long jumpType = 1;
    if (!time("start_time", "开始时间不能为空", AQuery.start) || !time("end_time", "结束时间不能为空", AQuery.end)
        || !number("query_type", 1, 5, AQuery.queryType) || !number("page_size", 1, 100, AQuery.pageSize)
        || !number("page_no", 0, 100000, AQuery.pageNo) || !number("member_type", 1, 4, AQuery.memberType)
        || !number("order_scene", 1, 1, scene))
        return false;
    if (AQuery.memberType == 3)
        return fail(101, "member_type参数不合法");
    // Only forward paging (1) is served here; backward (-1) is the other documented value.
    if (AOption.contains(QStringLiteral("jump_type")) && !number("jump_type", -1, 1, jumpType))
        return false;
    if (jumpType == 0)
        return fail(101, "jump_type参数不合法");
    AQuery.position = AOption.value(QStringLiteral("position_index")).toString().toStdString();
    if (AQuery.end < AQuery.start)
        return fail(102, "结束时间不能早于开始时间");
    if (AQuery.end - AQuery.start > kLongestRefundWindowS)
        return fail(102, "查询时间跨度不能超过1天");
    // The service keeps the order-time query types only from this day on.
    if (AQuery.queryType >= 4 && AQuery.start < BeijingSecs(QDate(2022, 12, 20)))
        return fail(102, "入参startTime小于2022年12月20日0点时，query_type只能为1、2、3");
    return true;
}

// The demo refunds that the report serves, keyed by the query type's time: 1 opened, 2 settled, 3 finished,
// 4 order placed, 5 last changed; filtered by the promoter's role.
void TTopGateway::Refunds(const TFormFields& AFields, const TDemoAccount& AAccount, httplib::Response& ARes)
{
    if (RefundRefusedFor(AAccount))
        return Error(
            ARes, 11, "Insufficient isv permissions", "isv.permission-api-package-limit", "scope ids is 27823 27950");
    const std::string optionText = FieldValue(AFields, kRefundOption);
    if (optionText.empty())
        return Error(ARes, 40, "Missing required arguments:publisher_refund_order_query_option",
            "isv.missing-parameter:publisher_refund_order_query_option");
    const QJsonDocument option = QJsonDocument::fromJson(QByteArray::fromStdString(optionText));
    if (!option.isObject())
        return Error(ARes, 41, "Invalid arguments:publisher_refund_order_query_option",
            "isv.invalid-parameter:publisher_refund_order_query_option");
    if (const int code = RefundBizErrorFor(AAccount); code != 0)
        return RefundBizError(ARes, code, RefundBizErrorText(code));
    TRefundQuery query;
    if (!ReadRefundQuery(option.object(), query, ARes))
        return;

    const qint64 now = FClock();
    constexpr qint64 kDay = 86400;
    // Opened within these bounds of the key time, by the demo's own rules.
    const bool settled = query.queryType == 2;
    const qint64 before = query.queryType == 1 ? 0 : (settled || query.queryType == 4 ? 32 * kDay : 6 * kDay);
    const qint64 after = settled || query.queryType == 4 ? 32 * kDay : 0;
    struct TRefundEntry {
        qint64 key;
        TDemoRefund refund;
    };
    std::vector<TRefundEntry> matching;
    for (TDemoRefund& refund : FData.RefundsCreated(AAccount.index, query.start - before, query.end + after)) {
        const int wantedRole = query.memberType == 1 ? 2 : 3;
        if (refund.createTime > now || (query.memberType != 4 && refund.orderRole != wantedRole))
            continue;
        const bool finished = refund.FinishedAt(now);
        qint64 key = refund.createTime;
        if (settled)
            key = refund.earningTime;
        else if (query.queryType == 4)
            key = refund.tradeCreateTime;
        else if (query.queryType == 3)
            key = finished ? refund.finishTime : -1;
        else if (query.queryType == 5)
            key = finished ? refund.finishTime : refund.createTime;
        if (key < query.start || key >= query.end)
            continue;
        matching.push_back({key, std::move(refund)});
    }
    const auto keyOf = [](const TRefundEntry& AEntry) { return std::tie(AEntry.key, AEntry.refund.tradeId); };
    std::sort(matching.begin(), matching.end(),
        [&](const TRefundEntry& a, const TRefundEntry& b) { return keyOf(a) < keyOf(b); });
    const auto [first, last] = PageBounds(matching, query.pageNo, query.pageSize, query.position, keyOf);

    QJsonArray records;
    for (size_t i = first; i < last; ++i) {
        const TDemoRefund& refund = matching[i].refund;
        records.append(RefundRecord(refund, now));
        if (refund.StatusAt(now) == "维权成功")
            FLedger.ServedRefund({refund.parentId, refund.tradeId});
    }
    const std::string nextPosition
        = last > first ? Cursor(matching[last - 1].key, matching[last - 1].refund.tradeId, query.end) : query.position;
    QJsonObject data {{QStringLiteral("has_next"), last < matching.size()},
        {QStringLiteral("page_no"), std::max(1LL, query.pageNo)}, {QStringLiteral("page_size"), query.pageSize},
        {QStringLiteral("result"), ListObject("publisher_refund_order_d_t_o", records)}};
    if (!nextPosition.empty())
        data.insert(QStringLiteral("position_index"), Text(nextPosition));
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
