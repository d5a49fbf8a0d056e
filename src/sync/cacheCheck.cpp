#include "sync/cacheCheck.h"

#include "store/udb.h"

void TCacheCheck::NewPass()
{
    const std::scoped_lock lock(FLock);
    FAsked = false;
}

QString TCacheCheck::Problem(const TDBCacheClass* ACache, const TSay& ASay)
{
    QString reason;
    bool fresh = false;
    {
        // Held while the cache is asked, so the accounts of a concurrent pass wait for the one answer.
        const std::scoped_lock lock(FLock);
        if (!FAsked) {
            FReason = ACache != nullptr ? ACache->unusableReason() : QStringLiteral("没有订单缓存");
            FAsked = true;
            fresh = !FReason.isEmpty() && FReason != FSaid;
            FSaid = FReason;
        }
        reason = FReason;
    }
    if (fresh && ASay)
        ASay(reason);
    return reason;
}
