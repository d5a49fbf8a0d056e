#include "sync/passRunner.h"

#include "foundation/beijingtime.h"
#include "foundation/concurrentAccounts.h"
#include "foundation/mainthreadcalls.h"
#include "foundation/qerror.h"
#include "foundation/textutil.h"
#include "log/QLog.h"
#include "operator/uapiApp.h"
#include "sessions/alimmTokenMgr.h"
#include "store/udb.h"
#include "sync/accountHealth.h"
#include "sync/delivery.h"
#include "sync/passLifecycle.h"
#include "sync/syncFrontEnd.h"
#include "taobao/orderPass.h"
#include "taobao/topApiGetOrders.h"
#include "taobao/topLimits.h"
#include "taobao/topRefundOrders.h"

#include <algorithm>
#include <exception>
#include <memory>

namespace {

constexpr int kRefundDays = 90;

// Read at every refund run, so an edit of the setting counts from the next run.
TRefundSource RefundSourceSetting()
{
    const TCommon* common = Common();
    return common != nullptr ? common->refundSource() : TRefundSource::Report;
}

// Read at every invalid-order pass, so an edit of the setting counts from the next pass.
int PassConcurrencySetting()
{
    const TCommon* common = Common();
    return common != nullptr ? common->passConcurrency() : 1;
}

// Only the report needs a web session; the API reads with the account's token.
bool NeedsWebSession(TRefundSource ASource)
{
    return ASource == TRefundSource::Report;
}

// Records a reader could not read are each named in an error line; the pass that lost them is no complete one.
QString LostText(int ALost)
{
    return QStringLiteral("%1 条记录无法读取,未提交(订单号见错误日志)").arg(ALost);
}

// A gateway failure is the machine's clock while the gateway refuses its time; otherwise the gateway's.
QString TopSource()
{
    const TTopGate* gate = TopGate();
    return gate != nullptr && gate->ClockRefused(QDateTime::currentMSecsSinceEpoch()) ? QStringLiteral("clock")
                                                                                      : QStringLiteral("top");
}

struct TRefundRead {
    std::vector<TWeiQuanOrderInfo> refunds;
    QString failure; // empty when the source was read whole
    QString failureSource;
    int lost = 0; // records that could not be read
};

// One account's new successful refunds from the source the setting names. In auto, an account the API cannot
// serve (no token, or the method not granted) is read from the report.
TRefundRead ReadRefunds(const TAlimmTokenRecord& AAccount, const TAlimmTokenData& AData, const QDateTime& ABegin,
    const QDateTime& AEnd, const TStopCheck& AStop, TRefundSource ASource)
{
    TRefundRead read;
    bool fromReport
        = ASource == TRefundSource::Report || (ASource == TRefundSource::Auto && TrimView(AData.token).isEmpty());
    if (!fromReport) {
        TTopRefundOrders api(AData.token, AStop);
        api.setAccountName(AData.userName);
        read.refunds = api.getRefundOrders(ABegin, AEnd);
        if (ASource == TRefundSource::Auto && api.permissionRefused()) {
            LogLine(llMessage,
                QStringLiteral("同步维权订单-联盟账号:") + AData.userName
                    + QStringLiteral(" 无权调用淘宝开放平台维权订单接口,改用联盟维权报表"));
            fromReport = true;
        } else {
            read.failure = api.failure();
            read.failureSource = TopSource();
            read.lost = api.lostRecords();
            if (api.permissionRefused())
                LogLine(llError, QStringLiteral("同步维权订单-联盟账号:") + AData.userName + u' ' + api.failure());
        }
    }
    if (!fromReport)
        return read;
    if (ASource == TRefundSource::Auto && !HasWebSession(AAccount)) {
        read.failure = QStringLiteral("淘宝开放平台维权订单接口不可用,且未登录联盟");
        read.failureSource = QStringLiteral("session");
        return read;
    }
    TTopApiGetOrders orders(QString(), AData.cookies, AData._tb_token_, AStop);
    read.refunds = orders.getWeiquanOrders(ABegin, AEnd);
    read.failure = orders.failure();
    read.failureSource = QStringLiteral("report");
    read.lost = orders.lostRecords();
    return read;
}

// A cache that fails a lookup cannot tell new orders from delivered ones: the account's pass posts nothing.
TAccountPassOutcome CacheFailed(const QString& ALogPrefix, const QString& AError)
{
    LogLine(llError, ALogPrefix + QStringLiteral("订单缓存出错,本次未提交:") + AError);
    return TAccountPassOutcome::Failed(AError, QStringLiteral("cache"));
}

// An account's pass as its health and the summary see it: the download's failure first, then a batch the back end
// refused. A stop, or a post cut at the program's end, is no failure: the pass counts as stopped.
TAccountPassOutcome OutcomeOf(bool AStopped, const QString& AFailure, const QString& AFailureSource, qsizetype AFound,
    const TPostOutcome& APosted, int ALost = 0)
{
    const bool cut = APosted.cause == TAPIApp::CutAtExitText();
    TAccountPassOutcome outcome;
    if (!AStopped && !AFailure.isEmpty())
        outcome = TAccountPassOutcome::Failed(AFailure, AFailureSource);
    else if (!AStopped && !APosted.AllAccepted() && !cut)
        outcome = TAccountPassOutcome::Failed(
            APosted.cause, APosted.unrecorded ? QStringLiteral("cache") : QStringLiteral("backend"));
    else if (!AStopped && ALost > 0)
        outcome = TAccountPassOutcome::Failed(LostText(ALost), QStringLiteral("record"));
    outcome.found = static_cast<int>(AFound);
    outcome.delivered = APosted.delivered;
    if (AStopped || cut)
        outcome.state = TAccountPassOutcome::TState::Stopped;
    return outcome;
}

} // namespace

