#include "standin/topqueries.h"

#include "standin/beijing.h"

#include <QJsonValue>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <tuple>

namespace {

// A whole number given as a JSON number or as the text of one.
std::optional<long long> WholeNumber(const QJsonValue& AValue)
{
    if (AValue.isString())
        return ParseWholeNumber(AValue.toString().trimmed().toStdString());
    if (!AValue.isDouble())
        return std::nullopt;
    const double value = AValue.toDouble();
    if (value != std::floor(value) || std::fabs(value) > 1e15)
        return std::nullopt;
    return static_cast<long long>(value);
}

// A form field as a whole number, AMissing when absent.
std::optional<long long> FormNumber(const TFormFields& AFields, const char* AName, long long AMissing)
{
    const std::string text = FieldValue(AFields, AName);
    return text.empty() ? std::optional<long long>(AMissing) : ParseWholeNumber(text);
}

// The option's members, each read once, the first problem kept.
class TOptionReader {
public:
    explicit TOptionReader(const QJsonObject& AOption)
        : FOption(AOption)
    {
    }

    void Time(const char* AName, const char* AMissingDesc, qint64& AValue)
    {
        const QJsonValue value = FOption.value(QLatin1String(AName));
        if (value.isUndefined() || value.isNull() || (value.isString() && value.toString().isEmpty()))
            return Fail(101, AMissingDesc);
        const std::optional<qint64> parsed = ParseBeijingTime(value.toString().toStdString());
        if (!parsed)
            return Fail(101, std::string(AName) + "格式不正确");
        AValue = *parsed;
    }

    void Number(const char* AName, long long AMin, long long AMax, long long& AValue)
    {
        const QJsonValue value = FOption.value(QLatin1String(AName));
        if (value.isUndefined() || value.isNull())
            return Fail(101, std::string(AName) + "不能为空");
        const std::optional<long long> parsed = WholeNumber(value);
        if (!parsed || *parsed < AMin || *parsed > AMax)
            return Fail(101, std::string(AName) + "参数不合法");
        AValue = *parsed;
    }

    void Fail(int ACode, const std::string& ADesc)
    {
        if (!FProblem)
            FProblem = TTopBizError {ACode, ADesc};
    }

    const std::optional<TTopBizError>& Problem() const { return FProblem; }

private:
    const QJsonObject& FOption;
    std::optional<TTopBizError> FProblem;
};

template <typename TEntry, typename TKeyOf>
std::pair<size_t, size_t> PageBounds(const std::vector<TEntry>& AEntries, long long APageNo, long long APageSize,
    const std::string& APosition, TKeyOf AKeyOf)
{
    size_t first = static_cast<size_t>(std::max(0LL, APageNo - 1) * APageSize);
    // "<key>_<trade id>|…": the records after that one.
    const std::string cursor = APosition.substr(0, APosition.find('|'));
    const size_t cut = cursor.find('_');
    const std::optional<long long> key
        = cut == std::string::npos ? std::nullopt : ParseWholeNumber(cursor.substr(0, cut));
    if (key) {
        const std::string tradeId = cursor.substr(cut + 1);
        const auto after = std::upper_bound(AEntries.begin(), AEntries.end(), std::tie(*key, tradeId),
            [&](const auto& AValue, const TEntry& AEntry) { return AValue < AKeyOf(AEntry); });
        first = static_cast<size_t>(after - AEntries.begin());
    }
    first = std::min(first, AEntries.size());
    return {first, std::min(AEntries.size(), first + static_cast<size_t>(APageSize))};
}

auto OrderKey(const TTopOrderEntry& AEntry)
{
    return std::tie(AEntry.key, AEntry.order.tradeId);
}

auto RefundKey(const TTopRefundEntry& AEntry)
{
    return std::tie(AEntry.key, AEntry.refund.tradeId);
}

// The time an order is listed by for the query type: 1 created, 2 paid, 3 settled (-1 before), 4 last changed.
qint64 OrderKeyTime(const TDemoOrder& AOrder, long long AQueryType, qint64 ANow)
{
    switch (AQueryType) {
    case 2:
        return AOrder.paidTime;
    case 3:
        return AOrder.StatusAt(ANow) == 3 ? AOrder.finalTime : -1;
    case 4:
        return AOrder.ModifiedAt(ANow);
    default:
        return AOrder.createTime;
    }
}

// The time a refund is listed by for the query type: 1 opened, 2 settled, 3 finished (-1 before), 4 order placed,
// 5 last changed.
qint64 RefundKeyTime(const TDemoRefund& ARefund, long long AQueryType, qint64 ANow)
{
    const bool finished = ARefund.FinishedAt(ANow);
    switch (AQueryType) {
    case 2:
        return ARefund.earningTime;
    case 3:
        return finished ? ARefund.finishTime : -1;
    case 4:
        return ARefund.tradeCreateTime;
    case 5:
        return finished ? ARefund.finishTime : ARefund.createTime;
    default:
        return ARefund.createTime;
    }
}

} // namespace

