#include "taobao/topLimits.h"

#include "foundation/qjson.h"
#include "foundation/textutil.h"

#include <QDateTime>
#include <QRegularExpression>

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

constexpr qint64 kDayMs = 86'400'000;
constexpr qint64 kUtc8OffsetMs = 8 * 3'600'000;
constexpr qint64 kStopPollMs = 20;

// Counts its holder in a counter while it lives.
class TCounted {
public:
    explicit TCounted(std::atomic<int>& ACounter)
        : FCounter(ACounter)
    {
        ++FCounter;
    }
    ~TCounted() { --FCounter; }
    TCounted(const TCounted&) = delete;
    TCounted& operator=(const TCounted&) = delete;

private:
    std::atomic<int>& FCounter;
};

qint64 BanSecondsIn(const QString& AText)
{
    static const QRegularExpression kBan(
        QStringLiteral("last\\s+(?:for\\s+)?(\\d{1,9})\\s+more\\s+second"), QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = kBan.match(AText);
    return match.hasMatch() ? match.captured(1).toLongLong() : 0;
}

} // namespace

qint64 TSystemTopClock::NowMs() const
{
    return QDateTime::currentMSecsSinceEpoch();
}

bool TSystemTopClock::Wait(qint64 AMs, const TStopCheck& AStop) const
{
    using namespace std::chrono;
    const auto until = steady_clock::now() + milliseconds(std::max<qint64>(0, AMs));
    for (;;) {
        if (AStop && AStop())
            return false;
        const auto now = steady_clock::now();
        if (now >= until)
            return true;
        std::this_thread::sleep_for(std::min<steady_clock::duration>(until - now, milliseconds(kStopPollMs)));
    }
}

const TTopClock& SystemTopClock()
{
    static const TSystemTopClock clock;
    return clock;
}

bool TManualTopClock::Wait(qint64 AMs, const TStopCheck& AStop) const
{
    if (AStop && AStop())
        return false;
    const qint64 step = std::max<qint64>(0, AMs);
    FMs += step;
    FWaitedMs += step;
    return true;
}

TTopReply ClassifyTopReply(const TQJson& AReply, QStringView AResponse)
{
    TTopReply reply;
    if (!AReply.IsContainer()) {
        // Nothing readable came back: the exchange failed (network, time-out) or the body was not JSON.
        reply.kind = TTopReplyKind::Transient;
        return reply;
    }
    const TQJson* error = AReply.ItemByName(u"error_response");
    if (error == nullptr) {
        const TQJson* answer = AReply.ItemByName(AResponse);
        reply.kind = answer != nullptr && answer->ItemByName(u"data") != nullptr ? TTopReplyKind::Data
                                                                                 : TTopReplyKind::Unknown;
        return reply;
    }
    reply.code = Trim(error->MemberText(u"code")).toInt();
    reply.subCode = Trim(error->MemberText(u"sub_code"));
    const QString msg = Trim(error->MemberText(u"msg"));
    const QString subMsg = Trim(error->MemberText(u"sub_msg"));
    reply.message = subMsg.isEmpty() ? msg : (msg.isEmpty() ? subMsg : msg + u',' + subMsg);
    reply.banSeconds = std::max(BanSecondsIn(subMsg), BanSecondsIn(msg));
    const QString sub = reply.subCode.toLower();
    if (sub == u"accesscontrol.limited-by-app-access-count")
        reply.kind = TTopReplyKind::Quota;
    else if (sub == u"accesscontrol.limited-by-api-access-count"
        || sub == u"accesscontrol.limited-by-app-api-access-count")
        reply.kind = TTopReplyKind::Ban;
    else if (sub.startsWith(u"isp."))
        reply.kind = TTopReplyKind::Transient;
    else
        reply.kind = TTopReplyKind::Refused;
    return reply;
}

qint64 NextQuotaResetMs(qint64 ANowMs)
{
    const qint64 local = ANowMs + kUtc8OffsetMs;
    const qint64 day = local >= 0 ? local / kDayMs : (local - kDayMs + 1) / kDayMs;
    return (day + 1) * kDayMs - kUtc8OffsetMs;
}

qint64 TTopGate::QuotaSpentUntil() const
{
    const std::scoped_lock lock(FMutex);
    return FQuotaUntilMs;
}

qint64 TTopGate::BannedUntil() const
{
    const std::scoped_lock lock(FMutex);
    return FBannedUntilMs;
}

bool TTopGate::SpendQuota(qint64 ANowMs)
{
    const qint64 until = NextQuotaResetMs(ANowMs);
    const std::scoped_lock lock(FMutex);
    if (FQuotaUntilMs >= until)
        return false;
    FQuotaUntilMs = until;
    return true;
}

void TTopGate::Ban(qint64 AUntilMs)
{
    const std::scoped_lock lock(FMutex);
    FBannedUntilMs = std::max(FBannedUntilMs, AUntilMs);
}

void TTopGate::SetCallLimit(int APerSecond)
{
    const std::scoped_lock lock(FMutex);
    FCallLimit = std::max(0, APerSecond);
}

int TTopGate::CallLimit() const
{
    const std::scoped_lock lock(FMutex);
    return FCallLimit;
}

qint64 TTopGate::ReserveTurn(qint64 ANowMs)
{
    const std::scoped_lock lock(FMutex);
    if (FCallLimit <= 0)
        return ANowMs;
    // Evenly spaced turns: any window of kPacingWindowMs holds at most FCallLimit of them.
    const qint64 interval = (kPacingWindowMs + FCallLimit - 1) / FCallLimit;
    const qint64 turn = FLastTurnMs == 0 ? ANowMs : std::max(ANowMs, FLastTurnMs + interval);
    FLastTurnMs = turn;
    return turn;
}

bool TTopGate::AwaitTurn(const TTopClock& AClock, const TStopCheck& AStop)
{
    for (;;) {
        if (QuotaSpentUntil() > AClock.NowMs())
            return false;
        const qint64 ban = BannedUntil() - AClock.NowMs();
        if (ban > 0) {
            const TCounted waiting(FBanWaiters);
            if (!AClock.Wait(ban, AStop))
                return false;
            continue; // another download may have met a longer ban meanwhile
        }
        const qint64 wait = ReserveTurn(AClock.NowMs()) - AClock.NowMs();
        if (wait > 0 && !AClock.Wait(wait, AStop))
            return false;
        if (BannedUntil() <= AClock.NowMs())
            return true;
    }
}
