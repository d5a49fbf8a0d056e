#include "app/headless.h"

#include "app/dataFolder.h"
#include "app/processObjects.h"
#include "app/serviceNotifier.h"
#include "app/terminationSignals.h"
#include "foundation/textutil.h"
#include "log/QLog.h"
#include "sync/latestFile.h"
#include "sync/statusFile.h"
#include "sync/syncController.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// Under a service manager stdout may be the journal, which stamps every line itself and reads a "<N>" syslog
// priority in front of it: JOURNAL_STREAM names the journal's stream as "device:inode".
bool StdoutIsJournal()
{
    const QList<QByteArray> parts = qgetenv("JOURNAL_STREAM").split(':');
    struct stat info { };
    if (parts.size() != 2 || ::fstat(STDOUT_FILENO, &info) != 0)
        return false;
    return parts[0].toULongLong() == static_cast<qulonglong>(info.st_dev)
        && parts[1].toULongLong() == static_cast<qulonglong>(info.st_ino);
}

// One console line: with its time for a terminal or a file, with its priority for the journal. The log levels are
// the syslog priorities, error 3, warning 4, message 6.
QString ConsoleLine(TQLogLevel ALevel, const QDateTime& ATime, const QString& AText)
{
    static const bool journal = StdoutIsJournal();
    if (journal)
        return u'<' + QString::number(static_cast<int>(ALevel)) + u'>' + AText;
    return u'[' + ATime.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) + QStringLiteral("]  ") + AText;
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
        Print(stdout, ConsoleLine(AItem.Level, LogItemTime(AItem), LogItemMessage(AItem)));
        return true;
    }
};

class TConsoleFrontEnd : public TSyncFrontEnd {
public:
    void MessageBox(const QString& AText, const QString& ATitle, TButtons, TIcon) override
    {
        Print(stderr, ATitle + QStringLiteral(": ") + AText);
    }
    void OperatorPanelChanged(const QString& AText) override
    {
        Print(stdout, ConsoleLine(llMessage, QDateTime::currentDateTime(), AText));
    }
    void ControlsChanged() override { }
};

// The headless wait for the sign-in browsers outlasts their own time-out, which reports each silent one.
constexpr int kSignInTimerMarginMs = 2000;

// The exit codes of --once: what a cron job or a service manager sees of the run.
enum TExitCode {
    ecComplete = 0, // every pass complete and every batch accepted
    ecSignIn = 1, // the sign-in was refused or the back end unreachable
    ecUsage = 2, // a bad command line
    ecNoAccounts = 3, // the account list was unreadable or empty
    ecAccountFailed = 4, // some account's pass did not complete
    ecInUse = 5, // another copy runs on the data folder
    ecInterrupted = 6, // SIGINT or SIGTERM ended a --once before its passes completed
};

// The headless run as a sequence of main-thread steps: sign in, list, sign-in browsers, passes.
class THeadlessRun : public QObject {
public:
    THeadlessRun(const TAppOptions& AOptions, TSyncController& AController, TServiceNotifier& ANotifier)
        : FOptions(AOptions)
        , FController(AController)
        , FNotifier(ANotifier)
    {
        connect(&FController, &TSyncController::AccountsRefreshed, this, &THeadlessRun::OnAccounts);
        connect(&FController, &TSyncController::SignInReported, this, &THeadlessRun::OnSignInReported);
        connect(&FController, &TSyncController::PassEnded, this, &THeadlessRun::WriteStatus);
        connect(&FController, &TSyncController::HealthChanged, this, &THeadlessRun::WriteStatus);
        if (!FOptions.statusFile.isEmpty()) {
            // Written on a thread of its own, the latest state winning, so the main thread never waits for the disk.
            FStatusFile = std::make_unique<TLatestFile>(
                FOptions.statusFile, [this] { return StatusFileJson(FController.Health()); },
                [this](bool AWritten, const QString& AError) {
                    if (AWritten)
                        return;
                    THealthEvent event;
                    event.source = QStringLiteral("statusfile");
                    event.text
                        = QStringLiteral("状态文件无法写入 ") + FOptions.statusFile + QStringLiteral(": ") + AError;
                    FController.Health().Report(event);
                });
        }
        FSignInTimer.setSingleShot(true);
        connect(&FSignInTimer, &QTimer::timeout, this, &THeadlessRun::OnSignInTimeout);
    }

