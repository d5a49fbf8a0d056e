#include "sync/passRunner.h"

#include "foundation/beijingtime.h"
#include "foundation/qerror.h"
#include "foundation/textutil.h"
#include "log/QLog.h"
#include "operator/uapiApp.h"
#include "sessions/alimmTokenMgr.h"
#include "store/udb.h"
#include "sync/accountHealth.h"
#include "sync/accountStatus.h"
#include "sync/concurrentAccounts.h"
#include "sync/processObjects.h"
#include "taobao/orderPass.h"
#include "taobao/topApiGetOrders.h"
#include "taobao/topLimits.h"
#include "taobao/topRefundOrders.h"

#include <algorithm>
#include <exception>
#include <future>
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

struct TRefundRead {
    std::vector<TWeiQuanOrderInfo> refunds;
    QString failure; // empty when the source was read whole
    QString failureSource;
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
            read.failureSource = QStringLiteral("top");
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
    return read;
}

// Waits for the batch posts when it goes, on every path out of a pass: declared after the pass's slot, it runs
// before the slot is given back, so the next pass finds this one's orders recorded.
class TPostsAwaited {
public:
    TPostsAwaited() = default;
    TPostsAwaited(const TPostsAwaited&) = delete;
    TPostsAwaited& operator=(const TPostsAwaited&) = delete;
    ~TPostsAwaited()
    {
        if (TAPIApp* api = APIApp())
            api->WaitForPosts();
    }
};

// A cache that fails a lookup cannot tell new orders from delivered ones: the account's pass posts nothing.
TAccountPassOutcome CacheFailed(const QString& ALogPrefix, const QString& AError)
{
    LogLine(llError, ALogPrefix + QStringLiteral("订单缓存出错,本次未提交:") + AError);
    return TAccountPassOutcome::Failed(AError, QStringLiteral("cache"));
}

// An account's pass as its health and the summary see it: the download's failure first, then a batch the back end
// refused. A stop, or a post cut at the program's end, is no failure: the pass counts as stopped.
TAccountPassOutcome OutcomeOf(bool AStopped, const QString& AFailure, const QString& AFailureSource, qsizetype AFound,
    const TPostOutcome& APosted)
{
    const bool cut = APosted.cause == TAPIApp::CutAtExitText();
    TAccountPassOutcome outcome;
    if (!AStopped && !AFailure.isEmpty())
        outcome = TAccountPassOutcome::Failed(AFailure, AFailureSource);
    else if (!AStopped && !APosted.AllAccepted() && !cut)
        outcome = TAccountPassOutcome::Failed(APosted.cause, QStringLiteral("backend"));
    outcome.found = static_cast<int>(AFound);
    outcome.delivered = APosted.delivered;
    if (AStopped || cut)
        outcome.state = TAccountPassOutcome::TState::Stopped;
    return outcome;
}

// Delivers the pass's orders and waits for the outcome; the account's watermarks move only once every batch was
// accepted, so a refused batch is read and sent again by the very next pass rather than the next full one.
TPostOutcome PostOrders(const TOrderPassResult& APass)
{
    TAPIApp* api = APIApp();
    if (!api) {
        TPostOutcome none;
        none.batches = APass.lines.isEmpty() ? 0 : 1;
        none.cause = QStringLiteral("no operator client");
        return none;
    }
    auto done = std::make_shared<std::promise<TPostOutcome>>();
    std::future<TPostOutcome> outcome = done->get_future();
    api->postOrderData(APass.lines, [done, APass](const TPostOutcome& AOutcome) {
        if (AOutcome.AllAccepted())
            TOrderPass::MoveWatermarks(APass);
        done->set_value(AOutcome);
    });
    return outcome.get();
}

// Whether every status of the pass was read over the whole window (not only what changed since a watermark).
bool ReadWholeWindow(const TOrderPassResult& APass)
{
    if (APass.watermarks.empty())
        return !APass.incremental;
    return std::all_of(APass.watermarks.begin(), APass.watermarks.end(),
        [](const auto& AMark) { return AMark.second.fullAt == AMark.second.updatedTo; });
}

