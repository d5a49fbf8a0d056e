// The stand-in sign-in browser reports to a real UDP socket, as the program's listener receives it.

#include "standin/standin.h"

#include "standInFolder.h"
#include "standinclient.h"
#include "testwait.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QNetworkProxy>
#include <QProcess>
#include <QUdpSocket>

#include <gtest/gtest.h>

namespace {

class SignInBrowser : public ::testing::Test, protected TStandInFixture, protected TStandInFolder {
protected:
    SignInBrowser()
        : TStandInFolder(FreePorts())
    {
    }

    void SetUp() override
    {
        ASSERT_TRUE(WriteConf());
        // Loopback needs no proxy, and asking the system for one starts a lookup thread in the proxy library.
        FSocket.setProxy(QNetworkProxy::NoProxy);
        ASSERT_TRUE(FSocket.bind(QHostAddress(QHostAddress::LocalHost), 0));
    }

    void TearDown() override
    {
        if (FBrowser.state() != QProcess::NotRunning) {
            FBrowser.kill();
            FBrowser.waitForFinished(20000);
        }
    }

    // Starts the browser the way the program does and returns its one datagram.
    QByteArray SignIn(const QString& AUserId)
    {
        FBrowser.setWorkingDirectory(FFolder.path());
        FBrowser.start(
            QStringLiteral(QUENLAR_BROWSER_EXE), {QStringLiteral("2"), AUserId, QString::number(FSocket.localPort())});
        EXPECT_TRUE(FBrowser.waitForStarted(20000));
        EXPECT_TRUE(WaitForCondition([&] { return FSocket.hasPendingDatagrams() || FSocket.waitForReadyRead(100); }));
        return FSocket.receiveDatagram().data();
    }

    // It stays until ended by its process id.
    void EndIt(qint64 AProcessId)
    {
        EXPECT_EQ(AProcessId, FBrowser.processId());
        EXPECT_EQ(FBrowser.state(), QProcess::Running);
        ASSERT_EQ(::kill(static_cast<pid_t>(AProcessId), SIGTERM), 0);
        EXPECT_TRUE(FBrowser.waitForFinished(20000));
        EXPECT_EQ(FBrowser.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(FBrowser.exitCode(), 0);
    }

    QUdpSocket FSocket;
    QProcess FBrowser;
};

TEST_F(SignInBrowser, ReportsTheSessionAndWaitsToBeEnded)
{
    const TDemoAccount& account = FStandIn.Data().Accounts()[1];
    const QByteArray datagram = SignIn(QString::fromStdString(account.userId));
    QJsonParseError error {};
    const QJsonObject message = QJsonDocument::fromJson(datagram, &error).object();
    ASSERT_EQ(error.error, QJsonParseError::NoError) << datagram.toStdString();
    EXPECT_EQ(message[QStringLiteral("cmd")].toInt(), 1000);
    EXPECT_EQ(message[QStringLiteral("userId")].toString().toStdString(), account.userId);
    EXPECT_EQ(message[QStringLiteral("nickname")].toString().toStdString(), account.userName);
    EXPECT_EQ(message[QStringLiteral("memberid")].toString().toStdString(), account.memberId);

    // The cookies name a live session, and the token pair is followed by ';' as the program's extraction needs.
    const std::string cookies = message[QStringLiteral("cookies")].toString().toStdString();
    const size_t token = cookies.find("_tb_token_=");
    ASSERT_NE(token, std::string::npos);
    EXPECT_NE(cookies.find(';', token), std::string::npos);
    const QJsonObject probe = Json(Https(FStandIn, TStandInHost::Publisher)
                                       ->Get(TAlimamaHosts::kProbePath, httplib::Headers {{"Cookie", cookies}}));
    EXPECT_EQ(probe[QStringLiteral("data")][QStringLiteral("mmNick")].toString().toStdString(), account.userName);

    EndIt(message[QStringLiteral("processId")].toInteger());
}

TEST_F(SignInBrowser, UnknownAccountReportsAFailedSignIn)
{
    const QJsonObject message = QJsonDocument::fromJson(SignIn(QStringLiteral("12345"))).object();
    EXPECT_EQ(message[QStringLiteral("cmd")].toInt(), 1000);
    EXPECT_EQ(message[QStringLiteral("userId")].toString(), QStringLiteral("12345"));
    EXPECT_TRUE(message[QStringLiteral("memberid")].toString().isEmpty());
    EndIt(message[QStringLiteral("processId")].toInteger());
}

} // namespace
