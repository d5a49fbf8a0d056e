#include "syncfixture.h"

#include "store/udb.h"
#include "testwait.h"

#include <QDateTime>
#include <QFile>

void SyncFixture::SetUp()
{
    ASSERT_TRUE(WriteSettings(FFolder.path()));
    CreateOrderCache(FFolder.filePath(QStringLiteral("db.db")));

    TProcessObjects::TOptions options;
    options.dataFolder = FFolder.path();
    options.moduleFileName = FFolder.filePath(QStringLiteral("quenlar"));
    FObjects = std::make_unique<TProcessObjects>(options);
    FLog = TLogLines::Attach(*GlobalLog());
    TSyncTiming timing;
    timing.probeConnectTimeoutMs = 2000;
    timing.probeReadTimeoutMs = 2000;
    FController = std::make_unique<TSyncController>(FFrontEnd, TSyncPaths {FFolder.path(), FFolder.path()}, timing);
    FController->Open();
}

void SyncFixture::TearDown()
{
    Shutdown();
}

void SyncFixture::Shutdown()
{
    if (!FObjects)
        return;
    FController->CloseListener();
    FObjects->StopJobs();
    FController.reset();
    FObjects.reset();
}

bool SyncFixture::WaitMain(const std::function<bool()>& ACondition)
{
    return WaitForCondition(ACondition, kTestWaitLimit, true);
}

void SyncFixture::SignInAndList()
{
    std::optional<bool> signedIn;
    bool refreshed = false;
    const QMetaObject::Connection connection = QObject::connect(
        FController.get(), &TSyncController::AccountsRefreshed, [&refreshed](bool) { refreshed = true; });
    ASSERT_TRUE(FController->SignIn(QStringLiteral("13800000000"), QStringLiteral("pw"),
        [&signedIn](bool AOk, const QString&) { signedIn = AOk; }));
    ASSERT_TRUE(WaitMain([&] { return refreshed && !FController->OperatorRequestRunning(); }));
    QObject::disconnect(connection);
    ASSERT_TRUE(signedIn.value_or(false));
}

void SyncFixture::RunJob(const std::function<void(TQJob*)>& AProc)
{
    std::atomic<bool> done {false};
    JobScheduler()->Post([&AProc, &done](TQJob* AJob) {
        AProc(AJob);
        done = true;
    });
    ASSERT_TRUE(WaitMain([&] { return done.load(); }));
}