// An order the cache cannot answer for counts as delivered: no alarm without proof.
bool DeliveredBefore(const TAgedOutOrders::TKey& AKey)
{
    const TDBCacheClass* cache = DBCache();
    try {
        return cache == nullptr || cache->existOrder(AKey.first, AKey.second, 0);
    } catch (const std::exception&) {
        return true;
    }
}

} // namespace

TPassRunner::TPassRunner(TSyncFrontEnd& AFrontEnd, TAccountStatus& AStatus, TAccountHealth& AHealth,
    qint64 ASyncInterval, qint64 ARefundInterval)
    : FFrontEnd(AFrontEnd)
    , FStatus(AStatus)
    , FHealth(AHealth)
    , FSyncInterval(ASyncInterval)
    , FRefundInterval(ARefundInterval)
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

QString TPassRunner::CacheProblem()
{
    return FCacheCheck.Problem([this](const QString& AReason) {
        LogLine(llError, AReason);
        RunOnMainFor(this, [this, AReason] {
            FFrontEnd.MessageBox(AReason, kMessageTitle, TSyncFrontEnd::TButtons::Ok, TSyncFrontEnd::TIcon::Error);
        });
    });
}

void TPassRunner::Start()
{
    TQWorkers* scheduler = JobScheduler();
    if (!scheduler)
        return;
    scheduler->Post([this](TQJob* AJob) { RunInvalidPass(AJob, true); });
    scheduler->Post([this](TQJob* AJob) { RunRefundPass(AJob, true); });
    FSyncOrderThread1
        = scheduler->Delay(TQJobProc(this, &TPassRunner::SyncInvalidOrdersJob), FSyncInterval, {}, false, true);
    FSyncOrderThread2
        = scheduler->Delay(TQJobProc(this, &TPassRunner::SyncRefundOrdersJob), FRefundInterval, {}, false, true);
}

void TPassRunner::Stop(std::function<void()> AStopped)
{
    const intptr_t invalidJob = FSyncOrderThread1.exchange(0);
    const intptr_t refundJob = FSyncOrderThread2.exchange(0);
    TQWorkers* scheduler = JobScheduler();
    auto stopped = std::make_shared<std::function<void()>>(std::move(AStopped));
    const intptr_t posted = scheduler ? scheduler->Post([this, invalidJob, refundJob, stopped](TQJob* AJob) {
        AJob->Owner()->ClearSingleJob(invalidJob, true);
        AJob->Owner()->ClearSingleJob(refundJob, true);
        RunOnMainFor(this, [stopped] { (*stopped)(); });
    })
                                      : 0;
    if (!posted)
        (*stopped)();
}

void TPassRunner::ForEachAccount(TPassKind AKind, const TStopCheck& AStop, const TSynchronise& ASynchronise,
    const std::function<bool(const TAlimmTokenRecord&)>& ASkip, int AConcurrency)
{
    FHealth.PassStarted(AKind);
    FCacheCheck.NewPass();
    // A gateway that was down in the last pass is tried again.
    if (TTopGate* gate = TopGate())
        gate->NewPass();
    TAlimmTokenMgr* store = AlimmTokenMgr();
    // Read once: accounts a refresh adds meanwhile wait for the next pass.
    const int count = store ? store->count() : 0;
    TConcurrentAccounts(count, AConcurrency).Run(AStop, [&](int AIndex) {
        const PAlimmTokenData account = store->GetItem(AIndex);
        // An account the operator took out of the list is not synchronised any more.
        if (account && account->listed() && !(ASkip && ASkip(*account)))
            SynchroniseAccount(AKind, account, ASynchronise);
    });
    const qint64 interval = Running() ? (AKind == TPassKind::Invalid ? FSyncInterval : FRefundInterval) : 0;
    FHealth.PassEnded(AKind, interval / (Q1Second / 1000));
}

void TPassRunner::SynchroniseAccount(TPassKind AKind, const PAlimmTokenData& AAccount, const TSynchronise& ASynchronise)
{
    const QDateTime start = QDateTime::currentDateTime();
    FStatus.SendStatus(AAccount->userName(), TAccountStatus::scSyncing);
    TAccountPassOutcome outcome;
    try {
        outcome = ASynchronise(AAccount);
    } catch (...) {
        // The row must not stay "正在同步" and the failure belongs to this account; the job's handler logs it.
        FStatus.SendStatus(AAccount->userName(), TAccountStatus::scStopped);
        FHealth.AccountPassEnded(
            AKind, AAccount->userId(), start, TAccountPassOutcome::Failed(ErrorMessageOf(std::current_exception())));
        throw;
    }
    const bool stopped = outcome.state == TAccountPassOutcome::TState::Stopped;
    FStatus.SendStatus(AAccount->userName(), stopped ? TAccountStatus::scStopped : TAccountStatus::scSynced);
    FHealth.AccountPassEnded(AKind, AAccount->userId(), start, outcome);
}

