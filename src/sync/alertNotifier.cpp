#include "sync/alertNotifier.h"

#include "foundation/qhttp.h"
#include "log/QLog.h"

#include <algorithm>

namespace {

// Between the first attempt and the second: a receiver that refused a connection may be back a moment later.
constexpr std::chrono::milliseconds kRetryPause {300};
constexpr qint64 kReplyCap = 64 * 1024;

QString Summary(const THealthAlert& AAlert)
{
    const QString state = AlertStateName(AAlert.state);
    return AAlert.userId.isEmpty() ? state + u' ' + AAlert.source
                                   : state + QStringLiteral(" 联盟账号 ") + AAlert.userName;
}

} // namespace

TAlertNotifier::TAlertNotifier(
    TAlertTarget ATarget, QString ACaFile, std::chrono::milliseconds ADeadline, TClock AClock)
    : FTarget(std::move(ATarget))
    , FCaFile(std::move(ACaFile))
    , FDeadline(ADeadline)
    , FClock(std::move(AClock))
    , FThread([this] { Run(); })
{
}

TAlertNotifier::~TAlertNotifier()
{
    {
        const std::scoped_lock lock(FLock);
        FClosing = true;
        FCloseBy = TSteady::now() + FDeadline;
    }
    FWake.notify_all();
    FThread.join();
}

void TAlertNotifier::Post(THealthAlert AAlert)
{
    {
        const std::scoped_lock lock(FLock);
        if (FClosing)
            return;
        FQueue.push_back(std::move(AAlert));
    }
    FWake.notify_all();
}

TAlertNotifier::TSteady::time_point TAlertNotifier::EndOf(TSteady::time_point ADeadline)
{
    const std::scoped_lock lock(FLock);
    return FClosing ? std::min(ADeadline, FCloseBy) : ADeadline;
}

void TAlertNotifier::Run()
{
    for (;;) {
        THealthAlert alert;
        size_t cut = 0;
        {
            std::unique_lock lock(FLock);
            FWake.wait(lock, [this] { return FClosing || !FQueue.empty(); });
            if (FQueue.empty())
                return;
            if (FClosing && TSteady::now() >= FCloseBy) {
                cut = FQueue.size();
                FQueue.clear();
            } else {
                alert = std::move(FQueue.front());
                FQueue.pop_front();
            }
        }
        if (cut > 0) {
            LogLine(llError, QStringLiteral("程序退出时仍有 %1 条告警未发出(%2)").arg(cut).arg(FTarget.Host()));
            return;
        }
        try {
            Send(alert);
        } catch (...) {
            // Nothing may end this thread but the close: the next alert still goes.
            LogLine(llError, QStringLiteral("告警发送失败(") + FTarget.Host() + QStringLiteral("): ") + Summary(alert));
        }
    }
}

void TAlertNotifier::Send(const THealthAlert& AAlert)
{
    const TSteady::time_point deadline = TSteady::now() + FDeadline;
    QString error = Attempt(AAlert, deadline);
    if (!error.isEmpty() && EndOf(deadline) - TSteady::now() > kRetryPause) {
        {
            // The pause ends early at the close, which leaves the retry its share of the close's deadline.
            std::unique_lock lock(FLock);
            FWake.wait_for(lock, kRetryPause, [this] { return FClosing; });
        }
        error = Attempt(AAlert, deadline);
    }
    if (!error.isEmpty())
        LogLine(llError,
            QStringLiteral("告警发送失败(") + FTarget.Host() + QStringLiteral("): ") + error + QStringLiteral(",告警: ")
                + Summary(AAlert));
}

QString TAlertNotifier::Attempt(const THealthAlert& AAlert, TSteady::time_point ADeadline)
{
    const TSteady::time_point end = EndOf(ADeadline);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - TSteady::now());
    const QString late = QStringLiteral("no answer within %1 ms").arg(FDeadline.count());
    if (left.count() <= 0)
        return late;
    const TAlertRequest message = BuildAlertRequest(FTarget, AAlert, FClock ? FClock() : QDateTime::currentDateTime());
    // The time-outs leave the end to the stop check below, so that it is said one way.
    THttpRequest request
        = THttpRequest::ForPost(message.url, {}, u"Quenlar", static_cast<int>((left + kRetryPause).count()));
    request.body = message.body;
    request.contentType = QStringLiteral("application/json; charset=utf-8");
    request.accept = QStringLiteral("application/json");
    request.maxReplyBytes = kReplyCap;
    if (message.url.startsWith(u"https:", Qt::CaseInsensitive))
        request.tls = THttpTls {FCaFile};
    // The whole exchange, connecting included, ends at the deadline; so does one cut short by the close.
    request.stopCheck = [this, ADeadline] { return TSteady::now() >= EndOf(ADeadline); };
    QString error;
    const QString reply = HttpExchange(request, &error);
    if (error == u"Stopped")
        return late;
    if (!error.isEmpty())
        return error;
    return AlertReplyError(FTarget.format, reply);
}
