#include "syncfixture.h"

#include "store/udb.h"
#include "testwait.h"

#include <QDateTime>
#include <QFile>

namespace {

class TRecordingWriter : public TQLogWriter {
public:
    explicit TRecordingWriter(std::shared_ptr<TLogRecord> ARecord)
        : FRecord(std::move(ARecord))
    {
    }
    void HandleNeeded() override { }
    bool WriteItem(const TQLogItem& AItem) override
    {
        FRecord->Add(LogItemMessage(AItem));
        return true;
    }

private:
    std::shared_ptr<TLogRecord> FRecord;
};

} // namespace

void TLogRecord::Add(const QString& AText)
{
    const std::scoped_lock lock(FMutex);
    FLines.push_back(AText);
}

std::vector<QString> TLogRecord::Lines() const
{
    const std::scoped_lock lock(FMutex);
    return FLines;
}

bool TLogRecord::Contains(const QString& AText) const
{
    const std::scoped_lock lock(FMutex);
    return std::find(FLines.begin(), FLines.end(), AText) != FLines.end();
}

void SyncFixture::SetUp()
{
    ASSERT_TRUE(WriteSettings(FFolder.path()));
    CreateOrderCache(FFolder.filePath(QStringLiteral("db.db")));

    TProcessObjects::TOptions options;
    options.dataFolder = FFolder.path();
    options.moduleFileName = FFolder.filePath(QStringLiteral("quenlar"));
    options.timing.WaitStep = 1;
    FObjects = std::make_unique<TProcessObjects>(options);
    GlobalLog()->Castor()->AddWriter(std::make_unique<TRecordingWriter>(FLog));
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
