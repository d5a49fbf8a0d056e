#include "foundation/qhttp.h"

#include <QCoreApplication>

#include <benchmark/benchmark.h>

// The scheduler's main-thread calls and Qt's thread pool need an application object; the exchanges need the HTTP
// library set up.
int main(int argc, char* argv[])
{
    const THttpGlobal http;
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
