#include "sync/passLifecycle.h"

#include "foundation/mainthreadcalls.h"
#include "foundation/qerror.h"
#include "log/QLog.h"

#include <chrono>
#include <exception>

namespace {

// How often a stop that waits for its passes looks whether the scheduler ends meanwhile.
constexpr auto kStopPoll = std::chrono::milliseconds(50);

// Gives the one-off pass's place back when it goes, also when it throws.
class TOpenPass {
public:
    TOpenPass(std::mutex& ALock, std::condition_variable& AEnded, std::map<quint64, int>& AOpen, quint64 AGeneration)
        : FLock(ALock)
        , FEnded(AEnded)
        , FOpen(AOpen)
        , FGeneration(AGeneration)
    {
    }
    TOpenPass(const TOpenPass&) = delete;
    TOpenPass& operator=(const TOpenPass&) = delete;
    ~TOpenPass()
    {
        {
            const std::scoped_lock lock(FLock);
            if (--FOpen[FGeneration] <= 0)
                FOpen.erase(FGeneration);
        }
        FEnded.notify_all();
    }

private:
    std::mutex& FLock;
    std::condition_variable& FEnded;
    std::map<quint64, int>& FOpen;
    const quint64 FGeneration;
};

} // namespace

bool TPassJobs::TState::Stale(quint64 AGeneration) const
{
    const std::scoped_lock guard(lock);
    return generation != AGeneration;
}

TPassJobs::TPassJobs() = default;

TPassJobs::~TPassJobs()
{
    SkipMainThreadCalls(this);
}

quint64 TPassJobs::Generation() const
{
    const std::scoped_lock lock(FState->lock);
    return FState->generation;
}

TQJobProcA TPassJobs::Job(const std::shared_ptr<TState>& AState, quint64 AGeneration, TPass APass, bool AOneOff)
{
    return [AState, AGeneration, pass = std::move(APass), AOneOff](TQJob* AJob) {
        std::optional<TOpenPass> open;
        if (AOneOff)
            open.emplace(AState->lock, AState->ended, AState->open, AGeneration);
        const TStopCheck stop
            = [AJob, AState, AGeneration] { return AJob->IsStopRequested() || AState->Stale(AGeneration); };
        pass(AJob, stop);
    };
}

bool TPassJobs::Post(TPass APass)
{
    TQWorkers* scheduler = JobScheduler();
    if (!scheduler)
        return false;
    quint64 generation = 0;
    {
        const std::scoped_lock lock(FState->lock);
        generation = FState->generation;
        ++FState->open[generation];
    }
    if (scheduler->Post(Job(FState, generation, std::move(APass), true)) != 0)
        return true;
    {
        const std::scoped_lock lock(FState->lock);
        if (--FState->open[generation] <= 0)
            FState->open.erase(generation);
    }
    FState->ended.notify_all();
    return false;
}

bool TPassJobs::Repeat(TPass APass, qint64 AInterval)
{
    TQWorkers* scheduler = JobScheduler();
    if (!scheduler)
        return false;
    const intptr_t handle
        = scheduler->Delay(Job(FState, Generation(), std::move(APass), false), AInterval, {}, false, true);
    if (handle == 0)
        return false;
    const std::scoped_lock lock(FState->lock);
    FState->repeating.push_back(handle);
    return true;
}

bool TPassJobs::Repeating() const
{
    const std::scoped_lock lock(FState->lock);
    return !FState->repeating.empty();
}

void TPassJobs::StopAll(std::function<void()> ADone)
{
    std::vector<intptr_t> repeating;
    quint64 ended = 0;
    {
        const std::scoped_lock lock(FState->lock);
        ended = FState->generation++;
        repeating.swap(FState->repeating);
    }
    TQWorkers* scheduler = JobScheduler();
    auto done = std::make_shared<std::function<void()>>(std::move(ADone));
    const auto waitAll = [this, state = FState, repeating, ended, done](TQJob* AJob) {
        for (const intptr_t handle : repeating)
            AJob->Owner()->ClearSingleJob(handle, true);
        std::unique_lock lock(state->lock);
        // Until no pass of the ended generations is left; the scheduler's end drops queued ones unrun.
        while (!state->open.empty() && state->open.begin()->first <= ended && !AJob->IsStopRequested())
            state->ended.wait_for(lock, kStopPoll);
        lock.unlock();
        RunOnMainFor(this, [done] { (*done)(); });
    };
    if (!scheduler || scheduler->Post(waitAll) == 0)
        (*done)();
}

TPassScope::TPassScope(
    TAccountHealth& AHealth, TPassKind AKind, TStopCheck AStop, TInterval AInterval, bool ALogSummary)
    : FHealth(AHealth)
    , FKind(AKind)
    , FStop(std::move(AStop))
    , FInterval(std::move(AInterval))
    , FLogSummary(ALogSummary)
    , FUncaught(std::uncaught_exceptions())
{
    FHealth.PassStarted(FKind);
}

TPassScope::~TPassScope()
{
    try {
        TPassEnd end = End();
        if (std::uncaught_exceptions() > FUncaught)
            end = TPassEnd::Failed;
        FHealth.PassEnded(FKind, FInterval ? FInterval() : 0, end);
        if (FLogSummary)
            LogLine(end == TPassEnd::Complete ? llMessage : llWarning, Summary(end));
    } catch (...) {
        // Nothing may leave a destructor; the pass's own lines have said what there was.
    }
}

void TPassScope::Skipped(TAccountHealth& AHealth, TPassKind AKind)
{
    AHealth.PassSkipped(AKind);
}

void TPassScope::AccountEnded(const QString& AUserName, const TAccountPassOutcome& AOutcome)
{
    const std::scoped_lock lock(FLock);
    ++FAccounts;
    FDelivered += AOutcome.delivered;
    if (AOutcome.state == TAccountPassOutcome::TState::Skipped)
        ++FSkipped;
    if (AOutcome.state == TAccountPassOutcome::TState::Failed)
        FFailed << AUserName + u'(' + AOutcome.cause + u')';
}

TPassEnd TPassScope::End() const
{
    if (FStop && FStop())
        return TPassEnd::Stopped;
    const std::scoped_lock lock(FLock);
    return FFailed.isEmpty() ? TPassEnd::Complete : TPassEnd::Failed;
}

QStringList TPassScope::Failed() const
{
    const std::scoped_lock lock(FLock);
    return FFailed;
}

QString TPassScope::Summary(TPassEnd AEnd) const
{
    const std::scoped_lock lock(FLock);
    QString line
        = (FKind == TPassKind::Invalid ? QStringLiteral("失效订单同步结束: ") : QStringLiteral("维权订单同步结束: "))
        + QStringLiteral("账号 %1 个, 提交 %2 条, 失败账号 %3 个").arg(FAccounts).arg(FDelivered).arg(FFailed.size());
    if (FSkipped > 0)
        line += QStringLiteral(", 跳过 %1 个").arg(FSkipped);
    if (AEnd == TPassEnd::Stopped)
        line += QStringLiteral(", 已停止");
    if (!FFailed.isEmpty())
        line += QStringLiteral(": ") + FFailed.join(QStringLiteral("; "));
    return line;
}

void LogJobError(TQJob*, std::exception_ptr AError)
{
    LogLine(llError, QStringLiteral("同步任务出错:") + ErrorMessageOf(AError));
}