TPassRunner::TPassRunner(
    TSyncFrontEnd& AFrontEnd, TAccountHealth& AHealth, qint64 ASyncInterval, qint64 ARefundInterval)
    : FFrontEnd(AFrontEnd)
    , FHealth(AHealth)
    , FSyncInterval(ASyncInterval)
    , FRefundInterval(ARefundInterval)
    , FDelivery(FAgedOut)
{
}

TPassRunner::~TPassRunner()
{
    SkipMainThreadCalls(this);
}

void TPassRunner::ControlsChangedOnMain()
{
    RunOnMainFor(this, [this] { FFrontEnd.ControlsChanged(); });
}

QString TPassRunner::CacheProblem(const TDBCacheClass* ACache)
{
    return FCacheCheck.Problem(ACache, [this](const QString& AReason) {
        LogLine(llError, AReason);
        RunOnMainFor(this, [this, AReason] {
            FFrontEnd.MessageBox(AReason, kMessageTitle, TSyncFrontEnd::TButtons::Ok, TSyncFrontEnd::TIcon::Error);
        });
    });
}

void TPassRunner::Start()
{
    FJobs.Post([this](TQJob*, const TStopCheck& AStop) { RunInvalidPass(AStop, true); });
    FJobs.Post([this](TQJob*, const TStopCheck& AStop) { RunRefundPass(AStop, true); });
    FJobs.Repeat([this](TQJob*, const TStopCheck& AStop) { RunInvalidPass(AStop, false); }, FSyncInterval);
    FJobs.Repeat([this](TQJob*, const TStopCheck& AStop) { RunRefundPass(AStop, false); }, FRefundInterval);
}

void TPassRunner::Stop(std::function<void()> AStopped)
{
    FJobs.StopAll(std::move(AStopped));
}

qint64 TPassRunner::IntervalMs(TPassKind AKind) const
{
    const qint64 interval = Running() ? (AKind == TPassKind::Invalid ? FSyncInterval : FRefundInterval) : 0;
    return interval / (Q1Second / 1000);
}

