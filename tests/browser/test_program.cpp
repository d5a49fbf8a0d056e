// The browser as the program starts it: its command line, and a clean end when the program ends it.

#include "browser/webEngineSetup.h"

#include "standinclient.h"

#include <QFile>
#include <QNetworkProxy>
#include <QProcess>
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

TEST(BrowserProgram, OpensThePageAndEndsCleanlyWhenEnded)
{
    TStandIn standIn {TStandInFixture::FreePorts()};
    standIn.Start();
    QTemporaryDir folder;
    QFile ini(folder.filePath(QStringLiteral("conf.ini")));
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write(standIn.HostsSection().toUtf8());
    ini.close();
    QUdpSocket socket;
    socket.setProxy(QNetworkProxy::NoProxy);
    ASSERT_TRUE(socket.bind(QHostAddress(QHostAddress::LocalHost), 0));

    QProcess browser;
    browser.setWorkingDirectory(folder.path());
    browser.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    browser.start(QStringLiteral(QUENLAR_BROWSER_EXE),
        {QStringLiteral("2"), QStringLiteral("1001"), QString::number(socket.localPort())});
    ASSERT_TRUE(browser.waitForStarted(kWaitMs));
    // The page comes from the sign-in host that conf.ini names.
    EXPECT_TRUE(standIn.Server(TStandInHost::SignIn).WaitForRequests(1));
    EXPECT_EQ(standIn.Server(TStandInHost::SignIn).LastRequest().target, "/signin");

    ASSERT_EQ(::kill(static_cast<pid_t>(browser.processId()), SIGTERM), 0);
    ASSERT_TRUE(browser.waitForFinished(kWaitMs));
    EXPECT_EQ(browser.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(browser.exitCode(), 0);
    // Ended by the program, it has nothing to report; its profile stays in the program folder.
    EXPECT_FALSE(socket.hasPendingDatagrams());
    EXPECT_TRUE(QFileInfo(ProfileFolder(folder.path(), QStringLiteral("1001"))).isDir());
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
