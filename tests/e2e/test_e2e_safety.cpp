// The headless program against the stand-in services where a back end misbehaves on purpose: nothing may arrive
// twice, nothing may be counted as delivered that was not, and nobody else may hand the program a session.
#include "e2eFixture.h"

#include "standin/testservers.h"

#include <QElapsedTimer>
#include <QNetworkProxy>
#include <QUdpSocket>

#include <csignal>

namespace {

long long FaultCounter(TStandIn& AStandIn, const char* AName)
{
    return AStandIn.Faults().Counters().value(QLatin1String(AName)).toInteger();
}

// The intake applies a batch and answers seconds later: a post cut at the end would make the next run send it
// again.
TEST_F(TEndToEnd, SigtermDuringASlowPostWaitsForItAndTheNextRunSendsNothingTwice)
{
    Prepare(false, true, 1);
    TFaultSettings slow;
    slow.latencyMs = 3000;
    slow.hosts = 1u << static_cast<unsigned>(TStandInHost::Intake);
    FStandIn->Faults().Set(slow);
    Start();
    ASSERT_TRUE(WaitForCondition([this] { return FaultCounter(*FStandIn, "delayed") > 0; }, std::chrono::seconds(60)));
    ::kill(static_cast<pid_t>(FProcess.processId()), SIGTERM);
    const TRun stopped = Finish();
    ASSERT_TRUE(stopped.finished);
    EXPECT_EQ(FaultCounter(*FStandIn, "delayed"), 1) << "a batch started after the end began";
    EXPECT_EQ(Count("invalidOrders", "batches"), 1);

    FStandIn->Faults().Set(TFaultSettings());
    const TRun next = RunOnce();
    ASSERT_TRUE(next.finished);
    ASSERT_EQ(next.exitCode, 0) << next.err.toStdString();
    ExpectAllDeliveredOnce();
}

// An intake that redirects elsewhere: the other host's {"code":200} must not count as a delivery.
TEST_F(TEndToEnd, IntakeAnswering302DeliversNothingElsewhereAndTheNextRunDeliversAll)
{
    Prepare(false, true, 1);
    TTestServer elsewhere;
    elsewhere.Get(".*", TTestServer::Reply(200, R"({"code":200,"msg":"ok"})"));
    elsewhere.Post(".*", TTestServer::Reply(200, R"({"code":200,"msg":"ok"})"));
    elsewhere.Start();
    TFaultSettings redirect;
    redirect.redirectStatus = 302;
    redirect.redirectTo = elsewhere.BaseUrl().toStdString() + "/orders/tborder/invalid/push";
    redirect.hosts = 1u << static_cast<unsigned>(TStandInHost::Intake);
    FStandIn->Faults().Set(redirect);
    const TRun redirected = RunOnce();
    ASSERT_TRUE(redirected.finished);
    EXPECT_GT(FaultCounter(*FStandIn, "redirected"), 0);
    EXPECT_EQ(elsewhere.RequestCount(), 0u);
    EXPECT_TRUE(FStandIn->Ledger().ReceivedOrders().empty());

    FStandIn->Faults().Set(TFaultSettings());
    const TRun next = RunOnce();
    ASSERT_TRUE(next.finished);
    ASSERT_EQ(next.exitCode, 0) << next.err.toStdString();
    ExpectAllDeliveredOnce();
}

// Another local process hands the program a session for an account, naming the sign-in browser's process id, while
// that sign-in runs: it is ignored, and the browser's own report still counts.
TEST_F(TEndToEnd, UnsolicitedSignInDatagramFromAnotherProcessIsIgnored)
{
    Prepare(false, true, 1);
    // The browser starts through a wrapper that tells the test the listener's port and the browser's process id
    // (exec keeps the id), and holds back the real browser until the forged datagram was sent.
    const QString real = FFolder.filePath(QStringLiteral("browser.real"));
    ASSERT_TRUE(QFile::rename(FFolder.filePath(QStringLiteral("browser.exe")), real));
    QFile wrapper(FFolder.filePath(QStringLiteral("browser.exe")));
    ASSERT_TRUE(wrapper.open(QIODevice::WriteOnly));
    wrapper.write("#!/bin/bash\n"
                  "echo \"$3 $$\" > started.tmp && mv started.tmp started\n"
                  "while [ ! -f forged ]; do sleep 0.05; done\n"
                  "exec \"$(dirname \"$0\")/browser.real\" \"$@\"\n");
    wrapper.close();
    wrapper.setPermissions(wrapper.permissions() | QFileDevice::ExeOwner);
    Start();
    QList<QByteArray> started;
    ASSERT_TRUE(WaitForCondition(
        [&] {
            QFile file(FFolder.filePath(QStringLiteral("started")));
            if (file.open(QIODevice::ReadOnly))
                started = file.readAll().trimmed().split(' ');
            return started.size() == 2;
        },
        std::chrono::seconds(60)));
    const QString userId = QString::fromStdString(FStandIn->Data().Accounts()[0].userId);
    const QByteArray forged = QStringLiteral(R"({"cmd":1000,"userId":"%1","nickname":"forged","memberid":"m-forged",)"
                                             R"("cookies":"_tb_token_=forged; cookie2=forged","processId":%2})")
                                  .arg(userId, QString::fromLatin1(started[1]))
                                  .toUtf8();
    {
        // Closed at once, as a forger's is: no socket is left whose owner could be checked; only the secret that the
        // browser alone was given tells the two apart.
        QUdpSocket socket;
        socket.setProxy(QNetworkProxy::NoProxy);
        ASSERT_EQ(socket.writeDatagram(forged, QHostAddress::LocalHost, started[0].toUShort()), forged.size());
    }
    QString seen; // the program's console: its log lines
    ASSERT_TRUE(WaitForCondition(
        [&] {
            FProcess.waitForReadyRead(50);
            seen += QString::fromUtf8(FProcess.readAllStandardOutput() + FProcess.readAllStandardError());
            return seen.contains(QStringLiteral("忽略未经本程序发起的登录消息"));
        },
        std::chrono::seconds(60)))
        << seen.toStdString();
    QFile(FFolder.filePath(QStringLiteral("forged"))).open(QIODevice::WriteOnly);
    const TRun run = Finish();
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    const QString log = seen + run.out + run.err;
    EXPECT_FALSE(log.contains(QStringLiteral("forged 登录成功"))) << log.toStdString();
    ExpectAllDeliveredOnce();
}

} // namespace
