#include "sync/cacheCheck.h"

#include "store/udb.h"

QString TCacheCheck::Problem(const TSay& ASay)
{
    const TDBCacheClass* cache = DBCache();
    const QString reason = cache != nullptr ? cache->unusableReason() : QStringLiteral("没有订单缓存");
    bool fresh = false;
    {
        const std::scoped_lock lock(FLock);
        fresh = !reason.isEmpty() && reason != FSaid;
        FSaid = reason;
    }
    if (fresh && ASay)
        ASay(reason);
    return reason;
}
