// Quenlar itself, headless in a program folder of its own, starts this browser for an account of the stand-in; the
// session it hands over is the one the refund pass then uses.

#include "standin/standin.h"
#include "store/udb.h"

#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

TEST(WithProgram, ASignedInAccountHasItsRefundsSynchronised)
{
    TStandInOptions options;
    options.ports.fill(0);
    options.controlPort = 0;
    options.accounts = 1;
    options.seed = 5;
    TStandIn standIn(options);
    standIn.Start();
    const std::string userId = standIn.Data().Accounts()[0].userId;

    QTemporaryDir folder;
    const QString program = folder.filePath(QStringLiteral("quenlar"));
    ASSERT_TRUE(QFile::copy(QStringLiteral(QUENLAR_BINARY), program));
    ASSERT_TRUE(QFile::copy(QStringLiteral(QUENLAR_BROWSER_EXE), folder.filePath(QStringLiteral("browser.exe"))));
    CreateOrderCache(folder.filePath(QStringLiteral("db.db")));
    QFile ini(folder.filePath(QStringLiteral("conf.ini")));
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    // Nobody sits at the window: the stand-in's page fills the account in and submits itself.
    QString hosts = standIn.HostsSection();
    hosts.replace(QRegularExpression(QStringLiteral("signInPage=[^\n]*")),
        QStringLiteral("signInPage=http://%1/signin?autoSubmit=1&userId=%2")
            .arg(standIn.HostValue(TStandInHost::SignIn), QString::fromStdString(userId)));
    ini.write((QStringLiteral("[setting]\nsyncysh=0\nsyncapiwq=1\nopenLarge=0\n") + hosts).toUtf8());
    ini.close();

    QProcess quenlar;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QUENLAR_PASSWORD"), QString::fromStdString(standIn.Operator().Password()));
    quenlar.setProcessEnvironment(environment);
    quenlar.setWorkingDirectory(folder.path());
    quenlar.start(program,
        {QStringLiteral("--headless"), QStringLiteral("--phone"), QString::fromStdString(standIn.Operator().Phone()),
            QStringLiteral("--once"), QStringLiteral("--alimama-login"), QStringLiteral("--alimama-login-timeout"),
            QStringLiteral("60")});
    ASSERT_TRUE(quenlar.waitForFinished(120000));
    const QString out = QString::fromUtf8(quenlar.readAllStandardOutput());
    const QString err = QString::fromUtf8(quenlar.readAllStandardError());
    EXPECT_EQ(quenlar.exitCode(), 0) << out.toStdString() << err.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("登录成功"))) << out.toStdString();

    const int served
        = standIn.Ledger().Summary()[QStringLiteral("served")][QStringLiteral("successfulRefunds")].toInt();
    const QJsonObject received = standIn.Received()[QStringLiteral("refunds")].toObject();
    EXPECT_GT(served, 0) << out.toStdString();
    EXPECT_EQ(received[QStringLiteral("orders")].toInt(), served);
}

} // namespace
