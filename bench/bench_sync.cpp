// How long a stop takes to end a running invalid-order pass whose TOP gateway takes 2 s per page: from the stop
// request (the job's cancellation) to the end of the pass.
#include "app/processObjects.h"
#include "sessions/alimmTokenMgr.h"
#include "standin/testservices.h"
#include "store/udb.h"
#include "sync/syncController.h"

#include <QCoreApplication>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>

namespace {

class TSilentFrontEnd : public TSyncFrontEnd {
public:
    void MessageBox(const QString&, const QString&, TButtons, TIcon) override { }
    void OperatorPanelChanged(const QString&) override { }
    void ControlsChanged() override { }
};

// The stand-ins with a gateway that holds every page for 2 s (or until the run ends), and the program around them.
class TSlowGatewayWorld {
public:
    TSlowGatewayWorld()
    {
        {
            const std::scoped_lock lock(FServices.FMutex);
            FServices.FBeforeGatewayPage = [this] {
                std::unique_lock lock(FHoldLock);
                FHold.wait_for(lock, std::chrono::seconds(2), [this] { return FReleased; });
            };
        }
        if (!FServices.WriteSettings(FFolder.path()))
            throw std::runtime_error("program folder");
        CreateOrderCache(FFolder.filePath(QStringLiteral("db.db")));
        TProcessObjects::TOptions options;
        options.dataFolder = FFolder.path();
        options.moduleFileName = FFolder.filePath(QStringLiteral("quenlar"));
        FObjects = std::make_unique<TProcessObjects>(options);
        FController = std::make_unique<TSyncController>(FFrontEnd, TSyncPaths {FFolder.path(), FFolder.path()});
        FController->Open();
        TAlimmTokenData account;
        account.userId = QStringLiteral("1001");
        account.userName = QStringLiteral("nick");
        account.token = QStringLiteral("token");
        AlimmTokenMgr()->updateToken(account);
    }
    ~TSlowGatewayWorld()
    {
        {
            const std::scoped_lock lock(FHoldLock);
            FReleased = true;
        }
        FHold.notify_all();
        FController->CloseListener();
        FObjects->StopJobs();
        FController.reset();
        FObjects.reset();
    }

    // Starts a pass and returns its handle once its first page request is at the gateway.
    intptr_t StartPass()
    {
        const size_t before = FServices.FGateway.RequestCount();
        const intptr_t handle
            = JobScheduler()->Post(TQJobProc(&FController->Passes(), &TPassRunner::SyncInvalidOrdersJob));
        while (FServices.FGateway.RequestCount() == before)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        return handle;
    }

private:
    TStandInServices FServices;
    std::mutex FHoldLock;
    std::condition_variable FHold;
    bool FReleased = false;
    QTemporaryDir FFolder;
    TSilentFrontEnd FFrontEnd;
    std::unique_ptr<TProcessObjects> FObjects;
    std::unique_ptr<TSyncController> FController;
};

void BM_StopLatency(benchmark::State& AState)
{
    TSlowGatewayWorld world;
    for (auto _ : AState) {
        const intptr_t pass = world.StartPass();
        const auto start = std::chrono::steady_clock::now();
        JobScheduler()->ClearSingleJob(pass, true);
        AState.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
}
BENCHMARK(BM_StopLatency)
    ->Name("BM_StopLatency/quenlar")
    ->UseManualTime()
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond);

} // namespace