    // The exit code of a run that a signal ends: without --once a clean end; a --once that had not finished its
    // passes was interrupted, whatever it delivered, so a cron job never takes it for a complete run.
    int SignalledExitCode() const
    {
        if (!FOptions.once)
            return ecComplete;
        return FOnceExitCode >= 0 ? FOnceExitCode : ecInterrupted;
    }

    void Start()
    {
        const QString password = qEnvironmentVariable("QUENLAR_PASSWORD");
        if (Trim(password).isEmpty()) {
            Print(stderr,
                QStringLiteral("quenlar: set the client password in the environment variable QUENLAR_PASSWORD"));
            QCoreApplication::exit(ecUsage);
            return;
        }
        FController.SignIn(FOptions.phone, password, [this](bool ASucceeded, const QString& AError) {
            if (ASucceeded) {
                // Ready once signed in: the phone, the password and the back end's address have proved good, so a
                // start that cannot work fails the start itself; what follows (the list, the sign-in browsers, the
                // passes) may rightly take longer than a start may, and its failures are each account's health.
                FNotifier.Ready();
                return;
            }
            // The back end's text, and beside it what kept the request from being answered at all.
            const QString& cause = FController.SignInCause();
            Print(stderr,
                cause.isEmpty() ? QStringLiteral("quenlar: the operator back end refused the sign-in: ") + AError
                                : QStringLiteral("quenlar: the operator back end could not be reached (") + cause
                        + QStringLiteral("): ") + AError);
            QCoreApplication::exit(ecSignIn);
        });
    }

private:
    void OnAccounts(bool ASucceeded, const QString& AError)
    {
        if (FStarted)
            return; // a periodic refresh of a running program
        PrintAccounts();
        if (!ASucceeded) {
            const QString reason = AError.isEmpty() ? QStringLiteral("the account list is empty") : AError;
            if (FOptions.once) {
                Print(stderr, QStringLiteral("quenlar: no affiliate accounts to synchronise: ") + reason);
                QCoreApplication::exit(ecNoAccounts);
                return;
            }
            // The periodic token refresh asks again; the passes start with the first list that brings rows.
            LogLine(llError, QStringLiteral("联盟账号列表为空或无法读取,等待下次刷新: ") + reason);
            return;
        }
        FStarted = true;
        if (FOptions.alimamaLogin && StartSignIns())
            return;
        StartPasses();
    }

    void PrintAccounts()
    {
        const TAccountListModel& accounts = FController.Accounts();
        Print(stdout,
            ConsoleLine(llMessage, QDateTime::currentDateTime(),
                QStringLiteral("联盟账号: ") + QString::number(accounts.Count())));
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
            if (!userId.isEmpty()
                && FController.StartSignInBrowser(userId, std::chrono::seconds(FOptions.alimamaLoginTimeoutS)))
                FAwaited.insert(userId);
        }
        if (FAwaited.empty())
            return false;
        FSignInTimer.start(FOptions.alimamaLoginTimeoutS * 1000 + kSignInTimerMarginMs);
        return true;
    }

    void OnSignInReported(const QString& AUserId, bool)
    {
        if (FAwaited.erase(Trim(AUserId)) == 0 || !FAwaited.empty() || !FSignInTimer.isActive())
            return;
        FSignInTimer.stop();
        StartPasses();
    }

    // A fallback only: each browser's own time-out, a little earlier, ends it and reports it as a failure.
    void OnSignInTimeout()
    {
        FAwaited.clear();
        StartPasses();
    }

    void StartPasses()
    {
        if (FOptions.once) {
            FController.RunPassesOnce([this] {
                FOnceExitCode = OnceExitCode();
                QCoreApplication::exit(FOnceExitCode);
            });
            return;
        }
        FController.StartStopClick();
    }

    void WriteStatus()
    {
        if (FStatusFile)
            FStatusFile->Touch();
    }

    // The run's verdict from its health alone: one line on stderr per failure the run met (an account's failed
    // pass naming the account and the cause, a list item left out, an unwritable status file), and one per
    // account pass a stop cut short; 4 when there was any.
    int OnceExitCode()
    {
        // The run is over: its last state is written before the verdict, so a file that cannot be written counts.
        if (FStatusFile) {
            FStatusFile->Touch();
            FStatusFile->Flush();
        }
        int code = ecComplete;
        const TAccountHealth& health = FController.Health();
        for (const THealthEvent& event : health.Events()) {
            Print(stderr,
                event.userId.isEmpty()
                    ? QStringLiteral("quenlar: ") + event.text
                    : QStringLiteral("quenlar: account %1 (%2): %3").arg(event.userName, event.userId, event.text));
            code = ecAccountFailed;
        }
        const QDateTime started = health.Process().started;
        for (const TAccountHealthRecord& account : health.Accounts()) {
            for (const TPassKind kind : {TPassKind::Invalid, TPassKind::Refund}) {
                const TPassRecord& pass = account.last[static_cast<int>(kind)];
                // A record another run left is no part of this run's verdict.
                if (!pass.ran || pass.state != TAccountPassOutcome::TState::Stopped || pass.start < started)
                    continue;
                Print(stderr,
                    QStringLiteral("quenlar: account %1 (%2): %3")
                        .arg(account.userName, account.userId,
                            kind == TPassKind::Invalid ? QStringLiteral("失效订单同步已停止")
                                                       : QStringLiteral("维权订单同步已停止")));
                code = ecAccountFailed;
            }
        }
        return code;
    }

    const TAppOptions& FOptions;
    TSyncController& FController;
    TServiceNotifier& FNotifier;
    QTimer FSignInTimer;
    std::set<QString> FAwaited;
    // None without --status-file; written once more with the last state when the run goes (after the jobs ended).
    std::unique_ptr<TLatestFile> FStatusFile;
    bool FStarted = false;
    int FOnceExitCode = -1; // once the --once passes have ended
};

