// The headless program with its data apart from its executable, as an installed program runs: where each file goes,
// who may read it, and one copy per data folder.
#include "e2eFixture.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QTemporaryDir>

#include <csignal>

#include <sys/stat.h>

namespace {

mode_t ModeOf(const QString& APath)
{
    struct stat info { };
    return ::lstat(QFile::encodeName(APath).constData(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

// Sets a umask for its life, so that modes come from the programs under test and not from this process.
class TUmask {
public:
    explicit TUmask(mode_t AMask)
        : FBefore(::umask(AMask))
    {
    }
    ~TUmask() { ::umask(FBefore); }
    TUmask(const TUmask&) = delete;
    TUmask& operator=(const TUmask&) = delete;

private:
    const mode_t FBefore;
};

class DataFolder : public TEndToEnd {
protected:
    // The settings and the order cache move to a data folder of their own: a run that still used the program folder
    // would find neither.
    void MoveToDataFolder()
    {
        FData = FFolder.filePath(QStringLiteral("data/quenlar"));
        ASSERT_EQ(QProcess::execute(QStringLiteral(QUENLAR_INITDB), {FData + QStringLiteral("/db.db")}), 0);
        ASSERT_TRUE(QFile::rename(FFolder.filePath(QStringLiteral("conf.ini")), FData + QStringLiteral("/conf.ini")));
        ASSERT_TRUE(QFile::remove(FFolder.filePath(QStringLiteral("db.db"))));
    }

    void StartCopy(QProcess& AProcess, const QStringList& AExtra) const
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("QUENLAR_PASSWORD"), QStringLiteral("demo1234"));
        AProcess.setProcessEnvironment(environment);
        AProcess.setWorkingDirectory(FFolder.path());
        AProcess.start(FProgram,
            QStringList {QStringLiteral("--headless"), QStringLiteral("--phone"), QStringLiteral("13800138000")}
                + AExtra);
    }

    // A long-running copy on the program folder, once both its first passes have ended (what it printed on failure).
    ::testing::AssertionResult StartFirstCopy(QProcess& AFirst) const
    {
        StartCopy(AFirst, {});
        if (!AFirst.waitForStarted())
            return ::testing::AssertionFailure() << "the first copy did not start";
        QString out;
        const bool passed = WaitForCondition(
            [&] {
                AFirst.waitForReadyRead(50);
                out += QString::fromUtf8(AFirst.readAllStandardOutput());
                return out.contains(QStringLiteral("失效订单同步结束"))
                    && out.contains(QStringLiteral("维权订单同步结束"));
            },
            std::chrono::seconds(60));
        return passed ? ::testing::AssertionSuccess() : ::testing::AssertionFailure() << out.toStdString();
    }

    QString FData;
};

TEST_F(DataFolder, ARunKeepsEverythingInTheDataFolderReadableByItsOwnerOnly)
{
    Prepare(false, true, 1);
    const TUmask open(022);
    MoveToDataFolder();
    // The operator's own file; the program never widens it.
    ASSERT_TRUE(QFile::setPermissions(FData + QStringLiteral("/conf.ini"), QFile::ReadOwner | QFile::WriteOwner));
    Start({QStringLiteral("--data-dir"), FData, QStringLiteral("--status-file"), QStringLiteral("status.json")});
    const TRun run = Finish();
    ASSERT_TRUE(run.finished);
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    ExpectAllDeliveredOnce();

    EXPECT_EQ(QDir(FFolder.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name),
        QStringList({QStringLiteral("browser.exe"), QStringLiteral("quenlar")}))
        << "the program folder got a file";
    for (const char* made : {"db.db", "status.json", "quenlar.log"})
        EXPECT_TRUE(QFileInfo::exists(FData + u'/' + QLatin1String(made))) << made;
    EXPECT_FALSE(QFileInfo::exists(FData + QStringLiteral("/quenlar.lock"))) << "the lock outlived the run";
    EXPECT_EQ(ModeOf(FFolder.filePath(QStringLiteral("data"))), mode_t(0700));
    EXPECT_EQ(ModeOf(FData), mode_t(0700));
    QDirIterator entries(
        FData, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    int checked = 0;
    while (entries.hasNext()) {
        const QString path = entries.next();
        EXPECT_EQ(ModeOf(path), entries.fileInfo().isDir() ? mode_t(0700) : mode_t(0600)) << path.toStdString();
        ++checked;
    }
    EXPECT_GE(checked, 4);
}

TEST_F(DataFolder, ASecondCopyExitsNamingTheFirstAndTheLockOfAKilledCopyIsTakenOver)
{
    Prepare(false, true, 1);
    // No sign-in browser: none may outlive the copy that is killed.
    SetRefundSource(QStringLiteral("api"));
    QProcess first;
    ASSERT_TRUE(StartFirstCopy(first));
    const long long batches = Count("invalidOrders", "batches") + Count("refunds", "batches");
    const QJsonObject topCalls = FStandIn->Top().Counters();

    const TRun second = RunOnce(false);
    ASSERT_TRUE(second.finished);
    EXPECT_EQ(second.exitCode, 5);
    EXPECT_TRUE(second.err.contains(QStringLiteral("is in use by process %1").arg(first.processId())))
        << second.err.toStdString();
    EXPECT_TRUE(FStandIn->Top().Counters() == topCalls) << "the second copy downloaded orders";

    ::kill(static_cast<pid_t>(first.processId()), SIGKILL);
    ASSERT_TRUE(first.waitForFinished());
    ASSERT_TRUE(QFileInfo::exists(FFolder.filePath(QStringLiteral("quenlar.lock"))));
    const TRun third = RunOnce(false);
    ASSERT_TRUE(third.finished);
    ASSERT_EQ(third.exitCode, 0) << third.err.toStdString();
    EXPECT_EQ(Count("invalidOrders", "batches") + Count("refunds", "batches"), batches);
    ExpectAllDeliveredOnce();
}

// A careless operator deletes the lock file of a running copy, or points a second folder's db.db at the first's:
// neither lets a second copy deliver anything.
TEST_F(DataFolder, NeitherADeletedLockFileNorASharedCacheLetsASecondCopyIn)
{
    Prepare(false, true, 1);
    SetRefundSource(QStringLiteral("api"));
    QProcess first;
    ASSERT_TRUE(StartFirstCopy(first));
    const QJsonObject topCalls = FStandIn->Top().Counters();

    ASSERT_TRUE(QFile::remove(FFolder.filePath(QStringLiteral("quenlar.lock"))));
    const TRun second = RunOnce(false);
    ASSERT_TRUE(second.finished);
    EXPECT_EQ(second.exitCode, 5) << second.err.toStdString();

    // Another data folder with the same settings, whose cache is the first's through a symlink.
    const QString other = FFolder.filePath(QStringLiteral("other"));
    ASSERT_TRUE(QDir().mkpath(other));
    ASSERT_TRUE(QFile::copy(FFolder.filePath(QStringLiteral("conf.ini")), other + QStringLiteral("/conf.ini")));
    ASSERT_TRUE(QFile::link(FFolder.filePath(QStringLiteral("db.db")), other + QStringLiteral("/db.db")));
    QProcess third;
    StartCopy(third, {QStringLiteral("--once"), QStringLiteral("--data-dir"), other});
    ASSERT_TRUE(third.waitForFinished(static_cast<int>(kTestWaitLimit.count())));
    EXPECT_EQ(third.exitCode(), 5) << third.readAllStandardError().toStdString();
    EXPECT_TRUE(FStandIn->Top().Counters() == topCalls) << "a second copy downloaded orders";

    first.terminate();
    ASSERT_TRUE(first.waitForFinished());
    ExpectAllDeliveredOnce();
}

struct TInitDbCase {
    const char* name;
    QStringList arguments;
    int exitCode;
    const char* printed; // part of stdout (exit 0) or stderr
    const char* made; // the one file the run leaves in its folder; empty: none
};

class InitDbCommandLine : public ::testing::TestWithParam<TInitDbCase> { };

// Options are options: --help or a mistyped one must never become a cache file of that name.
TEST_P(InitDbCommandLine, ReadsItsOptionsAndMakesOnlyThePathNamed)
{
    const TInitDbCase& c = GetParam();
    QTemporaryDir folder;
    QProcess initdb;
    initdb.setWorkingDirectory(folder.path());
    initdb.start(QStringLiteral(QUENLAR_INITDB), c.arguments);
    ASSERT_TRUE(initdb.waitForFinished());
    EXPECT_EQ(initdb.exitCode(), c.exitCode);
    const QString printed
        = QString::fromUtf8(c.exitCode == 0 ? initdb.readAllStandardOutput() : initdb.readAllStandardError());
    EXPECT_TRUE(printed.contains(QString::fromUtf8(c.printed))) << printed.toStdString();
    const QStringList made = QDir(folder.path()).entryList(QDir::Files | QDir::Hidden);
    EXPECT_EQ(made, c.made[0] ? QStringList(QString::fromUtf8(c.made)) : QStringList())
        << made.join(u' ').toStdString();
}

INSTANTIATE_TEST_SUITE_P(Options, InitDbCommandLine,
    ::testing::Values(TInitDbCase {"Help", {QStringLiteral("--help")}, 0, "usage: quenlar-initdb", ""},
        TInitDbCase {"Version", {QStringLiteral("--version")}, 0, "quenlar-initdb ", ""},
        TInitDbCase {
            "UnknownOption", {QStringLiteral("--force"), QStringLiteral("db.db")}, 2, "unknown option --force", ""},
        TInitDbCase {"NoPath", {}, 2, "usage:", ""},
        TInitDbCase {"TwoPaths", {QStringLiteral("a.db"), QStringLiteral("b.db")}, 2, "usage:", ""},
        TInitDbCase {"APath", {QStringLiteral("db.db")}, 0, "", "db.db"},
        TInitDbCase {"APathAfterDashes", {QStringLiteral("--"), QStringLiteral("--odd.db")}, 0, "", "--odd.db"}),
    [](const auto& AInfo) { return std::string(AInfo.param.name); });

} // namespace
