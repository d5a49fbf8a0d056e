#pragma once

#include <QString>

#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <utility>
#include <vector>

// Invalid orders that left the download window while their batches kept failing: the program saw them, could not
// deliver them, and no pass will find them again. Each is logged once at llError, so the operator can act, and
// counted per account. Kept in memory: a restart forgets the orders seen before it (they are found again while
// still in the window).
class TAgedOutOrders {
public:
    using TKey = std::pair<QString, QString>; // parent id, child id
    using TDelivered = std::function<bool(const TKey&)>;

    // After an account's pass: AFound are the ids of the undelivered orders it found; AWholeWindow says it read the
    // whole window completely, so an order it no longer finds has left the window, or was delivered (ADelivered);
    // AAllDelivered says the pass then delivered everything it found, so none of it needs watching.
    // Returns how many orders aged out undelivered now.
    int PassEnded(const QString& AAccount, const QString& AAccountName, const std::vector<TKey>& AFound,
        bool AWholeWindow, bool AAllDelivered, const TDelivered& ADelivered);

    // Orders of the account that aged out undelivered since the start.
    int Count(const QString& AAccount) const;
    std::map<QString, int> Counts() const;

private:
    mutable std::mutex FCS; // held only over the two maps: never across a lookup of the cache or a log line
    // Per account: seen, not yet known to be delivered. Only orders whose batch failed are kept, so a long run
    // holds nothing for the tens of thousands it delivered.
    std::map<QString, std::set<TKey>> FTracked;
    std::map<QString, int> FAgedOut;
};
