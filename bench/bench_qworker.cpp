#include "foundation/qworker.h"

#include <QRunnable>
#include <QThreadPool>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr int KJobs = 100000;

// Counts finished jobs and wakes the poster after the last one.
class TCounter {
public:
    void Reset(int ATarget)
    {
        FDone.store(0);
        FTarget = ATarget;
    }
    void Hit(TQJob*) { Hit(); }
    void Hit()
    {
        if (FDone.fetch_add(1) + 1 == FTarget) {
            std::scoped_lock lock(FLock);
            FAll = true;
            FCond.notify_one();
        }
    }
    void Wait()
    {
        std::unique_lock lock(FLock);
        FCond.wait(lock, [this] { return FAll; });
        FAll = false;
    }

private:
    std::atomic<int> FDone {0};
    int FTarget = 0;
    std::mutex FLock;
    std::condition_variable FCond;
    bool FAll = false;
};

void BM_RunOnceJobs_quenlar(benchmark::State& state)
{
    TQWorkers workers;
    TCounter counter;
    const TQJobProc hit(&counter, &TCounter::Hit);
    for (auto _ : state) {
        counter.Reset(KJobs);
        for (int i = 0; i < KJobs; ++i)
            workers.Post(hit);
        counter.Wait();
    }
    state.SetItemsProcessed(state.iterations() * KJobs);
}

void BM_RunOnceJobs_qthreadpool(benchmark::State& state)
{
    QThreadPool pool;
    TCounter counter;
    for (auto _ : state) {
        counter.Reset(KJobs);
        for (int i = 0; i < KJobs; ++i)
            pool.start([&counter] { counter.Hit(); });
        counter.Wait();
    }
    state.SetItemsProcessed(state.iterations() * KJobs);
}

// Lateness of a 10 ms wait, as the manual iteration time; the median over all iterations as a counter.
template <class TWait> void MeasureLateness(benchmark::State& state, TWait AWait)
{
    using namespace std::chrono;
    std::vector<double> lateness;
    for (auto _ : state) {
        const steady_clock::time_point due = steady_clock::now() + milliseconds(10);
        const steady_clock::time_point woke = AWait();
        const double late = duration<double>(woke - due).count();
        lateness.push_back(late);
        state.SetIterationTime(std::max(late, 0.0));
    }
    std::nth_element(lateness.begin(), lateness.begin() + lateness.size() / 2, lateness.end());
    state.counters["median_late_us"] = lateness[lateness.size() / 2] * 1e6;
}

void BM_DelayedJobLatency_quenlar(benchmark::State& state)
{
    TQWorkers workers;
    std::mutex lock;
    std::condition_variable cond;
    bool ran = false;
    std::chrono::steady_clock::time_point started;
    MeasureLateness(state, [&] {
        workers.Delay(
            [&](TQJob*) {
                const auto now = std::chrono::steady_clock::now();
                std::scoped_lock guard(lock);
                started = now;
                ran = true;
                cond.notify_one();
            },
            10 * Q1MillSecond);
        std::unique_lock guard(lock);
        cond.wait(guard, [&] { return ran; });
        ran = false;
        return started;
    });
}

void BM_DelayedJobLatency_sleep(benchmark::State& state)
{
    MeasureLateness(state, [] {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return std::chrono::steady_clock::now();
    });
}

} // namespace

BENCHMARK(BM_RunOnceJobs_quenlar)->Name("BM_RunOnceJobs/quenlar")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_RunOnceJobs_qthreadpool)->Name("BM_RunOnceJobs/qthreadpool")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_DelayedJobLatency_quenlar)
    ->Name("BM_DelayedJobLatency/quenlar")
    ->Unit(benchmark::kMicrosecond)
    ->UseManualTime()
    ->Iterations(200);
BENCHMARK(BM_DelayedJobLatency_sleep)
    ->Name("BM_DelayedJobLatency/sleep")
    ->Unit(benchmark::kMicrosecond)
    ->UseManualTime()
    ->Iterations(200);