TSyncTiming TimingFrom(const TAppOptions& AOptions)
{
    TSyncTiming timing;
    const auto units = [](double ASeconds) { return static_cast<qint64>(ASeconds * static_cast<double>(Q1Second)); };
    if (AOptions.syncIntervalS > 0)
        timing.syncInterval = units(AOptions.syncIntervalS);
    if (AOptions.refundIntervalS > 0)
        timing.refundInterval = units(AOptions.refundIntervalS);
    return timing;
}

} // namespace

int RunHeadless(const TAppOptions& AOptions)
{
    TProcessObjects::TOptions processOptions;
    processOptions.dataFolder = ChooseDataFolder(TDataFolderSources::OfProcess(AOptions.dataDir));
    if (const QString problem = PrepareDataFolder(processOptions.dataFolder); !problem.isEmpty()) {
        Print(stderr, QStringLiteral("quenlar: ") + problem);
        return ecUsage;
    }
    const bool newFolder = !HasRunBefore(processOptions.dataFolder);
    // Taken before anything is written there, held until everything has ended.
    const TInstanceLock lock(processOptions.dataFolder);
    if (!lock.IsHeld()) {
        Print(stderr, QStringLiteral("quenlar: ") + lock.Problem());
        return lock.InUse() ? ecInUse : ecUsage;
    }
    TProcessObjects objects(processOptions);
    GlobalLog()->Castor()->AddWriter(std::make_unique<TConsoleLogWriter>());

    // A status file named without a folder is kept in the data folder with the rest.
    TAppOptions options = AOptions;
    if (!options.statusFile.isEmpty())
        options.statusFile = QDir(processOptions.dataFolder).absoluteFilePath(options.statusFile);

    TConsoleFrontEnd frontEnd;
    int exitCode = 0;
    {
        const TSyncPaths paths {QCoreApplication::applicationDirPath(), processOptions.dataFolder, newFolder};
        TSyncController controller(frontEnd, paths, TimingFrom(options));
        controller.Health().SetVersion(QStringLiteral(QUENLAR_VERSION));
        controller.Open();
        TServiceNotifier notifier;
        THeadlessRun run(options, controller, notifier);
        const TTerminationSignals signals([&run, &notifier](int) {
            notifier.Stopping();
            QCoreApplication::exit(run.SignalledExitCode());
        });
        QTimer::singleShot(0, &run, [&run] { run.Start(); });
        exitCode = QCoreApplication::exec();
        // The jobs may take their time to end (a batch post up to 15 s); the manager hears of it before that.
        notifier.Stopping();
        controller.CloseListener();
        objects.StopJobs();
    }
    return exitCode;
}
