#pragma once

#include <QJsonArray>
#include <QJsonObject>

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

// What the stand-in served and what its back end accepted: every order and refund once, with the number of times
// it arrived, so that a second delivery shows as a duplicate.
class TStandInLedger {
public:
    using TKey = std::pair<std::string, std::string>; // parent id, child id

    // One accepted batch; AOrders are its elements with their keys. AKind is "invalid" or "refund".
    void AcceptBatch(const std::string& AKind, const std::string& ABatchText,
        const std::vector<std::pair<TKey, QJsonObject>>& AOrders);
    // The TOP gateway served an order with this status; the report served a successful refund.
    void ServedOrder(const TKey& AKey, int AStatus);
    void ServedRefund(const TKey& AKey);
    void Clear();

    // Counts only.
    QJsonObject Summary() const;
    // Counts and every accepted order and refund, each with "receipts".
    QJsonObject Received() const;

    // Accepted invalid orders (keys) and refunds, for tests.
    std::set<TKey> ReceivedOrders() const;
    std::set<TKey> ReceivedRefunds() const;

private:
    struct TReceived {
        QJsonObject order;
        int receipts = 0;
    };
    struct TKind {
        std::map<TKey, TReceived> orders;
        std::vector<TKey> arrival; // first arrivals in order
        std::set<std::string> batches;
        long long batchCount = 0;
        long long duplicateBatches = 0;
        long long duplicates = 0;
    };
    TKind& Kind(const std::string& AKind);
    static QJsonObject KindSummary(const TKind& AKind, const std::map<TKey, int>& AServed, bool ACountUnknown);

    mutable std::mutex FMutex;
    TKind FInvalid; // guarded by FMutex, as are the rest
    TKind FRefunds;
    std::map<TKey, int> FServedOrders; // key -> status last served
    std::map<TKey, int> FServedRefunds; // key -> 1
};
