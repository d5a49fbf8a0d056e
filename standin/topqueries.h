#pragma once

#include "standin/demodata.h"
#include "standin/testservers.h"

#include <QJsonObject>

#include <optional>
#include <string>
#include <utility>
#include <vector>

// The requests of the TOP gateway's two methods as the gateway and the services behind it read them, and the demo
// orders and refunds that answer them.

std::optional<long long> ParseWholeNumber(const std::string& AText);

// A request of the order method.
struct TTopOrderQuery {
    qint64 start = 0;
    qint64 end = 0;
    long long pageSize = 20;
    long long pageNo = 1;
    long long queryType = 1;
    long long status = 0; // 0: every status
    long long scene = 1;
    std::string position;
};

// A parameter the gateway refuses: code 40 (missing) or 41 (unreadable), with the parameter's name.
struct TTopParameterProblem {
    int code = 0;
    std::string name;
};

std::optional<TTopParameterProblem> ReadTopOrderQuery(const TFormFields& AFields, TTopOrderQuery& AQuery);

// The refund method's option object.
struct TTopRefundQuery {
    qint64 start = 0;
    qint64 end = 0;
    long long pageSize = 0;
    long long pageNo = 1;
    long long queryType = 0;
    long long memberType = 4;
    std::string position;
};

// A business error of the refund service: 101 a member missing or wrong, 102 the time window, 103 busy.
struct TTopBizError {
    int code = 0;
    std::string desc;
};

std::optional<TTopBizError> ReadTopRefundQuery(
    const QJsonObject& AOption, qint64 ALongestWindowS, TTopRefundQuery& AQuery);

// A record with the time it is listed by; a page is sorted by (key, trade id).
struct TTopOrderEntry {
    qint64 key = 0;
    TDemoOrder order;
};
struct TTopRefundEntry {
    qint64 key = 0;
    TDemoRefund refund;
};

std::vector<TTopOrderEntry> MatchingOrders(
    const TDemoData& AData, int AAccount, const TTopOrderQuery& AQuery, qint64 ANow);
std::vector<TTopRefundEntry> MatchingRefunds(
    const TDemoData& AData, int AAccount, const TTopRefundQuery& AQuery, qint64 ANow);

// [first, last) of the page: right after the position index when one is given, else by page number.
std::pair<size_t, size_t> TopPageBounds(
    const std::vector<TTopOrderEntry>& AEntries, long long APageNo, long long APageSize, const std::string& APosition);
std::pair<size_t, size_t> TopPageBounds(
    const std::vector<TTopRefundEntry>& AEntries, long long APageNo, long long APageSize, const std::string& APosition);

// The position index of a page's last record, in the gateway's "<seconds>_…|<seconds>_…" shape: the record's key
// time and trade id, then the window's end. Clients hand it back unchanged.
std::string TopCursor(qint64 AKey, const std::string& ATradeId, qint64 AWindowEnd);