std::optional<long long> ParseWholeNumber(const std::string& AText)
{
    if (AText.empty())
        return std::nullopt;
    char* end = nullptr;
    const long long value = std::strtoll(AText.c_str(), &end, 10);
    return *end == '\0' ? std::optional<long long>(value) : std::nullopt;
}

std::optional<TTopParameterProblem> ReadTopOrderQuery(const TFormFields& AFields, TTopOrderQuery& AQuery)
{
    for (const char* required : {"start_time", "end_time"}) {
        if (FieldValue(AFields, required).empty())
            return TTopParameterProblem {40, required};
    }
    const std::optional<qint64> start = ParseBeijingTime(FieldValue(AFields, "start_time"));
    const std::optional<qint64> end = ParseBeijingTime(FieldValue(AFields, "end_time"));
    const std::optional<long long> pageSize = FormNumber(AFields, "page_size", 20);
    const std::optional<long long> pageNo = FormNumber(AFields, "page_no", 1);
    const std::optional<long long> queryType = FormNumber(AFields, "query_type", 1);
    const std::optional<long long> status = FormNumber(AFields, "tk_status", 0);
    const std::optional<long long> scene = FormNumber(AFields, "order_scene", 1);
    const std::pair<bool, const char*> checks[] = {{start.has_value(), "start_time"}, {end.has_value(), "end_time"},
        {pageSize && *pageSize >= 1 && *pageSize <= 100, "page_size"}, {pageNo && *pageNo >= 1, "page_no"},
        {queryType && *queryType >= 1 && *queryType <= 4, "query_type"}, {status.has_value(), "tk_status"},
        {scene.has_value(), "order_scene"}};
    for (const auto& [good, name] : checks) {
        if (!good)
            return TTopParameterProblem {41, name};
    }
    AQuery = TTopOrderQuery {
        *start, *end, *pageSize, *pageNo, *queryType, *status, *scene, FieldValue(AFields, "position_index")};
    return std::nullopt;
}

// The refund service checks the option's members itself: a missing or wrong one is business error 101, the time
// window 102.
std::optional<TTopBizError> ReadTopRefundQuery(
    const QJsonObject& AOption, qint64 ALongestWindowS, TTopRefundQuery& AQuery)
{
    TOptionReader reader(AOption);
    long long scene = 0;
    long long jumpType = 1;
    reader.Time("start_time", "开始时间不能为空", AQuery.start);
    reader.Time("end_time", "结束时间不能为空", AQuery.end);
    reader.Number("query_type", 1, 5, AQuery.queryType);
    reader.Number("page_size", 1, 100, AQuery.pageSize);
    reader.Number("page_no", 0, 100000, AQuery.pageNo);
    reader.Number("member_type", 1, 4, AQuery.memberType);
    reader.Number("order_scene", 1, 1, scene);
    // Forward (1) and backward (-1) are documented; pages are served forward here either way.
    if (AOption.contains(QStringLiteral("jump_type")))
        reader.Number("jump_type", -1, 1, jumpType);
    if (AQuery.memberType == 3 || jumpType == 0)
        reader.Fail(101, AQuery.memberType == 3 ? "member_type参数不合法" : "jump_type参数不合法");
    if (reader.Problem())
        return reader.Problem();
    AQuery.position = AOption.value(QStringLiteral("position_index")).toString().toStdString();
    if (AQuery.end < AQuery.start)
        return TTopBizError {102, "结束时间不能早于开始时间"};
    if (AQuery.end - AQuery.start > ALongestWindowS)
        return TTopBizError {102, "查询时间跨度不能超过1天"};
    // The service keeps the order-time query types only from this day on.
    if (AQuery.queryType >= 4 && AQuery.start < BeijingSecs(QDate(2022, 12, 20)))
        return TTopBizError {102, "入参startTime小于2022年12月20日0点时，query_type只能为1、2、3"};
    return std::nullopt;
}

