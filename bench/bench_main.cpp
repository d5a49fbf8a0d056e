#include <QCoreApplication>

#include <benchmark/benchmark.h>

// The scheduler's main-thread calls and Qt's thread pool need an application object.
int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
