#include "taobao/topPages.h"

#include "foundation/qworker.h"
#include "log/QLog.h"

#include <QDateTime>

#include <algorithm>

namespace {

const QString kQuotaSpentText = QStringLiteral("淘宝开放平台应用今日调用次数已用完");
const QString kGatewayDownText = QStringLiteral("淘宝开放平台连续请求失败,本次同步不再请求,下次同步再试");
const QString kClockOffText = QStringLiteral("本机时间与北京时间相差超过10分钟,淘宝开放平台拒绝请求,请校准本机时间");

QString AccountText(const QString& AName)
{
    return QStringLiteral("联盟账号 ") + AName;
}

} // namespace

TTopPages::TOutcome TTopPages::Read(const std::function<TTopReply()>& ARequest,
    const std::function<TOutcome(const TTopReply&)>& ARefused, QStringView AWhat)
{
    int bans = 0;
    int transients = 0;
    int accountLimits = 0;
    for (;;) {
        if (!Gate().AwaitTurn(*FClock, [this] { return StopRequested(); })) {
            if (StopRequested())
                return TOutcome::Stopped;
            const QString blocked = Blocked();
            return Failed(blocked.isEmpty() ? kQuotaSpentText : blocked);
        }
        const TTopReply reply = ARequest();
        if (StopRequested())
            return TOutcome::Stopped;
        switch (reply.kind) {
        case TTopReplyKind::Data:
            FGatewayDown = false;
            FAccountLimited = false;
            Gate().ClockAccepted();
            Gate().RequestSucceeded();
            return TOutcome::Read;
        case TTopReplyKind::ClockOff:
            return ClockRefused(reply);
        case TTopReplyKind::AccountLimited:
            if (const TOutcome outcome = AccountLimited(reply, accountLimits); outcome != TOutcome::Read)
                return outcome;
            continue;
        case TTopReplyKind::Ban:
            if (const TOutcome outcome = Banned(reply, bans); outcome != TOutcome::Read)
                return outcome;
            continue;
        case TTopReplyKind::Quota:
            return QuotaReached();
        case TTopReplyKind::Transient:
            if (Gate().RequestFailed()) {
                LogLine(llError,
                    QStringLiteral("淘宝开放平台连续 ") + QString::number(TTopGate::kFailuresUntilDown)
                        + QStringLiteral(" 次请求失败(") + FailureName(reply) + u',' + AccountText(FAccountName)
                        + QStringLiteral("),本次同步的其余请求不再发出,下次同步再试"));
            }
            if (Gate().Down())
                return Failed(kGatewayDownText + u'(' + FailureName(reply) + u')');
            if (FGatewayDown || transients == kTransientRetries)
                return GatewayFailed(reply, AWhat);
            if (!FClock->Wait(kTransientBackOffMs[transients++], [this] { return StopRequested(); }))
                return TOutcome::Stopped;
            continue;
        case TTopReplyKind::Permission:
        case TTopReplyKind::Session:
        case TTopReplyKind::WindowTooLong:
        case TTopReplyKind::Business:
        case TTopReplyKind::Refused:
            return ARefused(reply);
        case TTopReplyKind::Unknown:
            break;
        }
        return Failed(QStringLiteral("淘宝开放平台的回复无法识别"));
    }
}

// Read when the ban is recorded and the page may be asked again.
TTopPages::TOutcome TTopPages::Banned(const TTopReply& AReply, int& ABans)
{
    if (++ABans > kBansPerPage)
        return Failed(QStringLiteral("淘宝开放平台限流(") + AReply.subCode + QStringLiteral(")未解除"));
    const qint64 seconds = std::min(std::max<qint64>(AReply.banSeconds, 0) + 1, kBanWaitCapS);
    Gate().Ban(FClock->NowMs() + seconds * 1000);
    LogLine(llWarning,
        AccountText(FAccountName) + QStringLiteral(" 调用淘宝开放平台被限流(") + AReply.subCode
            + QStringLiteral("),等待 ") + QString::number(seconds) + QStringLiteral(" 秒后重新请求..."));
    return TOutcome::Read;
}

TTopPages::TOutcome TTopPages::QuotaReached()
{
    // Said once for all accounts: by the download that found the quota spent first.
    if (Gate().SpendQuota(FClock->NowMs())) {
        const QDateTime resume = QDateTime::fromMSecsSinceEpoch(Gate().QuotaSpentUntil());
        LogLine(llError,
            kQuotaSpentText + u'(' + AccountText(FAccountName) + QStringLiteral("),所有账号暂停订单同步,")
                + resume.toString(u"yyyy-MM-dd HH:mm:ss") + QStringLiteral(" 后恢复"));
    }
    return Failed(kQuotaSpentText);
}