void TPassRunner::ForEachAccount(TPassScope& APass, TPassKind AKind, const TStopCheck& AStop,
    const TSynchronise& ASynchronise, const std::function<bool(const TAlimmTokenRecord&)>& ASkip, int AConcurrency)
{
    FCacheCheck.NewPass();
    // Posts stopped because an accepted batch could not be recorded go on once the cache takes a write again.
    if (FDelivery.RecordingStopped() && CacheProblem(DBCache()).isEmpty())
        FDelivery.ResumeRecording();
    // A gateway that was down in the last pass is tried again.
    if (TTopGate* gate = TopGate())
        gate->NewPass();
    TAlimmTokenMgr* store = AlimmTokenMgr();
    // Read once: accounts a refresh adds meanwhile wait for the next pass.
    const int count = store ? store->count() : 0;
    TConcurrentAccounts(count, AConcurrency).Run(AStop, [&](int AIndex) {
        const PAlimmTokenData account = store->GetItem(AIndex);
        // An account the operator took out of the list is not synchronised any more.
        if (!account || !account->listed())
            return;
        if (ASkip && ASkip(*account)) {
            const TAccountPassOutcome skipped = TAccountPassOutcome::Skipped();
            FHealth.AccountPassEnded(AKind, account->userId(), QDateTime::currentDateTime(), skipped);
            APass.AccountEnded(account->userName(), skipped);
            return;
        }
        SynchroniseAccount(APass, AKind, account, ASynchronise);
    });
}

void TPassRunner::SynchroniseAccount(
    TPassScope& APass, TPassKind AKind, const PAlimmTokenData& AAccount, const TSynchronise& ASynchronise)
{
    const QDateTime start = QDateTime::currentDateTime();
    FHealth.AccountPassStarted(AKind, AAccount->userId());
    TAccountPassOutcome outcome;
    try {
        outcome = ASynchronise(AAccount);
    } catch (...) {
        // Whatever an account throws is its own failure: the pass ends it with a cause and goes on.
        outcome = TAccountPassOutcome::Failed(ErrorMessageOf(std::current_exception()), QStringLiteral("error"));
    }
    FHealth.AccountPassEnded(AKind, AAccount->userId(), start, outcome);
    APass.AccountEnded(AAccount->userName(), outcome);
}

void TPassRunner::SyncInvalidOrdersJob(TQJob* AJob)
{
    RunInvalidPass(StopCheckOf(AJob), false);
}

// A repeating run that finds another pass still running skips its turn (the next comes at its time); the first
// pass of a start waits for its turn instead.
void TPassRunner::RunInvalidPass(const TStopCheck& AStop, bool AWaitTurn)
{
    const TPassSlot::THold slot = AWaitTurn ? FInvalidPass.Take(AStop) : FInvalidPass.TryTake();
    if (!slot) {
        TPassScope::Skipped(FHealth, TPassKind::Invalid);
        return;
    }
    TPassScope pass(FHealth, TPassKind::Invalid, AStop, [this] { return IntervalMs(TPassKind::Invalid); });
    ForEachAccount(
        pass, TPassKind::Invalid, AStop,
        [this, &AStop](PAlimmTokenData AAccount) { return SyncInvalidOrdersOfAccount(AAccount, AStop); }, {},
        PassConcurrencySetting());
}

