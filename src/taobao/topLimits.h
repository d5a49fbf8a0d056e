#pragma once

#include "foundation/stopCheck.h"

#include "foundation/globals.h"

#include <QString>
#include <QStringView>
#include <QtGlobal>

#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

class TQJson;

// Time as the gateway's limits see it. The program uses the system clock; tests pass a simulated one, so that a
// ban or a spent daily quota is waited out without real waiting.
class TTopClock {
public:
    virtual ~TTopClock() = default;
    // Unix time in milliseconds.
    virtual qint64 NowMs() const = 0;
    // Waits AMs milliseconds unless AStop turns true first; false when it did.
    virtual bool Wait(qint64 AMs, const TStopCheck& AStop) const = 0;
};

// Real time; a wait asks the stop check every 20 ms.
class TSystemTopClock final : public TTopClock {
public:
    qint64 NowMs() const override;
    bool Wait(qint64 AMs, const TStopCheck& AStop) const override;
};

const TTopClock& SystemTopClock();

// Time that moves only when it is set or waited on; a wait returns at once unless the stop check holds. For
// simulated days in tests and benchmarks.
class TManualTopClock final : public TTopClock {
public:
    explicit TManualTopClock(qint64 AStartMs)
        : FMs(AStartMs)
    {
    }
    qint64 NowMs() const override { return FMs.load(); }
    bool Wait(qint64 AMs, const TStopCheck& AStop) const override;
    void Set(qint64 AMs) { FMs.store(AMs); }
    // Every wait so far, in milliseconds.
    qint64 WaitedMs() const { return FWaitedMs.load(); }

private:
    mutable std::atomic<qint64> FMs;
    mutable std::atomic<qint64> FWaitedMs {0};
};

// What an answer of the gateway means for the page that asked: the gateway's error table, in one place.
enum class TTopReplyKind {
    Data, // the page
    Ban, // an app call limit (code 7, accesscontrol.*): ask the same page again after the ban
    Quota, // the app's daily quota is spent
    Transient, // isp.*, code 15, a busy service (3001) or no (readable) answer at all: ask again soon
    AccountLimited, // the method's per-account rate limits (9100, 3000): back off, ask again
    Permission, // code 11 or 12, isv.permission-*: the app or the user lacks the method
    Session, // code 26 or 27: the token is missing, expired or revoked
    ClockOff, // code 31: the gateway refused the timestamp, so every request would be refused
    WindowTooLong, // 2007: the gateway refuses the slice's time window
    Business, // a business error of the method's own answer (biz_error_code): a failed page
    Refused, // any other error_response
    Unknown, // JSON without an answer or an error
};

struct TTopReply {
    TTopReplyKind kind = TTopReplyKind::Unknown;
    int code = 0; // the error_response's code, or the method's biz_error_code
    QString subCode;
    QString message; // msg and sub_msg (or biz_error_desc), as the gateway wrote them
    qint64 banSeconds = 0; // "This ban will last N more seconds"; 0 when the answer does not say

    // A refusal that every further request of this account and method would meet as well.
    bool EndsTheDownload() const;
};

// Reads the outcome of a page request from its parsed reply (empty when the exchange failed); AResponse names the
// method's answer object, whose "data" makes the page.
TTopReply ClassifyTopReply(const TQJson& AReply, QStringView AResponse = u"tbk_sc_order_details_get_response");

// The records of a TOP list. TOP writes a list as an object that holds the array under the item's name
// ("results": {"publisher_order_dto": [...]}), an empty one as {}; a bare array is read as well. None for a missing
// node.
std::vector<const TQJson*> TopListItems(const TQJson* AList, QStringView AItemName);

// The next 00:00 in UTC+8 after ANowMs (Unix milliseconds), when the app's daily quota starts again.
qint64 NextQuotaResetMs(qint64 ANowMs);

// The app's standing with the gateway, shared by every account and every download running at once: a spent daily
// quota stops every request until the gateway's day ends, a ban holds every request until it is over, and a call
// limit paces the requests of all downloads together.
class TTopGate {
public:
    // The pacing keeps at most the limit's requests in any window this long: a little over a second, so that the
    // network's jitter cannot crowd one more into the gateway's second.
    static constexpr qint64 kPacingWindowMs = 1100;

    // Until when (Unix ms) the daily quota is spent, and until when a ban holds; in the past or 0 when free.
    qint64 QuotaSpentUntil() const;
    qint64 BannedUntil() const;
    // Records a spent quota at ANowMs; true for the first report of that gateway day (the one to log).
    bool SpendQuota(qint64 ANowMs);
    void Ban(qint64 AUntilMs);

    // Requests a second for all downloads together; 0 (the default) paces nothing.
    void SetCallLimit(int APerSecond);
    int CallLimit() const;
    // Waits until a download may send its next request: no ban holds and its turn of the pacing has come. False
    // when the daily quota is spent, the clock was refused, the gateway is down, or AStop answered true first.
    bool AwaitTurn(const TTopClock& AClock, const TStopCheck& AStop);
    // Downloads waiting for a ban to end.
    int BanWaiters() const { return FBanWaiters.load(); }

    // The gateway refused a timestamp at ANowMs: every download stops asking for a while, since every request
    // would be refused the same way. True for the first report since a timestamp was last accepted (the one to
    // log).
    bool RefuseClock(qint64 ANowMs);
    // A page was read: the clock is right (again).
    void ClockAccepted();
    // Whether the clock's refusal still holds at ANowMs.
    bool ClockRefused(qint64 ANowMs) const;
    // How long a refused clock stops every request before one is tried again.
    static constexpr qint64 kClockHoldMs = 60'000;

    // A gateway whose requests fail one after another (network, time-out, a trickle, an answer too large or
    // unreadable) is down for the rest of the pass: no download asks it any more, so a pass over many accounts
    // cannot spend a time-out on every slice. The next pass tries again.
    static constexpr int kFailuresUntilDown = 4;
    // Counts a failed request; true for the one that takes the gateway down (the one to log).
    bool RequestFailed();
    void RequestSucceeded();
    bool Down() const;
    // A pass starts: the gateway is tried again.
    void NewPass();

private:
    // The time (by the caller's clock) the next request may go out: ANowMs, or one pacing interval after the turn
    // handed out before.
    qint64 ReserveTurn(qint64 ANowMs);

    mutable std::mutex FMutex;
    qint64 FQuotaUntilMs = 0; // guarded by FMutex, as are the next three
    qint64 FBannedUntilMs = 0;
    int FCallLimit = 0;
    qint64 FLastTurnMs = 0;
    qint64 FClockRefusedUntilMs = 0;
    int FFailuresInARow = 0;
    bool FDown = false;
    std::atomic<bool> FClockSaid {false}; // the refused clock was logged and no page was read since
    std::atomic<int> FBanWaiters {0};
};

inline TTopGate* TopGate()
{
    return TGlobal<TTopGate>::Get();
}
