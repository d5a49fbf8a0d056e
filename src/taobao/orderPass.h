#pragma once

#include "store/orderWatermark.h"
#include "taobao/invalidOrder.h"
#include "taobao/topLimits.h"

#include <QDateTime>
#include <QString>

#include <map>
#include <optional>
#include <utility>
#include <vector>

// The watermarks an account's pass starts from, per status, as the caller read them; a status without one has
// none yet.
using TOrderWatermarks = std::map<int, TOrderWatermark>;

// What one account's invalid-order pass found.
struct TOrderPassResult {
    std::vector<TInvalidOrder> orders; // every order of the window read, delivered before or not
    int days = 15; // the whole window, in days
    bool incremental = false; // every status was read by update time only
    QString failure; // why a status was not read whole; empty when all was (or the pass was stopped)
    int lostRecords = 0; // orders left out because they could not be read, each named in an error line
    // Where each status read whole would move its watermark to; moved by the caller only once every batch of the
    // pass was accepted, so a refused batch is read (and sent) again by the very next pass.
    QString accountKey;
    std::vector<std::pair<int, TOrderWatermark>> watermarks;

    // "15天内" for a pass over the whole window, else the incremental wording; for the pass's log line.
    QString Scope() const;
};

// One account's invalid-order pass: status 13 and, with the received-orders switch, 14. By default each status
// reads the whole window (15 days, 2 in large promotion) by creation time. With incremental sync on, a status
// with a watermark reads by update time from the watermark minus an overlap to now, and the watermark moves to the
// pass's start only when every slice was read and every batch delivered (the caller's part); the day's first pass from
// the settings' hour on, and one without a watermark, still reads the whole window, so nothing a gap could hide stays
// undelivered.
class TOrderPass {
public:
    static constexpr qint64 kOverlapS = 600;

    explicit TOrderPass(const TTopClock& AClock = SystemTopClock(), TTopGate* AGate = nullptr);

    // AAccountKey names the account's watermarks (its user id); AAccountName is for log lines. AWatermarks are the
    // account's, as kept; without them (nowhere to keep any) every status reads the whole window.
    TOrderPassResult Run(const QString& AAccountKey, const QString& AAccountName, const QString& AToken,
        const std::optional<TOrderWatermarks>& AWatermarks, const TStopCheck& AStop) const;

    // Whether a pass at ANow must read the whole window: no watermark, or none of its whole passes since the last
    // AHour:00 plus AOffsetS seconds (local time).
    static bool FullPassDue(
        const std::optional<TOrderWatermark>& AWatermark, const QDateTime& ANow, int AHour, qint64 AOffsetS = 0);
    // Where in the hour of the daily whole read an account's turn comes (0 to 3599 s), the same in every run: the
    // accounts' whole reads spread over the hour instead of all falling on its first pass.
    static qint64 FullPassOffsetS(const QString& AAccountKey);

private:
    const TTopClock& FClock;
    TTopGate* FGate;
};
