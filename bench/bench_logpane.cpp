// The window log writer feeding the log pane, offscreen: BM_LogPaneAppend/<implementation>.
#include "app/ufrmMain.h"
#include "foundation/mainthreadcalls.h"
#include "log/QLog.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPlainTextEdit>
#include <QTabWidget>

#include <benchmark/benchmark.h>

#include <malloc.h>

#include <memory>

namespace {

constexpr int kLines = 100000;
constexpr int kChunk = 1000;

// A typical progress line, numbered so no two are alike.
QString LineText(int AIndex)
{
    return QStringLiteral("同步失效/确认收货订单:联盟账号%1;15天内共 %2 条未同步订单!").arg(AIndex % 37).arg(AIndex);
}

// Resident memory of the process in bytes, after handing freed memory back so earlier runs do not hide growth.
double ResidentBytes()
{
    malloc_trim(0);
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toDouble() * 1024;
    }
    return 0;
}

// The rival: one queued call per line, each appending its own line.
class TPerLineWriter : public TQLogWriter {
public:
    explicit TPerLineWriter(QPlainTextEdit* APane)
        : FPane(APane)
    {
    }
    void HandleNeeded() override { }
    bool WriteItem(const TQLogItem& AItem) override
    {
        QMetaObject::invokeMethod(
            FPane,
            [pane = FPane, text = LogItemMessage(AItem)] {
                pane->appendPlainText(TLogPaneLink::LineOf(TLogPaneLink::Stamp(), text));
            },
            Qt::QueuedConnection);
        return true;
    }

private:
    QPlainTextEdit* FPane;
};

// 100 000 lines in chunks of 1 000, each chunk logged and then waited for until the pane shows it. The window is
// shown on its log tab, so the pane lays out and paints as it would on screen.
void RunPane(benchmark::State& AState, bool APerLine)
{
    double first = 0;
    double last = 0;
    double paneBytes = 0;
    for (auto _ : AState) {
        AState.PauseTiming();
        TQLog log;
        const double before = ResidentBytes();
        std::unique_ptr<TfrmMain> window;
        if (APerLine)
            window = std::make_unique<TfrmMain>(); // no global log yet: the window registers no writer
        TGlobalScope<TQLog> scope(&log);
        if (!APerLine)
            window = std::make_unique<TfrmMain>(); // registers the program's writer with the global log
        auto* pane = window->findChild<QPlainTextEdit*>(QStringLiteral("M_Log"));
        window->findChild<QTabWidget*>(QStringLiteral("RzPageControl1"))->setCurrentIndex(1);
        if (APerLine)
            log.Castor()->AddWriter(std::make_unique<TPerLineWriter>(pane));
        window->show();
        QCoreApplication::processEvents();
        AState.ResumeTiming();
        for (int chunk = 0; chunk < kLines / kChunk; ++chunk) {
            QElapsedTimer timer;
            timer.start();
            for (int i = chunk * kChunk; i < (chunk + 1) * kChunk; ++i)
                LogLine(llMessage, LineText(i));
            const int target = (chunk + 1) * kChunk;
            while (pane->blockCount() < target)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            const double ms = static_cast<double>(timer.nsecsElapsed()) / 1e6;
            if (chunk == 0)
                first += ms;
            if (chunk == kLines / kChunk - 1)
                last += ms;
        }
        AState.PauseTiming();
        paneBytes += ResidentBytes() - before;
        window.reset();
        AState.ResumeTiming();
    }
    const double runs = static_cast<double>(AState.iterations());
    AState.counters["lines_per_s"]
        = benchmark::Counter(static_cast<double>(kLines) * runs, benchmark::Counter::kIsRate);
    AState.counters["first_1k_ms"] = first / runs;
    AState.counters["last_1k_ms"] = last / runs;
    AState.counters["last_to_first"] = first > 0 ? last / first : 0;
    AState.counters["pane_MB"] = paneBytes / runs / (1024.0 * 1024.0);
}

void BM_LogPaneAppend_quenlar(benchmark::State& AState)
{
    RunPane(AState, false);
}
BENCHMARK(BM_LogPaneAppend_quenlar)
    ->Name("BM_LogPaneAppend/quenlar")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

void BM_LogPaneAppend_per_line_call(benchmark::State& AState)
{
    RunPane(AState, true);
}
BENCHMARK(BM_LogPaneAppend_per_line_call)
    ->Name("BM_LogPaneAppend/per_line_call")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);

} // namespace

// Widgets need a QApplication; offscreen unless told otherwise.
int main(int argc, char* argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const TMainThreadCalls mainThreadCalls; // the writer's way to the pane
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