void TPassRunner::SyncInvalidOrdersJob(TQJob* AJob)
{
    RunInvalidPass(AJob, false);
}

// A repeating run that finds another pass still running skips its turn (the next comes at its time); the pass a
// click asks for waits for its turn instead.
void TPassRunner::RunInvalidPass(TQJob* AJob, bool AWaitTurn)
{
    const TStopCheck stop = StopCheckOf(AJob);
    const TPassSlot::THold slot = AWaitTurn ? FInvalidPass.Take(stop) : FInvalidPass.TryTake();
    if (!slot)
        return;
    const TPostsAwaited posts;
    ForEachAccount(
        TPassKind::Invalid, stop,
        [this, &stop](PAlimmTokenData AAccount) { return SyncInvalidOrdersOfAccount(AAccount, stop); }, {},
        PassConcurrencySetting());
}

TAccountPassOutcome TPassRunner::SyncInvalidOrdersOfAccount(PAlimmTokenData AAccount, const TStopCheck& AStop)
{
    if (const QString problem = CacheProblem(); !problem.isEmpty())
        return TAccountPassOutcome::Failed(problem, QStringLiteral("cache"));
    TOrderPassResult pass;
    try {
        pass = TOrderPass().Run(AAccount->userId(), AAccount->userName(), AAccount->token(), AStop);
    } catch (const ECacheError& error) {
        return CacheFailed(QStringLiteral("同步失效/确认收货订单:") + AAccount->userName() + u';', error.Message());
    }
    const bool stopped = AStop();
    TPostOutcome posted;
    {
        const std::scoped_lock together(FPostTurn);
        // A stopped or failed pass read only part of the window: its count is no total.
        const QString prefix = QStringLiteral("同步失效/确认收货订单:") + AAccount->userName() + u';';
        if (stopped || pass.failure.isEmpty()) {
            LogLine(llMessage,
                prefix + (stopped ? QStringLiteral("同步已停止,已取得 ") : pass.Scope() + QStringLiteral("共 "))
                    + QString::number(pass.lines.size()) + QStringLiteral(" 条未同步订单!"));
        } else {
            LogLine(llError,
                prefix + pass.failure + QStringLiteral(",已取得 ") + QString::number(pass.lines.size())
                    + QStringLiteral(" 条未同步订单,其余下次同步再取"));
        }
        posted = PostOrders(pass);
    }
    const int agedOut = FAgedOut.PassEnded(AAccount->userId(), AAccount->userName(), pass.lines,
        !stopped && pass.failure.isEmpty() && ReadWholeWindow(pass), posted.AllAccepted(), &DeliveredBefore);
    FHealth.OrdersAgedOut(AAccount->userId(), agedOut);
    return OutcomeOf(stopped, pass.failure, QStringLiteral("top"), pass.lines.size(), posted);
}

void TPassRunner::SyncRefundOrdersJob(TQJob* AJob)
{
    RunRefundPass(AJob, false);
}

void TPassRunner::RunRefundPass(TQJob* AJob, bool AWaitTurn)
{
    const TStopCheck stop = StopCheckOf(AJob);
    const TPassSlot::THold slot = AWaitTurn ? FRefundPass.Take(stop) : FRefundPass.TryTake();
    if (!slot)
        return;
    const TRefundSource source = RefundSourceSetting();
    // Every row shows the pass, an account without a web session too: for the report it has nothing to read.
    ForEachAccount(TPassKind::Refund, stop, [this, &stop, source](PAlimmTokenData AAccount) {
        if (NeedsWebSession(source) && !HasWebSession(*AAccount))
            return TAccountPassOutcome();
        const QDateTime now = BeijingNow();
        return SyncRefundOrdersOfAccount(AAccount, now.addDays(-kRefundDays), now, stop, source);
    });
}

