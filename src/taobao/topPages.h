#pragma once

#include "taobao/topLimits.h"

#include <QString>
#include <QStringView>

#include <functional>

// One download's reading of TOP pages for one account, shared by the order download and the refund method: each
// request waits for the gate's turn; a ban is waited out and the page asked again; a spent daily quota stops every
// account until the gateway's day ends; a transient failure is retried after a back-off until the gateway counts
// as down for the rest of the download. It also keeps the download's first failure and whether the account's
// session was abandoned. The caller gives the request and handles a refusal, which differs by method.
class TTopPages {
public:
    enum class TOutcome { Read, Failed, Stopped };

    static constexpr int kPagePauseMs = 5;
    // A ban is waited out for the seconds the gateway names plus one, never longer than this.
    static constexpr qint64 kBanWaitCapS = 300;
    // Successive bans of one page before its slice is given up.
    static constexpr int kBansPerPage = 3;
    // A page that met a transient failure is asked again this often, after these pauses.
    static constexpr int kTransientRetries = 2;
    static constexpr qint64 kTransientBackOffMs[kTransientRetries] = {250, 500};
    // A page the account's own rate limit refused is asked again after these pauses, then given up.
    static constexpr int kAccountLimitRetries = 3;
    static constexpr qint64 kAccountLimitBackOffMs[kAccountLimitRetries] = {1000, 2000, 4000};

    explicit TTopPages(TStopCheck AStop = {})
        : FStop(std::move(AStop))
    {
    }
    TTopPages(const TTopPages&) = delete;
    TTopPages& operator=(const TTopPages&) = delete;

    // One page, asked again after a ban or a transient failure. ARequest sends it once and returns the reply's
    // kind (and, for data, has taken the page); ARefused answers a refusal. AWhat names what is read in the log line
    // of a gateway given up on ("" for orders).
    TOutcome Read(const std::function<TTopReply()>& ARequest, const std::function<TOutcome(const TTopReply&)>& ARefused,
        QStringView AWhat);
    // The request calls this as the reply arrives, before it reads the page.
    void ReplyArrived() { FReplyAtMs = FClock->NowMs(); }
    // The pause between a page's reply and the next request. It runs from the reply, so reading the page overlaps
    // it: the gateway still sees at least this gap.
    void PauseAfterPage() const;

    // "code:…,sub_code:…,msg:…" of a refusal, for its log line and failure.
    static QString RefusalText(const TTopReply& AReply);
    // A refusal of the page: logged once for the download (AWhat names what was asked, "订单" or "维权订单") and
    // made its failure, with what the operator should do; one that every further request would meet ends the
    // download. AWindow is the slice's time window, named when the gateway finds it too long.
    TOutcome Refused(const TTopReply& AReply, QStringView AWhat, const QString& AWindow, bool ALog = true);

    bool StopRequested() const;
    // Why no request may go out now (the daily quota spent, the clock refused, the gateway down for this pass);
    // empty when requests may go.
    QString Blocked();
    // Records the download's first failure; answers Failed.
    TOutcome Failed(const QString& AReason);
    // Logs AText at llError unless this download already logged its refusal or failure.
    void LogOnce(const QString& AText);
    void Abandon() { FAbandoned = true; }
    bool Abandoned() const { return FAbandoned; }
    const QString& failure() const { return FFailure; }

    void setAccountName(const QString& AValue) { FAccountName = AValue; }
    const QString& accountName() const { return FAccountName; }
    void setClock(const TTopClock* AValue) { FClock = AValue != nullptr ? AValue : &SystemTopClock(); }
    const TTopClock& clock() const { return *FClock; }
    void setGate(TTopGate* AValue) { FGate = AValue; }
    // The gate set, else the process-wide one, else this download's own.
    TTopGate& Gate();

private:
    TOutcome Banned(const TTopReply& AReply, int& ABans);
    TOutcome QuotaReached();
    TOutcome ClockRefused(const TTopReply& AReply);
    TOutcome AccountLimited(const TTopReply& AReply, int& ATries);
    TOutcome GatewayFailed(const TTopReply& AReply, QStringView AWhat);
    // The sub-code of a transient failure, or "网络错误" when there was no answer.
    static QString FailureName(const TTopReply& AReply);

    TStopCheck FStop;
    QString FAccountName;
    const TTopClock* FClock = &SystemTopClock();
    TTopGate* FGate = nullptr;
    TTopGate FOwnGate;
    qint64 FReplyAtMs = 0; // when the last page arrived, by FClock
    QString FFailure;
    bool FLogged = false;
    bool FGatewayDown = false; // transient failures outlasted the retries; no retries until a page is read
    bool FAccountLimited = false; // the account's rate limit outlasted the back-offs; likewise
    bool FAbandoned = false; // the session or the method was refused: no further request
};
