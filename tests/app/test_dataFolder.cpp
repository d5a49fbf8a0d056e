#include "app/dataFolder.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSysInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

mode_t ModeOf(const QString& APath)
{
    struct stat info { };
    return ::stat(QFile::encodeName(APath).constData(), &info) == 0 ? (info.st_mode & 07777) : 0;
}

// Paths of a case are relative to a fresh temporary folder; "-" leaves a source empty.
struct TChoiceCase {
    const char* name;
    const char* option;
    const char* environment;
    const char* programFolder; // made (writable) unless it starts with "missing"
    bool installed; // the program folder holds the installation's marker
    const char* xdgDataHome; // relative values are not honoured, like an unset one
    const char* chosen;
};

class DataFolderChoice : public ::testing::TestWithParam<TChoiceCase> {
protected:
    QString In(const char* APath) const
    {
        const QString path = QString::fromUtf8(APath);
        return path == u"-" ? QString() : path.startsWith(u'/') ? path : FRoot.filePath(path);
    }

    QTemporaryDir FRoot;
};

TEST_P(DataFolderChoice, FollowsTheOrderOfTheSources)
{
    const TChoiceCase& c = GetParam();
    TDataFolderSources sources;
    sources.option = In(c.option);
    sources.environment = In(c.environment);
    sources.programFolder = In(c.programFolder);
    if (!QString::fromUtf8(c.programFolder).startsWith(u"missing")) {
        ASSERT_TRUE(QDir().mkpath(sources.programFolder));
    }
    if (c.installed) {
        ASSERT_TRUE(QFile(QDir(sources.programFolder).filePath(QString::fromUtf16(kInstalledMarker)))
                        .open(QIODevice::WriteOnly));
    }
    sources.xdgDataHome
        = QString::fromUtf8(c.xdgDataHome).startsWith(u"xdg") ? In(c.xdgDataHome) : QString::fromUtf8(c.xdgDataHome);
    sources.home = FRoot.filePath(QStringLiteral("home"));
    EXPECT_EQ(ChooseDataFolder(sources), In(c.chosen));
}

INSTANTIATE_TEST_SUITE_P(Sources, DataFolderChoice,
    ::testing::Values(TChoiceCase {"OptionFirst", "opt", "env", "prog", false, "xdg", "opt"},
        TChoiceCase {"EnvironmentNext", "-", "env", "prog", false, "xdg", "env"},
        TChoiceCase {"OptionMadeAbsoluteAndClean", "opt/./a/../b", "-", "prog", false, "xdg", "opt/b"},
        TChoiceCase {"WritableProgramFolder", "-", "-", "prog", false, "xdg", "prog"},
        TChoiceCase {"InstalledProgramFolderIsNeverUsed", "-", "-", "prog", true, "xdg", "xdg/quenlar"},
        TChoiceCase {"ProgramFolderThatCannotBeWritten", "-", "-", "missing", false, "xdg", "xdg/quenlar"},
        TChoiceCase {"NoXdgDataHome", "-", "-", "prog", true, "", "home/.local/share/quenlar"},
        TChoiceCase {"RelativeXdgDataHomeIgnored", "-", "-", "prog", true, "rel/share", "home/.local/share/quenlar"}),
    [](const auto& AInfo) { return std::string(AInfo.param.name); });

class DataFolderPreparation : public ::testing::Test {
protected:
    void SetUp() override { FUmask = ::umask(0); }
    void TearDown() override { ::umask(FUmask); }

    QTemporaryDir FRoot;
    mode_t FUmask = 0;
};

TEST_F(DataFolderPreparation, MissingFoldersAreMadeForTheOwnerOnlyWhateverTheUmask)
{
    const QString folder = FRoot.filePath(QStringLiteral("a/b/quenlar"));
    EXPECT_EQ(PrepareDataFolder(folder), QString());
    for (const char* made : {"a", "a/b", "a/b/quenlar"})
        EXPECT_EQ(ModeOf(FRoot.filePath(QString::fromUtf8(made))), mode_t(0700)) << made;
}

TEST_F(DataFolderPreparation, AnExistingFolderKeepsItsMode)
{
    ASSERT_TRUE(QFile::setPermissions(FRoot.path(),
        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner | QFileDevice::ReadGroup
            | QFileDevice::ExeGroup));
    EXPECT_EQ(PrepareDataFolder(FRoot.path()), QString());
    EXPECT_EQ(ModeOf(FRoot.path()), mode_t(0750));
}

TEST_F(DataFolderPreparation, AFolderThatCannotBeUsedIsNamedWithTheReason)
{
    const QString file = FRoot.filePath(QStringLiteral("file"));
    ASSERT_TRUE(QFile(file).open(QIODevice::WriteOnly));
    const QString notAFolder = PrepareDataFolder(file);
    EXPECT_TRUE(notAFolder.contains(file + QStringLiteral(" is not a folder"))) << notAFolder.toStdString();
    const QString under = file + QStringLiteral("/data");
    const QString uncreatable = PrepareDataFolder(under);
    EXPECT_TRUE(uncreatable.contains(under + QStringLiteral(" cannot be created"))) << uncreatable.toStdString();
}

