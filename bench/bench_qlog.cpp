#include "log/QLog.h"

#include <benchmark/benchmark.h>

#include <spdlog/async.h>
#include <spdlog/async_logger.h>
#include <spdlog/sinks/base_sink.h>
#include <spdlog/sinks/null_sink.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

namespace {

constexpr int KProducers = 4;
constexpr int KEntriesPerProducer = 25000;
constexpr int KQueueSize = 8192;

// The same text for both: a typical progress line.
const char16_t KLineUtf16[] = u"账号 12345 同步完成，新订单 17 条";
const char KLineUtf8[] = "账号 12345 同步完成，新订单 17 条";

class TCountingWriter : public TQLogWriter {
public:
    void HandleNeeded() override { }
    bool WriteItem(const TQLogItem&) override
    {
        Count.fetch_add(1, std::memory_order_relaxed);
        return true;
    }
    std::atomic<long> Count {0};
};

template <class TMutex> class TCountingSink : public spdlog::sinks::base_sink<TMutex> {
public:
    std::atomic<long> Count {0};

protected:
    void sink_it_(const spdlog::details::log_msg&) override { Count.fetch_add(1, std::memory_order_relaxed); }
    void flush_() override { }
};

std::shared_ptr<spdlog::async_logger> AsyncLogger(
    spdlog::sink_ptr ASink, std::shared_ptr<spdlog::details::thread_pool> APool)
{
    return std::make_shared<spdlog::async_logger>(
        "bench", std::move(ASink), std::move(APool), spdlog::async_overflow_policy::block);
}

void WaitFor(const std::atomic<long>& ACount, long ATarget)
{
    while (ACount.load(std::memory_order_relaxed) < ATarget)
        std::this_thread::yield();
}

void BM_LogLine_quenlar(benchmark::State& state)
{
    TQLog log;
    TGlobalScope<TQLog> scope(&log);
    auto* writer = log.Castor()->AddWriter(std::make_unique<TCountingWriter>());
    const QStringView line(KLineUtf16);
    for (auto _ : state)
        LogLine(llMessage, line);
    WaitFor(writer->Count, state.iterations());
}

void BM_LogLine_spdlog(benchmark::State& state)
{
    auto pool = std::make_shared<spdlog::details::thread_pool>(KQueueSize, 1);
    auto logger = AsyncLogger(std::make_shared<spdlog::sinks::null_sink_mt>(), pool);
    for (auto _ : state)
        logger->info(KLineUtf8);
}

// Entries per second from the calls of four producers to the writer (sink).
template <class TProduce, class TCounted>
void MeasureDispatch(benchmark::State& state, TProduce AProduce, TCounted ACounted)
{
    long target = 0;
    for (auto _ : state) {
        target += KProducers * KEntriesPerProducer;
        std::vector<std::thread> producers;
        for (int t = 0; t < KProducers; ++t) {
            producers.emplace_back([&] {
                for (int i = 0; i < KEntriesPerProducer; ++i)
                    AProduce();
            });
        }
        for (std::thread& producer : producers)
            producer.join();
        WaitFor(ACounted(), target);
    }
    state.SetItemsProcessed(state.iterations() * KProducers * KEntriesPerProducer);
}

void BM_LogDispatch_quenlar(benchmark::State& state)
{
    TQLog log;
    TGlobalScope<TQLog> scope(&log);
    auto* writer = log.Castor()->AddWriter(std::make_unique<TCountingWriter>());
    const QStringView line(KLineUtf16);
    MeasureDispatch(
        state, [line] { LogLine(llMessage, line); }, [writer]() -> const std::atomic<long>& { return writer->Count; });
}

void BM_LogDispatch_spdlog(benchmark::State& state)
{
    auto pool = std::make_shared<spdlog::details::thread_pool>(KQueueSize, 1);
    auto sink = std::make_shared<TCountingSink<spdlog::details::null_mutex>>();
    auto logger = AsyncLogger(sink, pool);
    MeasureDispatch(
        state, [&logger] { logger->info(KLineUtf8); }, [&sink]() -> const std::atomic<long>& { return sink->Count; });
}

} // namespace

BENCHMARK(BM_LogLine_quenlar)->Name("BM_LogLine/quenlar");
BENCHMARK(BM_LogLine_spdlog)->Name("BM_LogLine/spdlog");
BENCHMARK(BM_LogDispatch_quenlar)->Name("BM_LogDispatch/quenlar")->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_LogDispatch_spdlog)->Name("BM_LogDispatch/spdlog")->Unit(benchmark::kMillisecond)->UseRealTime();