// Every account's requests would be refused the same way: said once, and no request goes out for a while.
TTopPages::TOutcome TTopPages::ClockRefused(const TTopReply& AReply)
{
    if (Gate().RefuseClock(FClock->NowMs())) {
        LogLine(llError,
            kClockOffText + QStringLiteral("(") + AccountText(FAccountName) + u',' + RefusalText(AReply)
                + QStringLiteral("),所有账号暂停同步"));
    }
    Abandon();
    return Failed(kClockOffText);
}

// The account's own rate limit: only this download waits; the others go on.
TTopPages::TOutcome TTopPages::AccountLimited(const TTopReply& AReply, int& ATries)
{
    if (FAccountLimited || ATries == kAccountLimitRetries) {
        FAccountLimited = true;
        return Failed(QStringLiteral("淘宝开放平台账号限流(") + AReply.subCode + QStringLiteral(")未解除"));
    }
    const qint64 pauseMs = std::max(kAccountLimitBackOffMs[ATries++], AReply.banSeconds * 1000);
    LogLine(llWarning,
        AccountText(FAccountName) + QStringLiteral(" 调用淘宝开放平台被账号限流(") + AReply.subCode
            + QStringLiteral("),等待 ") + QString::number((pauseMs + 999) / 1000) + QStringLiteral(" 秒后重新请求..."));
    if (!FClock->Wait(std::min(pauseMs, kBanWaitCapS * 1000), [this] { return StopRequested(); }))
        return TOutcome::Stopped;
    return TOutcome::Read;
}

TTopPages::TOutcome TTopPages::Refused(const TTopReply& AReply, QStringView AWhat, const QString& AWindow, bool ALog)
{
    const QString refusal = RefusalText(AReply);
    if (ALog) {
        LogOnce(
            AccountText(FAccountName) + u' ' + AWhat.toString() + QStringLiteral("请求被淘宝开放平台拒绝,") + refusal);
    }
    if (AReply.EndsTheDownload())
        Abandon();
    switch (AReply.kind) {
    case TTopReplyKind::Permission:
        return Failed(QStringLiteral("淘宝开放平台权限不足,应用无权为该账号调用此接口(") + refusal + u')');
    case TTopReplyKind::Session:
        return Failed(QStringLiteral("淘宝开放平台授权已失效,请重新授权该账号(") + refusal + u')');
    case TTopReplyKind::WindowTooLong:
        return Failed(QStringLiteral("淘宝开放平台拒绝查询时间段 ") + AWindow + QStringLiteral(":时间跨度过长(")
            + refusal + u')');
    default:
        return Failed(QStringLiteral("淘宝开放平台拒绝,") + refusal);
    }
}

QString TTopPages::FailureName(const TTopReply& AReply)
{
    return AReply.subCode.isEmpty() ? QStringLiteral("网络错误") : AReply.subCode;
}

TTopPages::TOutcome TTopPages::GatewayFailed(const TTopReply& AReply, QStringView AWhat)
{
    const QString what = FailureName(AReply);
    if (!FGatewayDown) {
        LogOnce(AccountText(FAccountName) + QStringLiteral(" 请求淘宝开放平台") + AWhat.toString()
            + QStringLiteral("失败(") + what + QStringLiteral("),重试 ") + QString::number(kTransientRetries)
            + QStringLiteral(" 次后放弃,下次同步再取"));
    }
    FGatewayDown = true;
    return Failed(QStringLiteral("请求淘宝开放平台失败(") + what + u')');
}

QString TTopPages::RefusalText(const TTopReply& AReply)
{
    if (AReply.kind == TTopReplyKind::Business) {
        return QStringLiteral("biz_error_code:") + QString::number(AReply.code) + QStringLiteral(",biz_error_desc:")
            + AReply.message;
    }
    return QStringLiteral("code:") + QString::number(AReply.code) + QStringLiteral(",sub_code:") + AReply.subCode
        + QStringLiteral(",msg:") + AReply.message;
}

void TTopPages::PauseAfterPage() const
{
    FClock->Wait(FReplyAtMs + kPagePauseMs - FClock->NowMs(), {});
}

bool TTopPages::StopRequested() const
{
    if (const TQWorkers* workers = JobScheduler(); workers != nullptr && workers->Terminating())
        return true;
    return FStop && FStop();
}

QString TTopPages::Blocked()
{
    if (Gate().QuotaSpentUntil() > FClock->NowMs())
        return kQuotaSpentText;
    if (Gate().ClockRefused(FClock->NowMs()))
        return kClockOffText;
    if (Gate().Down())
        return kGatewayDownText;
    return QString();
}

TTopPages::TOutcome TTopPages::Failed(const QString& AReason)
{
    if (FFailure.isEmpty())
        FFailure = AReason;
    return TOutcome::Failed;
}

void TTopPages::LogOnce(const QString& AText)
{
    if (FLogged)
        return;
    FLogged = true;
    LogLine(llError, AText);
}

TTopGate& TTopPages::Gate()
{
    if (FGate != nullptr)
        return *FGate;
    TTopGate* shared = TopGate();
    return shared != nullptr ? *shared : FOwnGate;
}