// What tells a folder some run has used from a new one, whose order cache may be made. The settings and the program
// itself are put there by the operator before any run.
TEST(DataFolderUse, ARunLeavesATraceTheSettingsDoNot)
{
    const struct {
        const char* file; // made in an empty folder; "" makes nothing
        bool used;
    } cases[] = {{"", false}, {"conf.ini", false}, {"quenlar", false}, {"browser-profile/", false}, {"db.db", true},
        {"quenlar.lock", true}, {"health.json", true}, {"quenlar.log", true}, {"quenlar_3.log", true},
        {"quenlar-window.log", true}};
    for (const auto& c : cases) {
        const QTemporaryDir folder;
        const QString name = QString::fromUtf8(c.file);
        if (name.endsWith(u'/')) {
            ASSERT_TRUE(QDir(folder.path()).mkdir(name));
        } else if (!name.isEmpty()) {
            ASSERT_TRUE(QFile(folder.filePath(name)).open(QIODevice::WriteOnly));
        }
        EXPECT_EQ(HasRunBefore(folder.path()), c.used) << c.file;
    }
}

TEST(DataFolderUse, ACacheLinkThatLeadsNowhereIsATrace)
{
    const QTemporaryDir folder;
    ASSERT_TRUE(QFile::link(folder.filePath(QStringLiteral("gone.db")), folder.filePath(QStringLiteral("db.db"))));
    EXPECT_TRUE(HasRunBefore(folder.path()));
}

class InstanceLock : public ::testing::Test {
protected:
    QString LockFile() const { return FFolder.filePath(QStringLiteral("quenlar.lock")); }

    QTemporaryDir FFolder;
};

TEST_F(InstanceLock, ASecondHolderIsRefusedAndNamesTheFirstUntilItIsGone)
{
    {
        const TInstanceLock first(FFolder.path());
        ASSERT_TRUE(first.IsHeld()) << first.Problem().toStdString();
        EXPECT_TRUE(QFileInfo::exists(LockFile()));
        // A copy runs for weeks: a lock's age never makes it stale while its process lives.
        QFile file(LockFile());
        ASSERT_TRUE(file.open(QIODevice::ReadWrite));
        ASSERT_TRUE(file.setFileTime(QDateTime::currentDateTimeUtc().addDays(-30), QFileDevice::FileModificationTime));
        file.close();

        const TInstanceLock second(FFolder.path());
        EXPECT_FALSE(second.IsHeld());
        EXPECT_TRUE(second.InUse());
        const QString pid = QString::number(QCoreApplication::applicationPid());
        EXPECT_TRUE(second.Problem().contains(QStringLiteral("is in use by process ") + pid))
            << second.Problem().toStdString();
        EXPECT_TRUE(second.WindowText().contains(QStringLiteral("进程 ") + pid)) << second.WindowText().toStdString();
    }
    EXPECT_FALSE(QFileInfo::exists(LockFile()));
    const TInstanceLock next(FFolder.path());
    EXPECT_TRUE(next.IsHeld());
}

// Deleting the lock file of a running copy must not let a second copy in: the folder itself is locked too.
TEST_F(InstanceLock, ADeletedLockFileLetsNoSecondCopyIn)
{
    const TInstanceLock first(FFolder.path());
    ASSERT_TRUE(first.IsHeld()) << first.Problem().toStdString();
    ASSERT_TRUE(QFile::remove(LockFile()));
    const TInstanceLock second(FFolder.path());
    EXPECT_FALSE(second.IsHeld());
    EXPECT_TRUE(second.InUse());
    EXPECT_TRUE(second.Problem().contains(QStringLiteral("is in use by"))) << second.Problem().toStdString();
}

// Two data folders whose db.db is one file by a symlink would deliver every order twice.
TEST_F(InstanceLock, TwoFoldersSharingOneCacheDoNotRunSideBySide)
{
    QTemporaryDir other;
    const QString cache = FFolder.filePath(QStringLiteral("db.db"));
    ASSERT_TRUE(QFile(cache).open(QIODevice::WriteOnly));
    ASSERT_TRUE(QFile::link(cache, other.filePath(QStringLiteral("db.db"))));
    const TInstanceLock first(FFolder.path());
    ASSERT_TRUE(first.IsHeld()) << first.Problem().toStdString();
    {
        const TInstanceLock second(other.path());
        EXPECT_FALSE(second.IsHeld());
        EXPECT_TRUE(second.InUse());
        EXPECT_TRUE(second.Problem().contains(QFileInfo(cache).canonicalFilePath())) << second.Problem().toStdString();
        EXPECT_TRUE(second.WindowText().contains(QStringLiteral("不能共用一个订单缓存")))
            << second.WindowText().toStdString();
    }
    // The refused copy leaves no lock file behind, and a folder with a cache of its own runs.
    EXPECT_FALSE(QFileInfo::exists(other.filePath(QStringLiteral("quenlar.lock"))));
    QTemporaryDir third;
    ASSERT_TRUE(QFile(third.filePath(QStringLiteral("db.db"))).open(QIODevice::WriteOnly));
    const TInstanceLock separate(third.path());
    EXPECT_TRUE(separate.IsHeld()) << separate.Problem().toStdString();
}

TEST_F(InstanceLock, TheLockOfAProcessThatDiedIsTakenOverHoweverOld)
{
    // What a killed copy leaves: its process id (far above any pid_max), its name and this host.
    QFile stale(LockFile());
    ASSERT_TRUE(stale.open(QIODevice::WriteOnly));
    stale.write("999999999\nquenlar\n" + QSysInfo::machineHostName().toUtf8() + '\n');
    stale.close();
    const TInstanceLock lock(FFolder.path());
    EXPECT_TRUE(lock.IsHeld()) << lock.Problem().toStdString();
}

TEST_F(InstanceLock, AFolderWithoutRoomForTheLockIsNotInUse)
{
    const TInstanceLock lock(FFolder.filePath(QStringLiteral("missing")));
    EXPECT_FALSE(lock.IsHeld());
    EXPECT_FALSE(lock.InUse());
    EXPECT_TRUE(lock.Problem().contains(QStringLiteral("quenlar.lock"))) << lock.Problem().toStdString();
}

} // namespace