std::vector<TTopOrderEntry> MatchingOrders(
    const TDemoData& AData, int AAccount, const TTopOrderQuery& AQuery, qint64 ANow)
{
    const qint64 lookBack = AQuery.queryType == 1 ? 0 : (AQuery.queryType == 2 ? 60 : TDemoData::kLongestSettle);
    std::vector<TTopOrderEntry> matching;
    if (AQuery.scene != 1)
        return matching;
    for (TDemoOrder& order : AData.OrdersCreated(AAccount, AQuery.start - lookBack, AQuery.end)) {
        const qint64 key = OrderKeyTime(order, AQuery.queryType, ANow);
        if (order.paidTime > ANow || key < AQuery.start || key >= AQuery.end
            || (AQuery.status != 0 && order.StatusAt(ANow) != AQuery.status))
            continue;
        matching.push_back({key, std::move(order)});
    }
    std::sort(matching.begin(), matching.end(),
        [](const TTopOrderEntry& a, const TTopOrderEntry& b) { return OrderKey(a) < OrderKey(b); });
    return matching;
}

std::vector<TTopRefundEntry> MatchingRefunds(
    const TDemoData& AData, int AAccount, const TTopRefundQuery& AQuery, qint64 ANow)
{
    constexpr qint64 kDay = 86400;
    // Opened within these bounds of the key time, by the demo's own rules.
    const bool byOrder = AQuery.queryType == 2 || AQuery.queryType == 4;
    const qint64 before = AQuery.queryType == 1 ? 0 : (byOrder ? 32 * kDay : 6 * kDay);
    const qint64 after = byOrder ? 32 * kDay : 0;
    const int wantedRole = AQuery.memberType == 1 ? 2 : 3;
    std::vector<TTopRefundEntry> matching;
    for (TDemoRefund& refund : AData.RefundsCreated(AAccount, AQuery.start - before, AQuery.end + after)) {
        const qint64 key = RefundKeyTime(refund, AQuery.queryType, ANow);
        if (refund.createTime > ANow || (AQuery.memberType != 4 && refund.orderRole != wantedRole) || key < AQuery.start
            || key >= AQuery.end)
            continue;
        matching.push_back({key, std::move(refund)});
    }
    std::sort(matching.begin(), matching.end(),
        [](const TTopRefundEntry& a, const TTopRefundEntry& b) { return RefundKey(a) < RefundKey(b); });
    return matching;
}

std::pair<size_t, size_t> TopPageBounds(
    const std::vector<TTopOrderEntry>& AEntries, long long APageNo, long long APageSize, const std::string& APosition)
{
    return PageBounds(AEntries, APageNo, APageSize, APosition, OrderKey);
}

std::pair<size_t, size_t> TopPageBounds(
    const std::vector<TTopRefundEntry>& AEntries, long long APageNo, long long APageSize, const std::string& APosition)
{
    return PageBounds(AEntries, APageNo, APageSize, APosition, RefundKey);
}

std::string TopCursor(qint64 AKey, const std::string& ATradeId, qint64 AWindowEnd)
{
    return std::to_string(AKey) + "_" + ATradeId + "|" + std::to_string(AWindowEnd) + "_";
}