TAccountPassOutcome TPassRunner::SyncRefundOrdersOfAccount(PAlimmTokenData AAccount, const QDateTime& ABegin,
    const QDateTime& AEnd, const TStopCheck& AStop, TRefundSource ASource)
{
    AAccount->setReadLock(false);
    if (const QString problem = CacheProblem(); !problem.isEmpty())
        return TAccountPassOutcome::Failed(problem, QStringLiteral("cache"));
    const TAlimmTokenData account = AAccount->Snapshot();
    const QString prefix = QStringLiteral("同步维权订单-联盟账号:") + account.userName + u';';
    TRefundRead read;
    try {
        read = ReadRefunds(*AAccount, account, ABegin, AEnd, AStop, ASource);
    } catch (const ECacheError& error) {
        return CacheFailed(prefix, error.Message());
    }
    const std::vector<TWeiQuanOrderInfo>& refunds = read.refunds;
    const bool stopped = AStop();
    const QString& failure = read.failure;
    // A report that could not be read whole is no count: its refunds so far go out, the pass says what failed.
    if (stopped || failure.isEmpty()) {
        LogLine(llMessage,
            prefix + (stopped ? QStringLiteral("同步已停止,已取得 ") : QStringLiteral("90天内共有 "))
                + QString::number(refunds.size()) + QStringLiteral(" 条维权订单未同步!"));
    } else {
        LogLine(llError,
            prefix + failure + QStringLiteral(",已取得 ") + QString::number(refunds.size())
                + QStringLiteral(" 条维权订单未同步,下次同步再取"));
    }
    TPostOutcome posted;
    if (TAPIApp* api = APIApp())
        posted = api->postWeiQuanOrderData(refunds);
    return OutcomeOf(stopped, failure, read.failureSource, static_cast<qsizetype>(refunds.size()), posted);
}

void TPassRunner::SyncWeiquanClick()
{
    if (TQWorkers* scheduler = JobScheduler())
        scheduler->Post(TQJobProc(this, &TPassRunner::SyncRefundOrdersNow));
}

void TPassRunner::SyncRefundOrdersNow(TQJob* AJob)
{
    const QDateTime end = BeijingNow();
    const QDateTime begin = end.addDays(-kRefundDays);
    const TRefundSource source = RefundSourceSetting();
    FManualRefunds.fetch_add(1);
    ControlsChangedOnMain();
    const TStopCheck stop = StopCheckOf(AJob);
    // A click while a refund pass runs waits for it rather than posting the same refunds beside it.
    const TPassSlot::THold slot = FRefundPass.Take(stop);
    try {
        LogLine(llMessage, u"开始同步维权订单");
        ForEachAccount(
            TPassKind::Refund, stop,
            [this, &begin, &end, &stop, source](
                PAlimmTokenData AAccount) { return SyncRefundOrdersOfAccount(AAccount, begin, end, stop, source); },
            [source](const TAlimmTokenRecord& AAccount) {
                if (!NeedsWebSession(source) || HasWebSession(AAccount))
                    return false;
                LogLine(llMessage,
                    QStringLiteral("同步维权订单-联盟账号:") + AAccount.userName()
                        + QStringLiteral(" 未登录，请先登录"));
                return true;
            });
        LogLine(llMessage, u"维权订单同步完成");
    } catch (...) {
        // A failed manual run ends quietly; its batches already accepted are recorded.
    }
    FManualRefunds.fetch_sub(1);
    ControlsChangedOnMain();
}

void TPassRunner::RunPassesOnce(std::function<void()> ADone)
{
    TQWorkers* scheduler = JobScheduler();
    auto done = std::make_shared<std::function<void()>>(std::move(ADone));
    const intptr_t posted = scheduler ? scheduler->Post([this, done](TQJob* AJob) {
        try {
            RunInvalidPass(AJob, false);
            RunRefundPass(AJob, false);
        } catch (...) {
            LogJobError(AJob, std::current_exception());
        }
        if (TAPIApp* api = APIApp())
            api->WaitForPosts();
        RunOnMainFor(this, [done] { (*done)(); });
    })
                                      : 0;
    if (!posted)
        (*done)();
}
