#include "app/headless.h"

#include "app/terminationSignals.h"
#include "log/QLog.h"
#include "sync/processObjects.h"
#include "sync/syncController.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QTimer>

#include <cstdio>
#include <set>

namespace {

QString Now()
{
    return QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

void Print(std::FILE* AStream, const QString& AText)
{
    const QByteArray bytes = (AText + u'\n').toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), AStream);
    std::fflush(AStream);
}

// Every log line once on stdout, with the time it was logged.
class TConsoleLogWriter : public TQLogWriter {
public:
    void HandleNeeded() override { }
    bool WriteItem(const TQLogItem& AItem) override
    {
        Print(stdout,
            u'[' + LogItemTime(AItem).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) + QStringLiteral("]  ")
                + LogItemMessage(AItem));
        return true;
    }
};

class TConsoleFrontEnd : public TSyncFrontEnd {
public:
    TAnswer MessageBox(const QString& AText, const QString& ATitle, TButtons, TIcon) override
    {
        Print(stderr, ATitle + QStringLiteral(": ") + AText);
        return TAnswer::Ok;
    }
    void OperatorPanelChanged(const QString& AText) override
    {
        Print(stdout, u'[' + Now() + QStringLiteral("]  ") + AText);
    }
    void ControlsChanged() override { }
};

// The headless run as a sequence of main-thread steps: sign in, list, sign-in browsers, passes.
class THeadlessRun : public QObject {
public:
    THeadlessRun(const TAppOptions& AOptions, TSyncController& AController)
        : FOptions(AOptions)
        , FController(AController)
    {
        connect(&FController, &TSyncController::AccountsRefreshed, this, &THeadlessRun::OnAccounts);
        connect(&FController, &TSyncController::SignInReported, this, &THeadlessRun::OnSignInReported);
        FSignInTimer.setSingleShot(true);
        connect(&FSignInTimer, &QTimer::timeout, this, &THeadlessRun::OnSignInTimeout);
    }

    void Start()
    {
        const QString password = qEnvironmentVariable("QUENLAR_PASSWORD");
        if (password.trimmed().isEmpty()) {
            Print(stderr,
                QStringLiteral("quenlar: set the client password in the environment variable QUENLAR_PASSWORD"));
            QCoreApplication::exit(2);
            return;
        }
        FController.SignIn(FOptions.phone, password, [](bool ASucceeded, const QString& AError) {
            if (ASucceeded)
                return;
            Print(stderr, AError);
            QCoreApplication::exit(1);
        });
    }

private:
    void OnAccounts(bool)
    {
        if (FStarted)
            return; // a periodic refresh
        FStarted = true;
        PrintAccounts();
        if (FOptions.alimamaLogin && StartSignIns())
            return;
        StartPasses();
    }

    void PrintAccounts()
    {
        const TAccountListModel& accounts = FController.Accounts();
        Print(stdout, u'[' + Now() + QStringLiteral("]  联盟账号: ") + QString::number(accounts.Count()));
        for (int row = 0; row < accounts.Count(); ++row) {
            QStringList cells;
            for (int column = 0; column < TAccountListModel::colCount; ++column)
                cells << accounts.Text(row, column);
            Print(stdout, QStringLiteral("    ") + cells.join(QStringLiteral(" | ")));
        }
    }

    bool StartSignIns()
    {
        const TAccountListModel& accounts = FController.Accounts();
        for (int row = 0; row < accounts.Count(); ++row) {
            const QString userId = accounts.Text(row, TAccountListModel::colUserId);
            if (!userId.isEmpty() && FController.StartSignInBrowser(userId))
                FAwaited.insert(userId);
        }
        if (FAwaited.empty())
            return false;
        FSignInTimer.start(FOptions.alimamaLoginTimeoutS * 1000);
        return true;
    }

    void OnSignInReported(const QString& AUserId, bool)
    {
        if (FAwaited.erase(AUserId.trimmed()) == 0 || !FAwaited.empty() || !FSignInTimer.isActive())
            return;
        FSignInTimer.stop();
        StartPasses();
    }

    void OnSignInTimeout()
    {
        Print(stderr,
            QStringLiteral("quenlar: %1 sign-in browser(s) did not report within %2 s")
                .arg(FAwaited.size())
                .arg(FOptions.alimamaLoginTimeoutS));
        FAwaited.clear();
        StartPasses();
    }

    void StartPasses()
    {
        if (FOptions.once) {
            FController.RunPassesOnce([] { QCoreApplication::exit(0); });
            return;
        }
        FController.StartStopClick();
    }

    const TAppOptions& FOptions;
    TSyncController& FController;
    QTimer FSignInTimer;
    std::set<QString> FAwaited;
    bool FStarted = false;
};

// The pass intervals, shortened by the soak and idle measurements through the environment; the user's command line
// knows nothing of it.
TSyncTiming TimingFromEnvironment()
{
    TSyncTiming timing;
    bool ok = false;
    const qint64 intervalMs = qEnvironmentVariableIntValue("QUENLAR_TEST_PASS_INTERVAL_MS", &ok);
    if (ok && intervalMs > 0) {
        timing.syncInterval = intervalMs * (Q1Second / 1000);
        timing.refundInterval = timing.syncInterval;
    }
    return timing;
}

} // namespace

int RunHeadless(const TAppOptions& AOptions)
{
    TProcessObjects::TOptions processOptions;
    processOptions.programFolder = QCoreApplication::applicationDirPath();
    TProcessObjects objects(processOptions);
    GlobalLog()->Castor()->AddWriter(std::make_unique<TConsoleLogWriter>());

    TConsoleFrontEnd frontEnd;
    int exitCode = 0;
    {
        const TSyncPaths paths {processOptions.programFolder, processOptions.programFolder};
        TSyncController controller(frontEnd, paths, TimingFromEnvironment());
        controller.Open();
        const TTerminationSignals signals([](int) { QCoreApplication::exit(0); });
        THeadlessRun run(AOptions, controller);
        QTimer::singleShot(0, &run, [&run] { run.Start(); });
        exitCode = QCoreApplication::exec();
        controller.CloseListener();
        objects.StopJobs();
    }
    return exitCode;
}