TAccountPassOutcome TPassRunner::SyncInvalidOrdersOfAccount(PAlimmTokenData AAccount, const TStopCheck& AStop)
{
    TDBCacheClass* cache = DBCache();
    if (const QString problem = CacheProblem(cache); !problem.isEmpty())
        return TAccountPassOutcome::Failed(problem, QStringLiteral("cache"));
    const QString accountKey = AAccount->userId();
    const TOrderPassResult pass = TOrderPass().Run(
        accountKey, AAccount->userName(), AAccount->token(), TDelivery::Watermarks(*cache, accountKey), AStop);
    const bool stopped = AStop();
    const QString prefix = QStringLiteral("同步失效/确认收货订单:") + AAccount->userName() + u';';
    // A stopped or failed pass read only part of the window: its count is no total.
    const auto announce = [&](qsizetype ANew) {
        if (stopped || pass.failure.isEmpty()) {
            LogLine(llMessage,
                prefix + (stopped ? QStringLiteral("同步已停止,已取得 ") : pass.Scope() + QStringLiteral("共 "))
                    + QString::number(ANew) + QStringLiteral(" 条未同步订单!"));
        } else {
            LogLine(llError,
                prefix + pass.failure + QStringLiteral(",已取得 ") + QString::number(ANew)
                    + QStringLiteral(" 条未同步订单,其余下次同步再取"));
        }
    };
    TDelivered delivered;
    try {
        delivered = FDelivery.DeliverInvalid(
            *cache, APIApp(), accountKey, AAccount->userName(), pass, !stopped && pass.failure.isEmpty(), announce);
    } catch (const ECacheError& error) {
        return CacheFailed(prefix, error.Message());
    }
    FHealth.OrdersAgedOut(accountKey, delivered.agedOut);
    return OutcomeOf(stopped, pass.failure, TopSource(), delivered.found, delivered.posted, pass.lostRecords);
}

void TPassRunner::RunRefundPass(const TStopCheck& AStop, bool AWaitTurn)
{
    const TPassSlot::THold slot = AWaitTurn ? FRefundPass.Take(AStop) : FRefundPass.TryTake();
    if (!slot) {
        TPassScope::Skipped(FHealth, TPassKind::Refund);
        return;
    }
    const TRefundSource source = RefundSourceSetting();
    TPassScope pass(FHealth, TPassKind::Refund, AStop, [this] { return IntervalMs(TPassKind::Refund); });
    // An account without a web session has nothing to read from the report: skipped, its row as it is.
    ForEachAccount(
        pass, TPassKind::Refund, AStop,
        [this, &AStop, source](PAlimmTokenData AAccount) {
            const QDateTime now = BeijingNow();
            return SyncRefundOrdersOfAccount(AAccount, now.addDays(-kRefundDays), now, AStop, source);
        },
        [source](const TAlimmTokenRecord& AAccount) { return NeedsWebSession(source) && !HasWebSession(AAccount); });
}

TAccountPassOutcome TPassRunner::SyncRefundOrdersOfAccount(PAlimmTokenData AAccount, const QDateTime& ABegin,
    const QDateTime& AEnd, const TStopCheck& AStop, TRefundSource ASource)
{
    AAccount->setReadLock(false);
    TDBCacheClass* cache = DBCache();
    if (const QString problem = CacheProblem(cache); !problem.isEmpty())
        return TAccountPassOutcome::Failed(problem, QStringLiteral("cache"));
    const TAlimmTokenData account = AAccount->Snapshot();
    const QString prefix = QStringLiteral("同步维权订单-联盟账号:") + account.userName + u';';
    const TRefundRead read = ReadRefunds(*AAccount, account, ABegin, AEnd, AStop, ASource);
    const bool stopped = AStop();
    const QString& failure = read.failure;
    // A report that could not be read whole is no count: its refunds so far go out, the pass says what failed.
    const auto announce = [&](qsizetype ANew) {
        if (stopped || failure.isEmpty()) {
            LogLine(llMessage,
                prefix + (stopped ? QStringLiteral("同步已停止,已取得 ") : QStringLiteral("90天内共有 "))
                    + QString::number(ANew) + QStringLiteral(" 条维权订单未同步!"));
        } else {
            LogLine(llError,
                prefix + failure + QStringLiteral(",已取得 ") + QString::number(ANew)
                    + QStringLiteral(" 条维权订单未同步,下次同步再取"));
        }
    };
    TDelivered delivered;
    try {
        delivered = FDelivery.DeliverRefunds(*cache, APIApp(), read.refunds, announce);
    } catch (const ECacheError& error) {
        return CacheFailed(prefix, error.Message());
    }
    return OutcomeOf(stopped, failure, read.failureSource, delivered.found, delivered.posted, read.lost);
}

