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
#include <vector>

namespace {

// Every port free, then AMore.
QStringList FreePortArguments(const QStringList& AMore)
{
    QStringList args;
    for (const char* port : {"--operator-port", "--intake-port", "--top-port", "--publisher-port", "--media-port",
             "--signin-port", "--control-port"})
        args << QString::fromLatin1(port) << QStringLiteral("0");
    return args + AMore;
}

// The READY line's facts once the program announces itself; empty when it ends first.
QJsonObject Ready(QProcess& AProgram)
{
    QByteArray ready;
    WaitForCondition([&] {
        AProgram.waitForReadyRead(100);
        while (AProgram.canReadLine()) {
            const QByteArray line = AProgram.readLine().trimmed();
            if (line.startsWith("READY "))
                ready = line.mid(6);
        }
        return !ready.isEmpty() || AProgram.state() == QProcess::NotRunning;
    });
    return QJsonDocument::fromJson(ready).object();
}

QJsonObject StatusOf(const QJsonObject& AConfig)
{
    httplib::Client client("127.0.0.1", AConfig[QStringLiteral("control")].toString().section(u':', 1).toInt());
    const httplib::Result status = client.Get("/standin/status.json");
    return status ? QJsonDocument::fromJson(QByteArray::fromStdString(status->body)).object() : QJsonObject();
}

TEST(StandInProgram, AnnouncesItselfAndEndsOnSigterm)
{
    QTemporaryDir folder;
    QProcess program;
    program.start(QStringLiteral(QUENLAR_STANDIN_EXE),
        FreePortArguments({QStringLiteral("--accounts"), QStringLiteral("4"), QStringLiteral("--cert"),
            folder.filePath(QStringLiteral("ca.pem"))}));
    ASSERT_TRUE(program.waitForStarted(20000));
    const QJsonObject config = Ready(program);
    ASSERT_FALSE(config.isEmpty()) << program.readAllStandardError().toStdString();
    EXPECT_EQ(config[QStringLiteral("accounts")].toInt(), 4);
    EXPECT_FALSE(config[QStringLiteral("phone")].toString().isEmpty());
    EXPECT_FALSE(config[QStringLiteral("password")].toString().isEmpty());
    EXPECT_EQ(config[QStringLiteral("caFile")].toString(), folder.filePath(QStringLiteral("ca.pem")));
    EXPECT_TRUE(QFile::exists(folder.filePath(QStringLiteral("ca.pem"))));
    for (const char* host :
        {"operatorService", "operatorIntake", "topGateway", "alimamaPublisher", "alimamaMedia", "signIn", "control"})
        EXPECT_TRUE(config[QLatin1String(host)].toString().startsWith(u"127.0.0.1:")) << host;

    EXPECT_EQ(StatusOf(config)[QStringLiteral("accounts")].toArray().size(), 4);

    ASSERT_EQ(::kill(static_cast<pid_t>(program.processId()), SIGTERM), 0);
    ASSERT_TRUE(program.waitForFinished(20000));
    EXPECT_EQ(program.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(program.exitCode(), 0);
}

// The TOP gateway's error-table and clock switches, as the status shows them.
TEST(StandInProgram, TakesTheTopGatewaysSwitches)
{
    QTemporaryDir folder;
    QProcess program;
    program.start(QStringLiteral(QUENLAR_STANDIN_EXE),
        FreePortArguments({QStringLiteral("--cert"), folder.filePath(QStringLiteral("ca.pem")),
            QStringLiteral("--top-order-error"), QStringLiteral("11=all"), QStringLiteral("--top-order-error"),
            QStringLiteral("9100=2201,2202"), QStringLiteral("--top-refund-biz-error"), QStringLiteral("103:2203"),
            QStringLiteral("--top-clock-skew-s"), QStringLiteral("-700")}));
    ASSERT_TRUE(program.waitForStarted(20000));
    const QJsonObject config = Ready(program);
    ASSERT_FALSE(config.isEmpty()) << program.readAllStandardError().toStdString();
    const QJsonObject top = StatusOf(config)[QStringLiteral("top")].toObject();
    EXPECT_EQ(top[QStringLiteral("orderErrors")].toObject(),
        (QJsonObject {{QStringLiteral("11"), QJsonArray {QStringLiteral("all")}},
            {QStringLiteral("9100"), QJsonArray {QStringLiteral("2201"), QStringLiteral("2202")}}}));
    EXPECT_EQ(top[QStringLiteral("refundBizError")].toInt(), 103);
    EXPECT_EQ(top[QStringLiteral("refundBizErrorAccounts")].toString(), QStringLiteral("2203"));
    EXPECT_EQ(top[QStringLiteral("clockSkewS")].toInteger(), -700);
    ASSERT_EQ(::kill(static_cast<pid_t>(program.processId()), SIGTERM), 0);
    ASSERT_TRUE(program.waitForFinished(20000));
}

TEST(StandInProgram, RefusesABadOption)
{
    const std::vector<QStringList> cases {{QStringLiteral("--error-share"), QStringLiteral("2")},
        {QStringLiteral("--top-order-error"), QStringLiteral("12=all")},
        {QStringLiteral("--top-order-error"), QStringLiteral("9100")},
        {QStringLiteral("--top-refund-biz-error"), QStringLiteral("104")},
        {QStringLiteral("--top-clock-skew-s"), QStringLiteral("soon")}};
    for (const QStringList& args : cases) {
        SCOPED_TRACE(args.join(u' ').toStdString());
        QProcess program;
        program.start(QStringLiteral(QUENLAR_STANDIN_EXE), args);
        ASSERT_TRUE(program.waitForFinished(20000));
        EXPECT_NE(program.exitCode(), 0);
        EXPECT_TRUE(program.readAllStandardError().contains(args.first().toLatin1()));
    }
}

} // namespace
