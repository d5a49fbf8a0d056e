#include "taobao/topLimits.h"

#include "foundation/beijingtime.h"
#include "foundation/qjson.h"
#include "foundation/textutil.h"

#include <QDateTime>
#include <QRegularExpression>

#include <algorithm>
#include <chrono>
#include <thread>

namespace {

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

namespace {

// The method's business codes come in sub_code, bare ("9100") or behind a prefix ("isv.9100").
bool IsBusinessCode(const QString& ASubCode, QStringView ACode)
{
    if (!ASubCode.endsWith(ACode))
        return false;
    const qsizetype before = ASubCode.size() - ACode.size() - 1;
    return before < 0 || !ASubCode.at(before).isLetterOrNumber();
}

TTopReplyKind ErrorKind(int ACode, const QString& ASubCode)
{
    const QString sub = ASubCode.toLower();
    if (sub == u"accesscontrol.limited-by-app-access-count")
        return TTopReplyKind::Quota;
    if (ACode == 7 || sub.startsWith(u"accesscontrol."))
        return TTopReplyKind::Ban;
    if (ACode == 11 || ACode == 12 || sub.startsWith(u"isv.permission"))
        return TTopReplyKind::Permission;
    if (ACode == 26 || ACode == 27)
        return TTopReplyKind::Session;
    if (ACode == 31)
        return TTopReplyKind::ClockOff;
    if (IsBusinessCode(sub, u"9100") || IsBusinessCode(sub, u"3000"))
        return TTopReplyKind::AccountLimited;
    if (IsBusinessCode(sub, u"2007"))
        return TTopReplyKind::WindowTooLong;
    if (IsBusinessCode(sub, u"3001") || sub.startsWith(u"isp."))
        return TTopReplyKind::Transient;
    // The remote service failed; one that names a wrong parameter (isv.*) would refuse the page again.
    if (ACode == 15 && !sub.startsWith(u"isv."))
        return TTopReplyKind::Transient;
    return TTopReplyKind::Refused;
}

// The method's own answer: its data, or a business error that must never pass for an empty page.
void ReadAnswer(const TQJson* AAnswer, TTopReply& AReply)
{
    if (AAnswer == nullptr || !AAnswer->IsObject()) {
        AReply.kind = TTopReplyKind::Unknown;
        return;
    }
    const int business = Trim(AAnswer->MemberText(u"biz_error_code")).toInt();
    if (business != 0) {
        AReply.kind = TTopReplyKind::Business;
        AReply.code = business;
        AReply.subCode = QStringLiteral("biz_error_code");
        AReply.message = Trim(AAnswer->MemberText(u"biz_error_desc"));
        return;
    }
    AReply.kind = AAnswer->ItemByName(u"data") != nullptr ? TTopReplyKind::Data : TTopReplyKind::Unknown;
}

} // namespace

bool TTopReply::EndsTheDownload() const
{
    return kind == TTopReplyKind::Permission || kind == TTopReplyKind::Session || kind == TTopReplyKind::ClockOff
        || kind == TTopReplyKind::WindowTooLong;
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
        ReadAnswer(AReply.ItemByName(AResponse), reply);
        return reply;
    }
    reply.code = Trim(error->MemberText(u"code")).toInt();
    reply.subCode = Trim(error->MemberText(u"sub_code"));
    const QString msg = Trim(error->MemberText(u"msg"));
    const QString subMsg = Trim(error->MemberText(u"sub_msg"));
    reply.message = subMsg.isEmpty() ? msg : (msg.isEmpty() ? subMsg : msg + u',' + subMsg);
    reply.banSeconds = std::max(BanSecondsIn(subMsg), BanSecondsIn(msg));
    reply.kind = ErrorKind(reply.code, reply.subCode);
    return reply;
}

std::vector<const TQJson*> TopListItems(const TQJson* AList, QStringView AItemName)
{
    std::vector<const TQJson*> items;
    if (AList != nullptr && AList->IsObject())
        AList = AList->ItemByName(AItemName);
    if (AList == nullptr)
        return items;
    if (!AList->IsArray()) {
        // A list of one written as the item itself; {} or a scalar holds nothing.
        if (AList->IsObject() && AList->Count() > 0)
            items.push_back(AList);
        return items;
    }
    items.reserve(size_t(AList->Count()));
    for (int i = 0; i < AList->Count(); ++i)
        items.push_back(AList->Items(i));
    return items;
}

qint64 NextQuotaResetMs(qint64 ANowMs)
{
    return Beijing::NextMidnightMs(ANowMs);
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
        if (QuotaSpentUntil() > AClock.NowMs() || ClockRefused(AClock.NowMs()) || Down())
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

bool TTopGate::RefuseClock(qint64 ANowMs)
{
    {
        const std::scoped_lock lock(FMutex);
        FClockRefusedUntilMs = std::max(FClockRefusedUntilMs, ANowMs + kClockHoldMs);
    }
    return !FClockSaid.exchange(true);
}

void TTopGate::ClockAccepted()
{
    if (!FClockSaid.load(std::memory_order_relaxed))
        return;
    const std::scoped_lock lock(FMutex);
    FClockRefusedUntilMs = 0;
    FClockSaid = false;
}

bool TTopGate::ClockRefused(qint64 ANowMs) const
{
    const std::scoped_lock lock(FMutex);
    return FClockRefusedUntilMs > ANowMs;
}

bool TTopGate::RequestFailed()
{
    const std::scoped_lock lock(FMutex);
    if (FDown || ++FFailuresInARow < kFailuresUntilDown)
        return false;
    FDown = true;
    return true;
}

void TTopGate::RequestSucceeded()
{
    const std::scoped_lock lock(FMutex);
    FFailuresInARow = 0;
}

bool TTopGate::Down() const
{
    const std::scoped_lock lock(FMutex);
    return FDown;
}

void TTopGate::NewPass()
{
    const std::scoped_lock lock(FMutex);
    FDown = false;
    FFailuresInARow = 0;
}