void TPassRunner::SyncWeiquanClick()
{
    FJobs.Post([this](TQJob*, const TStopCheck& AStop) { RunManualRefunds(AStop); });
}

void TPassRunner::SyncRefundOrdersNow(TQJob* AJob)
{
    RunManualRefunds(StopCheckOf(AJob));
}

namespace {

// Leaves the manual run's count when it goes, however the run ended.
class TManualRun {
public:
    TManualRun(std::atomic<int>& ARuns, std::function<void()> AChanged)
        : FRuns(ARuns)
        , FChanged(std::move(AChanged))
    {
        FRuns.fetch_add(1);
        FChanged();
    }
    TManualRun(const TManualRun&) = delete;
    TManualRun& operator=(const TManualRun&) = delete;
    ~TManualRun()
    {
        FRuns.fetch_sub(1);
        FChanged();
    }

private:
    std::atomic<int>& FRuns;
    const std::function<void()> FChanged;
};

} // namespace

void TPassRunner::RunManualRefunds(const TStopCheck& AStop)
{
    const QDateTime end = BeijingNow();
    const QDateTime begin = end.addDays(-kRefundDays);
    const TRefundSource source = RefundSourceSetting();
    const TManualRun run(FManualRefunds, [this] { ControlsChangedOnMain(); });
    // A click while a refund pass runs waits for it rather than posting the same refunds beside it; a stop before
    // its turn ends it unrun.
    const TPassSlot::THold slot = FRefundPass.Take(AStop);
    if (!slot) {
        TPassScope::Skipped(FHealth, TPassKind::Refund);
        LogLine(llWarning, u"维权订单同步已停止");
        return;
    }
    LogLine(llMessage, u"开始同步维权订单");
    TPassEnd outcome = TPassEnd::Complete;
    QStringList failed;
    {
        TPassScope pass(
            FHealth, TPassKind::Refund, AStop, [this] { return IntervalMs(TPassKind::Refund); }, false);
        ForEachAccount(
            pass, TPassKind::Refund, AStop,
            [this, &begin, &end, &AStop, source](
                PAlimmTokenData AAccount) { return SyncRefundOrdersOfAccount(AAccount, begin, end, AStop, source); },
            [source](const TAlimmTokenRecord& AAccount) {
                if (!NeedsWebSession(source) || HasWebSession(AAccount))
                    return false;
                LogLine(llMessage,
                    QStringLiteral("同步维权订单-联盟账号:") + AAccount.userName()
                        + QStringLiteral(" 未登录，请先登录"));
                return true;
            });
        outcome = pass.End();
        failed = pass.Failed();
    }
    // The closing line says what happened: complete only when every account was.
    if (outcome == TPassEnd::Complete)
        LogLine(llMessage, u"维权订单同步完成");
    else if (outcome == TPassEnd::Stopped)
        LogLine(llWarning, u"维权订单同步已停止");
    else
        LogLine(llError, QStringLiteral("维权订单同步未完成,失败账号: ") + failed.join(QStringLiteral("; ")));
}

void TPassRunner::RunPassesOnce(std::function<void()> ADone)
{
    auto done = std::make_shared<std::function<void()>>(std::move(ADone));
    const bool posted = FJobs.Post([this, done](TQJob* AJob, const TStopCheck& AStop) {
        try {
            RunInvalidPass(AStop, false);
            RunRefundPass(AStop, false);
        } catch (...) {
            LogJobError(AJob, std::current_exception());
        }
        RunOnMainFor(this, [done] { (*done)(); });
    });
    if (!posted)
        (*done)();
}
