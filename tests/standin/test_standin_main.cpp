// The quenlar-standin program as a script meets it: start, read the ready line, query, end.

#include "testwait.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <httplib.h>

#include <gtest/gtest.h>

#include <csignal>

namespace {

TEST(StandInProgram, AnnouncesItselfAndEndsOnSigterm)
{
    QTemporaryDir folder;
    QProcess program;
    QStringList args;
    for (const char* port : {"--operator-port", "--intake-port", "--top-port", "--publisher-port", "--media-port",
             "--signin-port", "--control-port"})
        args << QString::fromLatin1(port) << QStringLiteral("0");
    args << QStringLiteral("--accounts") << QStringLiteral("4") << QStringLiteral("--cert")
         << folder.filePath(QStringLiteral("ca.pem"));
    program.start(QStringLiteral(QUENLAR_STANDIN_EXE), args);
    ASSERT_TRUE(program.waitForStarted(20000));

    QByteArray ready;
    ASSERT_TRUE(WaitForCondition([&] {
        program.waitForReadyRead(100);
        while (program.canReadLine()) {
            const QByteArray line = program.readLine().trimmed();
            if (line.startsWith("READY "))
                ready = line.mid(6);
        }
        return !ready.isEmpty() || program.state() == QProcess::NotRunning;
    }));
    const QJsonObject config = QJsonDocument::fromJson(ready).object();
    ASSERT_FALSE(config.isEmpty()) << program.readAllStandardError().toStdString();
    EXPECT_EQ(config[QStringLiteral("accounts")].toInt(), 4);
    EXPECT_FALSE(config[QStringLiteral("phone")].toString().isEmpty());
    EXPECT_FALSE(config[QStringLiteral("password")].toString().isEmpty());
    EXPECT_EQ(config[QStringLiteral("caFile")].toString(), folder.filePath(QStringLiteral("ca.pem")));
    EXPECT_TRUE(QFile::exists(folder.filePath(QStringLiteral("ca.pem"))));
    for (const char* host :
        {"operatorService", "operatorIntake", "topGateway", "alimamaPublisher", "alimamaMedia", "signIn", "control"})
        EXPECT_TRUE(config[QLatin1String(host)].toString().startsWith(u"127.0.0.1:")) << host;

    const QString control = config[QStringLiteral("control")].toString();
    httplib::Client client("127.0.0.1", control.section(u':', 1).toInt());
    const httplib::Result status = client.Get("/standin/status.json");
    ASSERT_TRUE(status);
    EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(status->body))
                  .object()[QStringLiteral("accounts")]
                  .toArray()
                  .size(),
        4);

    ASSERT_EQ(::kill(static_cast<pid_t>(program.processId()), SIGTERM), 0);
    ASSERT_TRUE(program.waitForFinished(20000));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0);
}

TEST(StandInProgram, RefusesABadOption)
{
    QProcess program;
    program.start(QStringLiteral(QUENLAR_STANDIN_EXE), {QStringLiteral("--error-share"), QStringLiteral("2")});
    ASSERT_TRUE(program.waitForFinished(20000));
    EXPECT_NE(program.exitCode(), 0);
    EXPECT_TRUE(program.readAllStandardError().contains("--error-share"));
}

} // namespace
