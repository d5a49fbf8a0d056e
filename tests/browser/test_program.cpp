// The browser as the program starts it: its command line, and a clean end when the program ends it.

#include "browser/webEngineSetup.h"
#include "sync/signin/signInBrowser.h"

#include "standInFolder.h"
#include "standinclient.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QNetworkProxy>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTest>
#include <QUdpSocket>

#include <gtest/gtest.h>

#include <csignal>

namespace {

constexpr int kWaitMs = 30000;

TEST(BrowserProgram, RefusesAWrongCommandLine)
{
    const QStringList cases[] = {
        {},
        {QStringLiteral("2"), QStringLiteral("1001")},
        {QStringLiteral("1"), QStringLiteral("1001"), QStringLiteral("7000")},
        {QStringLiteral("2"), QStringLiteral(" "), QStringLiteral("7000")},
        {QStringLiteral("2"), QStringLiteral("1001"), QStringLiteral("0")},
        {QStringLiteral("2"), QStringLiteral("1001"), QStringLiteral("65536")},
        {QStringLiteral("2"), QStringLiteral("1001"), QStringLiteral("port")},
    };
    for (const QStringList& args : cases) {
        SCOPED_TRACE(args.join(u'|').toStdString());
        QProcess browser;
        browser.start(QStringLiteral(QUENLAR_BROWSER_EXE), args);
        ASSERT_TRUE(browser.waitForFinished(kWaitMs));
        EXPECT_EQ(browser.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(browser.exitCode(), 2);
    }
}

// The browser in a folder of its own whose conf.ini names the stand-in, and the socket it reports to.
class BrowserRun : public ::testing::Test, protected TStandInFolder {
protected:
    BrowserRun()
        : TStandInFolder(TStandInFixture::FreePorts())
    {
    }

    void SetUp() override
    {
        ASSERT_TRUE(WriteConf());
        FSocket.setProxy(QNetworkProxy::NoProxy);
        ASSERT_TRUE(FSocket.bind(QHostAddress(QHostAddress::LocalHost), 0));
    }

    QUdpSocket FSocket;
};

TEST_F(BrowserRun, OpensThePageAndEndsCleanlyWhenEnded)
{

    QProcess browser;
    browser.setWorkingDirectory(FFolder.path());
    browser.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    browser.start(QStringLiteral(QUENLAR_BROWSER_EXE),
        {QStringLiteral("2"), QStringLiteral("1001"), QString::number(FSocket.localPort())});
    ASSERT_TRUE(browser.waitForStarted(kWaitMs));
    // The page comes from the sign-in host that conf.ini names.
    EXPECT_TRUE(FStandIn.Server(TStandInHost::SignIn).WaitForRequests(1));
    EXPECT_EQ(FStandIn.Server(TStandInHost::SignIn).LastRequest().target, "/signin");

    ASSERT_EQ(::kill(static_cast<pid_t>(browser.processId()), SIGTERM), 0);
    ASSERT_TRUE(browser.waitForFinished(kWaitMs));
    EXPECT_EQ(browser.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(browser.exitCode(), 0);
    // Ended by the program, it has nothing to report; its profile stays in the program FFolder.
    EXPECT_FALSE(FSocket.hasPendingDatagrams());
    EXPECT_TRUE(QFileInfo(ProfileFolder(FFolder.path(), QStringLiteral("1001"))).isDir());
}

// Started the way the program starts it, the browser writes nothing outside the data folder (the engine's own
// profile, certificate store and caches go to browser-profile/), and its stderr, the service's journal, gets the
// engine's start-up report only when asked for.
TEST_F(BrowserRun, KeepsToTheDataFolderAndOffStderrUnlessAsked)
{
    const QTemporaryDir home; // the operator's real home
    ASSERT_TRUE(QDir().mkpath(TBrowserProcesses::BrowserHome(FFolder.path())));
    int pages = 0;
    for (const bool asked : {false, true}) {
        QProcessEnvironment base = QProcessEnvironment::systemEnvironment();
        base.insert(QStringLiteral("HOME"), home.path());
        for (const char* name : {"XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_CONFIG_HOME", "QUENLAR_BROWSER_DIAGNOSTICS"})
            base.remove(QString::fromLatin1(name));
        if (asked)
            base.insert(QStringLiteral("QUENLAR_BROWSER_DIAGNOSTICS"), QStringLiteral("1"));
        QProcess browser;
        browser.setWorkingDirectory(FFolder.path());
        browser.setProcessEnvironment(TBrowserProcesses::BrowserEnvironment(base, {}, FFolder.path()));
        browser.start(QStringLiteral(QUENLAR_BROWSER_EXE),
            {QStringLiteral("2"), QStringLiteral("1001"), QString::number(FSocket.localPort())});
        ASSERT_TRUE(browser.waitForStarted(kWaitMs));
        EXPECT_TRUE(FStandIn.Server(TStandInHost::SignIn).WaitForRequests(++pages));
        ASSERT_EQ(::kill(static_cast<pid_t>(browser.processId()), SIGTERM), 0);
        ASSERT_TRUE(browser.waitForFinished(kWaitMs));
        const QByteArray err = browser.readAllStandardError();
        EXPECT_EQ(err.contains("Init Parameters"), asked) << err.toStdString();
    }
    QDirIterator written(home.path(), QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
        QDirIterator::Subdirectories);
    EXPECT_FALSE(written.hasNext()) << written.next().toStdString();
}

// The profile beside the program keeps the session: started again for the account, the browser hands it over
// without a sign-in.
TEST_F(BrowserRun, ASecondSignInOfTheAccountIsQuick)
{
    const std::string userId = FStandIn.Data().Accounts()[0].userId;
    const auto run = [&](const QString& APageQuery) {
        QString hosts = FStandIn.HostsSection();
        hosts.replace(QStringLiteral("/signin\n"), QStringLiteral("/signin") + APageQuery + QStringLiteral("\n"));
        EXPECT_TRUE(WriteConfText(hosts));
        QProcess browser;
        browser.setWorkingDirectory(FFolder.path());
        browser.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        browser.start(QStringLiteral(QUENLAR_BROWSER_EXE),
            {QStringLiteral("2"), QString::fromStdString(userId), QString::number(FSocket.localPort())});
        EXPECT_TRUE(browser.waitForStarted(kWaitMs));
        QJsonObject message;
        if (QTest::qWaitFor([&] { return FSocket.hasPendingDatagrams(); }, kWaitMs))
            message = QJsonDocument::fromJson(FSocket.receiveDatagram().data()).object();
        // Ended the way the program ends it.
        ::kill(static_cast<pid_t>(browser.processId()), SIGTERM);
        EXPECT_TRUE(browser.waitForFinished(kWaitMs));
        EXPECT_EQ(browser.exitCode(), 0);
        return message;
    };
    // The first time the stand-in's page signs the account in by itself; the second time it would wait for a person.
    const QJsonObject first = run(QStringLiteral("?autoSubmit=1&userId=") + QString::fromStdString(userId));
    ASSERT_FALSE(first.value(QStringLiteral("memberid")).toString().isEmpty());
    const QJsonObject second = run(QString());
    EXPECT_EQ(second.value(QStringLiteral("memberid")).toString(), first.value(QStringLiteral("memberid")).toString());
    EXPECT_EQ(second.value(QStringLiteral("cookies")).toString(), first.value(QStringLiteral("cookies")).toString());
}

TEST(BrowserProgram, EachAccountHasItsOwnProfileFolder)
{
    struct TCase {
        const char* userId;
        const char* folder;
    };
    const TCase cases[] = {
        {"1001", "/app/browser-profile/1001"},
        {"ab12", "/app/browser-profile/ab12"},
        {"../x", "/app/browser-profile/_002e_002e_002fx"},
        {"", "/app/browser-profile/_"},
    };
    for (const TCase& c : cases)
        EXPECT_EQ(ProfileFolder(QStringLiteral("/app"), QString::fromUtf8(c.userId)), QString::fromUtf8(c.folder));
}

} // namespace
