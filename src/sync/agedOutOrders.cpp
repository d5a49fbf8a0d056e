#include "sync/agedOutOrders.h"

#include "log/QLog.h"

int TAgedOutOrders::PassEnded(const QString& AAccount, const QString& AAccountName, const std::vector<TKey>& AFound,
    bool AWholeWindow, bool AAllDelivered, const TDelivered& ADelivered)
{
    // Neither the ids' sorting nor the cache's lookups nor the log lines run under the lock: passes of other
    // accounts record theirs meanwhile.
    std::set<TKey> found;
    {
        const std::scoped_lock lock(FCS);
        // The common case, everything delivered and nothing failed before: no order of this pass needs reading.
        if (AAllDelivered && FTracked.find(AAccount) == FTracked.end())
            return 0;
    }
    for (const TKey& key : AFound) {
        if (!key.first.isEmpty() || !key.second.isEmpty())
            found.insert(key);
    }
    std::vector<TKey> left; // no longer in the window: delivered, or aged out
    {
        const std::scoped_lock lock(FCS);
        std::set<TKey>& tracked = FTracked[AAccount];
        for (auto it = tracked.begin(); it != tracked.end();) {
            if (found.count(*it) != 0) {
                it = AAllDelivered ? tracked.erase(it) : std::next(it);
            } else if (AWholeWindow) {
                left.push_back(*it);
                it = tracked.erase(it);
            } else {
                ++it;
            }
        }
        if (!AAllDelivered)
            tracked.insert(found.begin(), found.end());
        if (tracked.empty())
            FTracked.erase(AAccount);
    }
    int agedOut = 0;
    for (const TKey& key : left) {
        if (ADelivered(key))
            continue;
        ++agedOut;
        LogLine(llError,
            QStringLiteral("[同步] 订单已超出同步窗口仍未送达,请人工处理:联盟账号 ") + AAccountName
                + QStringLiteral(" 父订单 ") + key.first + QStringLiteral(" 子订单 ") + key.second);
    }
    if (agedOut > 0) {
        const std::scoped_lock lock(FCS);
        FAgedOut[AAccount] += agedOut;
    }
    return agedOut;
}

int TAgedOutOrders::Count(const QString& AAccount) const
{
    const std::scoped_lock lock(FCS);
    const auto found = FAgedOut.find(AAccount);
    return found == FAgedOut.end() ? 0 : found->second;
}

std::map<QString, int> TAgedOutOrders::Counts() const
{
    const std::scoped_lock lock(FCS);
    return FAgedOut;
}
