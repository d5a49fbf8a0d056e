#include "taobao/orderPass.h"

#include "foundation/beijingtime.h"
#include "foundation/textutil.h"
#include "store/ucommon.h"
#include "taobao/topApiGetOrders.h"

#include <QDate>
#include <QTime>

QString TOrderPassResult::Scope() const
{
    return incremental ? QStringLiteral("自上次同步以来") : QString::number(days) + QStringLiteral("天内");
}

TOrderPass::TOrderPass(const TTopClock& AClock, TTopGate* AGate)
    : FClock(AClock)
    , FGate(AGate)
{
}

bool TOrderPass::FullPassDue(
    const std::optional<TOrderWatermark>& AWatermark, const QDateTime& ANow, int AHour, qint64 AOffsetS)
{
    if (!AWatermark)
        return true;
    // The hour is the operator's, so it is read on the machine's clock, whatever zone ANow is given in.
    const QDateTime now = ANow.toLocalTime();
    QDateTime due = QDateTime(now.date(), QTime(AHour, 0)).addSecs(AOffsetS);
    if (due > now)
        due = due.addDays(-1);
    return AWatermark->fullAt < due.toSecsSinceEpoch();
}

qint64 TOrderPass::FullPassOffsetS(const QString& AAccountKey)
{
    // FNV-1a over the UTF-16 code units: stable across runs and builds, unlike a seeded hash.
    quint64 hash = 14695981039346656037ULL;
    for (const QChar unit : AAccountKey) {
        hash ^= unit.unicode();
        hash *= 1099511628211ULL;
    }
    return static_cast<qint64>(hash % 3600);
}

TOrderPassResult TOrderPass::Run(const QString& AAccountKey, const QString& AAccountName, const QString& AToken,
    const std::optional<TOrderWatermarks>& AWatermarks, const TStopCheck& AStop) const
{
    TOrderPassResult result;
    result.accountKey = AAccountKey;
    const QDateTime now = Beijing::FromUnixMs(FClock.NowMs());
    const TCommon* common = Common();
    result.days = common && common->openLargeModel() ? 2 : 15;
    const QDateTime begin = now.addDays(-result.days);
    TTopApiGetOrders orders(AToken, QString(), QString(), AStop);
    orders.setAccountName(AAccountName);
    orders.setClock(&FClock);
    orders.setGate(FGate);
    // Without a user id there is nothing to keep a watermark under, so such an account always reads it all.
    const bool incremental
        = common && common->openIncremental() && AWatermarks.has_value() && !Trim(AAccountKey).isEmpty();
    result.incremental = incremental;
    for (const int status : {13, 14}) {
        // Read after the invalid orders, so a change of the switch during the download counts for this pass.
        if (status == 14 && !(common && common->openSyncYSH()))
            break;
        if (!incremental) {
            orders.getOrdersToList(begin, now, status, result.orders);
            continue;
        }
        const auto kept = AWatermarks->find(status);
        const std::optional<TOrderWatermark> mark
            = kept != AWatermarks->end() ? std::optional<TOrderWatermark>(kept->second) : std::nullopt;
        const QDateTime from = mark ? Beijing::FromUnix(mark->updatedTo - kOverlapS) : begin;
        const bool full = from <= begin || FullPassDue(mark, now, common->fullSyncHour(), FullPassOffsetS(AAccountKey));
        result.incremental = result.incremental && !full;
        if (full ? orders.getOrdersToList(begin, now, status, result.orders, 1)
                 : orders.getOrdersToList(from, now, status, result.orders, 4)) {
            result.watermarks.emplace_back(
                status, TOrderWatermark {now.toSecsSinceEpoch(), full ? now.toSecsSinceEpoch() : mark->fullAt});
        }
    }
    result.failure = orders.failure();
    result.lostRecords = orders.lostRecords();
    return result;
}
