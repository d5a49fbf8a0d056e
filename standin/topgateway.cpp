#include "standin/topgateway.h"

#include "standin/signatures.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QString>

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <tuple>

namespace {

// Local date and time as the program writes it; a date alone is its midnight.
std::optional<qint64> ParseLocalTime(const std::string& AText)
{
    const QString text = QString::fromStdString(AText);
    QDateTime value = QDateTime::fromString(text, u"yyyy-MM-dd HH:mm:ss");
    if (!value.isValid())
        value = QDateTime(QDate::fromString(text, u"yyyy-MM-dd"), QTime(0, 0));
    if (!value.isValid())
        return std::nullopt;
    return value.toSecsSinceEpoch();
}

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

struct TPageEntry {
    qint64 key;
    const TDemoOrder* order;
};

std::string Position(qint64 AKey, const std::string& ATradeId)
{
    return std::to_string(AKey) + "_" + ATradeId;
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
    const std::scoped_lock lock(FMutex);
    FRefusedAccounts = std::move(AUserIds);
}

long long TTopGateway::CallsOf(int AAccount) const
{
    const std::scoped_lock lock(FMutex);
    const auto found = FCallsByAccount.find(AAccount);
    return found == FCallsByAccount.end() ? 0 : found->second;
}

bool TTopGateway::Refused(httplib::Response& ARes)
{
    constexpr qint64 kUtc8Offset = 8 * 3600;
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
            const qint64 day = (now + kUtc8Offset) / 86400;
            if (day != FQuotaDay) {
                FQuotaDay = day;
                FQuotaUsed = 0;
            }
            if (FQuotaUsed >= FDailyQuota)
                quotaText = "This ban will last for " + std::to_string((day + 1) * 86400 - kUtc8Offset - now)
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
        Error(ARes, 15, "Remote service error", "isp.top-remote-connection-timeout", "连接超时");
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
    return FCallLimit > 0 && FCallsThisSecond > FCallLimit;
}

void TTopGateway::Error(
    httplib::Response& ARes, int ACode, const char* AMsg, const char* ASubCode, const std::string& ASubMsg)
{
    long long serial = 0;
    {
        const std::scoped_lock lock(FMutex);
        ++FErrors;
        serial = ++FRequestSerial;
    }
    QJsonObject error {{QStringLiteral("code"), ACode}, {QStringLiteral("msg"), QString::fromUtf8(AMsg)},
        {QStringLiteral("request_id"), QStringLiteral("standin%1").arg(serial)}};
    if (ASubCode != nullptr)
        error.insert(QStringLiteral("sub_code"), QString::fromUtf8(ASubCode));
    if (!ASubMsg.empty())
        error.insert(QStringLiteral("sub_msg"), Text(ASubMsg));
    ARes.status = 200;
    ARes.set_content(QJsonDocument(QJsonObject {{QStringLiteral("error_response"), error}})
                         .toJson(QJsonDocument::Compact)
                         .toStdString(),
        "application/json;charset=UTF-8");
}

void TTopGateway::Rest(const httplib::Request& AReq, httplib::Response& ARes)
{
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
    const TFormFields fields = DecodeForm(AReq.body);
    const auto field = [&](const char* AName) { return FieldValue(fields, AName); };
    if (field("app_key") != kTopAppKey)
        return Error(ARes, 29, "Invalid app Key");
    if (field("sign_method") != "md5" || field("sign").empty() || field("sign") != TopSign(fields, kTopAppSecret))
        return Error(ARes, 25, "Invalid signature");
    const std::optional<qint64> stamp = ParseLocalTime(field("timestamp"));
    if (!stamp || std::llabs(*stamp - QDateTime::currentSecsSinceEpoch()) > kTimestampToleranceS)
        return Error(ARes, 43, "Invalid timestamp");
    const std::string method = field("method");
    if (method != "taobao.tbk.sc.order.details.get" && method != "taobao.tbk.sc.order.refund.get")
        return Error(ARes, 22, "Invalid method");
    const TDemoAccount* account = FData.AccountByToken(field("session"));
    if (account == nullptr)
        return Error(ARes, 27, "Invalid session", "invalid-sessionkey");
    bool refused = false;
    {
        const std::scoped_lock lock(FMutex);
        ++FCallsByAccount[account->index];
        refused = FRefusedAccounts.count(account->userId) != 0;
    }
    if (refused)
        return Error(ARes, 27, "Invalid session", "invalid-sessionkey");
    if (Refused(ARes))
        return;
    if (OverCallLimit()) {
        {
            const std::scoped_lock lock(FMutex);
            ++FCallLimited;
        }
        return Error(ARes, 7, "App Call Limited", "accesscontrol.limited-by-api-access-count",
            "This ban will last for 1 more seconds");
    }
    if (method == "taobao.tbk.sc.order.refund.get")
        return Refunds(fields, *account, ARes);

    const std::optional<qint64> start = ParseLocalTime(field("start_time"));
    const std::optional<qint64> end = ParseLocalTime(field("end_time"));
    const std::optional<long long> pageSize = field("page_size").empty() ? 20 : ParseInt(field("page_size"));
    const std::optional<long long> pageNo = field("page_no").empty() ? 1 : ParseInt(field("page_no"));
    const std::optional<long long> queryType = field("query_type").empty() ? 1 : ParseInt(field("query_type"));
    const std::optional<long long> status = field("tk_status").empty() ? 0 : ParseInt(field("tk_status"));
    const std::optional<long long> scene = field("order_scene").empty() ? 1 : ParseInt(field("order_scene"));
    if (!start || !end || !pageSize || *pageSize < 1 || *pageSize > 100 || !pageNo || *pageNo < 1 || !queryType
        || *queryType < 1 || *queryType > 4 || !status || !scene)
        return Error(ARes, 41, "Invalid arguments", "isv.invalid-parameter");
    if (*end - *start > kLongestWindowS)
        return Error(ARes, 15, "Remote service error", "isv.invalid-parameter", "查询时间跨度不能超过3小时");

    const qint64 now = FClock();
    const qint64 lookBack = *queryType == 1 ? 0 : (*queryType == 2 ? 60 : TDemoData::kLongestSettle);
    const std::vector<TDemoOrder> created
        = *scene == 1 ? FData.OrdersCreated(account->index, *start - lookBack, *end) : std::vector<TDemoOrder>();
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
    std::sort(matching.begin(), matching.end(), [](const TPageEntry& a, const TPageEntry& b) {
        return std::tie(a.key, a.order->tradeId) < std::tie(b.key, b.order->tradeId);
    });

    // A position index from an earlier page wins over the page number: the next page starts right after it.
    size_t first = static_cast<size_t>((*pageNo - 1) * *pageSize);
    const std::string position = field("position_index");
    if (const size_t cut = position.find('_'); cut != std::string::npos) {
        if (const std::optional<long long> key = ParseInt(position.substr(0, cut))) {
            const std::string tradeId = position.substr(cut + 1);
            first = static_cast<size_t>(std::upper_bound(matching.begin(), matching.end(), std::tie(*key, tradeId),
                                            [](const auto& AValue, const TPageEntry& AEntry) {
                                                return AValue < std::tie(AEntry.key, AEntry.order->tradeId);
                                            })
                - matching.begin());
        }
    }
    first = std::min(first, matching.size());
    const size_t last = std::min(matching.size(), first + static_cast<size_t>(*pageSize));

    QJsonArray orders;
    for (size_t i = first; i < last; ++i) {
        const TDemoOrder& order = *matching[i].order;
        const int shown = order.StatusAt(now);
        QJsonObject dto {{QStringLiteral("trade_id"), Text(order.tradeId)},
            {QStringLiteral("trade_parent_id"), Text(order.parentId)}, {QStringLiteral("tk_status"), shown},
            {QStringLiteral("pay_price"), Text(TDemoData::Money(order.payCents))},
            {QStringLiteral("alipay_total_price"), Text(TDemoData::Money(order.payCents))},
            {QStringLiteral("pub_share_fee"), Text(TDemoData::Money(shown == 13 ? 0 : order.shareCents))},
            {QStringLiteral("pub_share_pre_fee"), Text(TDemoData::Money(order.shareCents))},
            {QStringLiteral("item_id"), order.itemId}, {QStringLiteral("item_title"), Text(order.title)},
            {QStringLiteral("item_num"), 1}, {QStringLiteral("order_type"), QStringLiteral("淘宝")},
            {QStringLiteral("tk_create_time"), Text(TDemoData::LocalTimeText(order.createTime))},
            {QStringLiteral("tk_paid_time"), Text(TDemoData::LocalTimeText(order.paidTime))},
            {QStringLiteral("modified_time"), Text(TDemoData::LocalTimeText(order.ModifiedAt(now)))}};
        if (shown == 3)
            dto.insert(QStringLiteral("tk_earning_time"), Text(TDemoData::LocalTimeText(order.finalTime)));
        orders.append(dto);
        FLedger.ServedOrder({order.parentId, order.tradeId}, shown);
    }
    const std::string nextPosition
        = last > first ? Position(matching[last - 1].key, matching[last - 1].order->tradeId) : position;
    QJsonObject data {{QStringLiteral("has_next"), last < matching.size()}, {QStringLiteral("page_no"), *pageNo},
        {QStringLiteral("page_size"), *pageSize},
        {QStringLiteral("results"), QJsonObject {{QStringLiteral("publisher_order_dto"), orders}}}};
    if (!nextPosition.empty())
        data.insert(QStringLiteral("position_index"), Text(nextPosition));
    {
        const std::scoped_lock lock(FMutex);
        ++FPages;
    }
    SendData(ARes, "tbk_sc_order_details_get_response", data);
}

void TTopGateway::SendData(httplib::Response& ARes, const char* AResponse, const QJsonObject& AData)
{
    long long serial = 0;
    {
        const std::scoped_lock lock(FMutex);
        serial = ++FRequestSerial;
    }
    const QJsonObject reply {{QString::fromLatin1(AResponse),
        QJsonObject {
            {QStringLiteral("data"), AData}, {QStringLiteral("request_id"), QStringLiteral("standin%1").arg(serial)}}}};
    ARes.status = 200;
    ARes.set_content(
        QJsonDocument(reply).toJson(QJsonDocument::Compact).toStdString(), "application/json;charset=UTF-8");
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

bool TTopGateway::RefundRefusedFor(const TDemoAccount& AAccount) const
{
    const std::string list = RefundRefused();
    if (list == "all")
        return true;
    size_t from = 0;
    while (from <= list.size()) {
        const size_t cut = std::min(list.find(',', from), list.size());
        if (list.substr(from, cut - from) == AAccount.userId)
            return true;
        from = cut + 1;
    }
    return false;
}

// The demo refunds that the report serves, keyed by the query type's time: 1 opened, 2 and 4 settled (the demo
// keeps no order creation time), 3 finished, 5 last changed.
void TTopGateway::Refunds(const TFormFields& AFields, const TDemoAccount& AAccount, httplib::Response& ARes)
{
    const auto field = [&](const char* AName) { return FieldValue(AFields, AName); };
    if (RefundRefusedFor(AAccount))
        return Error(
            ARes, 11, "Insufficient isv permissions", "isv.permission-api-package-limit", "scope ids is 27823 27950");
    const std::optional<qint64> start = ParseLocalTime(field("start_time"));
    const std::optional<qint64> end = ParseLocalTime(field("end_time"));
    const std::optional<long long> pageSize = field("page_size").empty() ? 20 : ParseInt(field("page_size"));
    const std::optional<long long> pageNo = field("page_no").empty() ? 1 : ParseInt(field("page_no"));
    const std::optional<long long> queryType = field("query_type").empty() ? 1 : ParseInt(field("query_type"));
    if (!start || !end || !pageSize || *pageSize < 1 || *pageSize > 100 || !pageNo || *pageNo < 1 || !queryType
        || *queryType < 1 || *queryType > 5 || *end < *start)
        return Error(ARes, 41, "Invalid arguments", "isv.invalid-parameter");
    // The gateway keeps the order-time query types only from this day on.
    const qint64 orderTimesFrom = QDateTime(QDate(2022, 12, 20), QTime(0, 0)).toSecsSinceEpoch();
    if (*queryType >= 4 && *start < orderTimesFrom)
        return Error(ARes, 41, "Invalid arguments", "isv.invalid-parameter", "query_type 4/5 仅支持2022-12-20之后");
    if (*end - *start > kLongestRefundWindowS)
        return Error(ARes, 15, "Remote service error", "isv.invalid-parameter", "查询时间跨度超过限制");

    const qint64 now = FClock();
    constexpr qint64 kDay = 86400;
    // Opened within these bounds of the key time, by the demo's own rules.
    const qint64 before = *queryType == 1 ? 0 : (*queryType == 2 || *queryType == 4 ? 22 * kDay : 6 * kDay);
    const qint64 after = *queryType == 2 || *queryType == 4 ? 22 * kDay : 0;
    struct TRefundEntry {
        qint64 key;
        TDemoRefund refund;
    };
    std::vector<TRefundEntry> matching;
    for (TDemoRefund& refund : FData.RefundsCreated(AAccount.index, *start - before, *end + after)) {
        if (refund.createTime > now)
            continue;
        const bool finished = refund.FinishedAt(now);
        qint64 key = refund.createTime;
        if (*queryType == 2 || *queryType == 4)
            key = refund.earningTime;
        else if (*queryType == 3)
            key = finished ? refund.finishTime : -1;
        else if (*queryType == 5)
            key = finished ? refund.finishTime : refund.createTime;
        if (key < *start || key >= *end)
            continue;
        matching.push_back({key, std::move(refund)});
    }
    std::sort(matching.begin(), matching.end(), [](const TRefundEntry& a, const TRefundEntry& b) {
        return std::tie(a.key, a.refund.tradeId) < std::tie(b.key, b.refund.tradeId);
    });
    size_t first = static_cast<size_t>((*pageNo - 1) * *pageSize);
    const std::string position = field("position_index");
    if (const size_t cut = position.find('_'); cut != std::string::npos) {
        if (const std::optional<long long> key = ParseInt(position.substr(0, cut))) {
            const std::string tradeId = position.substr(cut + 1);
            first = static_cast<size_t>(std::upper_bound(matching.begin(), matching.end(), std::tie(*key, tradeId),
                                            [](const auto& AValue, const TRefundEntry& AEntry) {
                                                return AValue < std::tie(AEntry.key, AEntry.refund.tradeId);
                                            })
                - matching.begin());
        }
    }
    first = std::min(first, matching.size());
    const size_t last = std::min(matching.size(), first + static_cast<size_t>(*pageSize));

    QJsonArray result;
    for (size_t i = first; i < last; ++i) {
        const TDemoRefund& refund = matching[i].refund;
        const bool finished = refund.FinishedAt(now);
        const bool succeeded = finished && refund.finalStatus == "维权成功";
        QJsonObject record {{QStringLiteral("tb_trade_id"), Text(refund.tradeId)},
            {QStringLiteral("tb_trade_parent_id"), Text(refund.parentId)},
            {QStringLiteral("item_title"), Text(refund.title)},
            {QStringLiteral("refund_status"), finished ? (succeeded ? 2 : 3) : 4},
            {QStringLiteral("earning_time"), Text(TDemoData::LocalTimeText(refund.earningTime))},
            {QStringLiteral("tk_refund_time"), Text(TDemoData::LocalTimeText(refund.createTime))},
            {QStringLiteral("refund_fee"), Text(TDemoData::Money(refund.refundCents))},
            {QStringLiteral("show_return_fee"), Text(TDemoData::Money(refund.returnCents))},
            {QStringLiteral("tb_trade_finish_price"), Text(TDemoData::Money(refund.totalCents))},
            {QStringLiteral("tk_order_role"), refund.orderRole},
            {QStringLiteral("modified_time"),
                Text(TDemoData::LocalTimeText(finished ? refund.finishTime : refund.createTime))}};
        if (finished)
            record.insert(QStringLiteral("tk_refund_suit_time"), Text(TDemoData::LocalTimeText(refund.finishTime)));
        result.append(record);
        if (succeeded)
            FLedger.ServedRefund({refund.parentId, refund.tradeId});
    }
    const std::string nextPosition
        = last > first ? std::to_string(matching[last - 1].key) + "_" + matching[last - 1].refund.tradeId : position;
    QJsonObject data {{QStringLiteral("has_next"), last < matching.size()}, {QStringLiteral("page_no"), *pageNo},
        {QStringLiteral("page_size"), *pageSize}, {QStringLiteral("result"), result}};
    if (!nextPosition.empty())
        data.insert(QStringLiteral("position_index"), Text(nextPosition));
    {
        const std::scoped_lock lock(FMutex);
        ++FRefundPages;
    }
    SendData(ARes, "tbk_sc_order_refund_get_response", data);
}

QJsonObject TTopGateway::Counters() const
{
    const std::scoped_lock lock(FMutex);
    return QJsonObject {{QStringLiteral("calls"), FCalls}, {QStringLiteral("pages"), FPages},
        {QStringLiteral("errors"), FErrors}, {QStringLiteral("callLimit"), FCallLimit},
        {QStringLiteral("callLimited"), FCallLimited}, {QStringLiteral("peakCallsPerSecond"), FPeakCallsPerSecond},
        {QStringLiteral("dailyQuota"), FDailyQuota}, {QStringLiteral("quotaUsed"), FQuotaUsed},
        {QStringLiteral("banUntil"), FBanUntil}, {QStringLiteral("transientErrors"), FTransientErrors},
        {QStringLiteral("refundPages"), FRefundPages}, {QStringLiteral("refundRefused"), Text(FRefundRefused)}};
}
