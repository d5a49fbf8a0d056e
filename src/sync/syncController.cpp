#include "sync/syncController.h"

#include "foundation/mainthreadcalls.h"
#include "log/QLog.h"
#include "store/ucommon.h"
#include "store/udb.h"
#include "sync/syncFrontEnd.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace {

const QString kCaptionIdle = QStringLiteral("开始同步订单(失效/维权/已收货)");
const QString kCaptionRunning = QStringLiteral("停止同步");

} // namespace

TSyncController::TSyncController(TSyncFrontEnd& AFrontEnd, const TSyncPaths& APaths, const TSyncTiming& ATiming)
    : FFrontEnd(AFrontEnd)
    , FPaths(APaths)
    , FTiming(ATiming)
    , FStatus(FAccounts)
    , FSession(AFrontEnd, FAccounts, FHealth, ATiming.tokenRefreshInterval)
    , FPasses(AFrontEnd, FHealth, ATiming.syncInterval, ATiming.refundInterval)
    , FKeepAlive(FHealth, TProbeTiming {ATiming.probeConnectTimeoutMs, ATiming.probeReadTimeoutMs})
    , FSignIns(AFrontEnd, FHealth, APaths.programFolder, APaths.dataFolder)
{
    KeepHealth();
    KeepAlerts();
    FHealth.SetOnRowChanged([this](const QString& AUserId, const QString& AUserName, TRowState AState) {
        ShowRow(AUserId, AUserName, AState);
    });
    FHealth.SetOnChanged([this] {
        QueueHealthChanged();
        if (FHealthFile)
            FHealthFile->Touch();
    });
    FHealth.SetOnPassEnded([this](TPassKind AKind) { RunOnMainFor(this, [this, AKind] { Q_EMIT PassEnded(AKind); }); });
    connect(&FSession, &TOperatorSession::AccountsRefreshed, this, &TSyncController::AccountsRefreshed);
    connect(&FSignIns, &TSignInBrowsers::SignInReported, this, &TSyncController::SignInReported);
}

TSyncController::~TSyncController()
{
    FHealth.SetOnChanged({});
    FHealth.SetOnPassEnded({});
    FHealth.SetOnRowChanged({});
    FHealth.SetOnAlert({});
    FSignIns.Close();
    SkipMainThreadCalls(this);
    // The jobs have ended by now (the front end stopped them), so this sends the run's last alerts.
    FNotifier.reset();
}

void TSyncController::KeepAlerts()
{
    const TCommon* common = Common();
    if (!common)
        return;
    std::optional<TAlertTarget> target = TAlertTarget::From(common->notify(), FNotifyProblem);
    if (!target)
        return;
    FNotifier = std::make_unique<TAlertNotifier>(std::move(*target), common->hosts().caFile);
    FHealth.SetOnAlert([notifier = FNotifier.get()](const THealthAlert& AAlert) { notifier->Post(AAlert); });
}

void TSyncController::KeepHealth()
{
    if (FPaths.dataFolder.isEmpty())
        return;
    const QString path = QDir(FPaths.dataFolder).filePath(HealthFileName());
    QFile stored(path);
    if (stored.open(QIODevice::ReadOnly))
        FHealth.LoadStored(stored.readAll());
    FHealthFile = std::make_unique<TLatestFile>(
        path, [this] { return FHealth.ToStoredJson(); },
        [this, path](bool AWritten, const QString& AError) {
            if (AWritten)
                return;
            THealthEvent event;
            event.source = QStringLiteral("statusfile");
            event.text = QStringLiteral("账号状态文件无法写入 ") + path + QStringLiteral(": ") + AError;
            FHealth.Report(event);
        });
}

void TSyncController::ShowRow(const QString& AUserId, const QString& AUserName, TRowState AState)
{
    static const int codes[] = {TAccountStatus::scSyncing, TAccountStatus::scSynced, TAccountStatus::scFailed,
        TAccountStatus::scStopped, TAccountStatus::scSignedIn, TAccountStatus::scDropped};
    FStatus.SendStatus(AUserId, AUserName, codes[static_cast<int>(AState)]);
}

void TSyncController::Open()
{
    // Said before any sign-in, so that a bad file is not taken for an unreachable back end.
    if (const TCommon* common = Common(); common != nullptr && !common->problem().isEmpty())
        LogLine(llError, common->problem());
    if (!FNotifyProblem.isEmpty())
        LogLine(llError, FNotifyProblem);
    if (FPaths.newDataFolder)
        MakeFirstCache();
    FSignIns.Open();
    FKeepAlive.Start(FTiming.keepAliveInterval);
}

void TSyncController::MakeFirstCache() const
{
    const QString path = QDir(FPaths.dataFolder).filePath(QStringLiteral("db.db"));
    if (QFileInfo::exists(path))
        return;
    try {
        CreateOrderCache(path);
        // Made under the process's umask: the cache names the operator's orders.
        QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        LogLine(llMessage, QStringLiteral("首次运行,已创建订单缓存 ") + QDir::toNativeSeparators(path));
    } catch (const EQuenlarError& error) {
        LogLine(llError,
            QStringLiteral("首次运行,无法创建订单缓存 ") + QDir::toNativeSeparators(path) + QStringLiteral(": ")
                + error.Message());
    }
}

void TSyncController::CloseListener()
{
    FSignIns.Close();
}

bool TSyncController::SignIn(const QString& APhone, const QString& APwd, TSignInDone ADone)
{
    return FSession.SignIn(APhone, APwd, std::move(ADone));
}

QString TSyncController::StartCaption() const
{
    return FStartTag == 1 ? kCaptionIdle : kCaptionRunning;
}

void TSyncController::StartStopClick()
{
    if (FAccounts.Count() == 0) {
        FFrontEnd.MessageBox(QStringLiteral("必须有联盟授权才能同步失效订单"), kMessageTitle,
            TSyncFrontEnd::TButtons::OkCancel, TSyncFrontEnd::TIcon::None);
        return;
    }
    if (FStopping || !JobScheduler())
        return;
    if (FStartTag == 1) {
        FStartTag = 2;
        FPasses.Start();
        FFrontEnd.ControlsChanged();
        return;
    }
    // The repeating jobs are cancelled and their running runs waited for on a worker, so the window stays live;
    // the switch turns back once they have ended.
    FStopping = true;
    FFrontEnd.ControlsChanged();
    FPasses.Stop([this] { FinishStop(); });
}

void TSyncController::QueueHealthChanged()
{
    if (FHealthChangeQueued.exchange(true))
        return;
    RunOnMainFor(this, [this] {
        FHealthChangeQueued.store(false);
        Q_EMIT HealthChanged();
    });
}

void TSyncController::FinishStop()
{
    FStopping = false;
    FStartTag = 1;
    FFrontEnd.ControlsChanged();
}
