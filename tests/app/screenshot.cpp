// Renders the main window on each of its tabs, with demo rows and log lines, and the login dialog to PNG files,
// offscreen, for a look at the layout: quenlar_screenshot OUTPUT_FOLDER. The account list shows marked rows.
#include "app/ufrmLogin.h"
#include "app/ufrmMain.h"
#include "app/uiFont.h"
#include "app/windowed.h"
#include "log/QLog.h"
#include "sessions/alimmTokenMgr.h"
#include "standin/testservers.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>

namespace {

constexpr qint64 kDay = 86400;

void AddDemoRows(TAccountListModel& AAccounts)
{
    struct TDemo {
        const char16_t* id;
        const char16_t* name;
        const char16_t* login;
        const char16_t* run;
        qint64 expiresIn; // seconds, as the health below has it
    };
    const TDemo demos[] = {{u"2208734561", u"美妆好物推荐官", u"未登录", u"等待同步", kDay * 3 + 600},
        {u"2208734562", u"家居生活馆", u"已登录", u"正在同步", kDay * 340},
        {u"2208734563", u"数码优选tb", u"已掉线", u"同步完成", kDay * 340},
        {u"2208734564", u"母婴用品旗舰店", u"已登录", u"同步失败", kDay * 340}};
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    for (const TDemo& demo : demos) {
        TAlimmTokenData account;
        account.userId = QString::fromUtf16(demo.id);
        account.userName = QString::fromUtf16(demo.name);
        account.authTime = now - kDay * 20;
        account.expTime = now + demo.expiresIn;
        AAccounts.AppendAccount(account, QString::fromUtf16(demo.login));
        AAccounts.SetText(AAccounts.Count() - 1, TAccountListModel::colRunState, QString::fromUtf16(demo.run));
    }
}

// Health to match the rows: one account's token expires soon, one lost its web session, one failed twice.
void AddDemoHealth(TAccountHealth& AHealth)
{
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    AHealth.SetAccounts({{QStringLiteral("2208734561"), QStringLiteral("美妆好物推荐官"), now + kDay * 3 + 600, false},
        {QStringLiteral("2208734562"), QStringLiteral("家居生活馆"), now + kDay * 340, true},
        {QStringLiteral("2208734563"), QStringLiteral("数码优选tb"), now + kDay * 340, true},
        {QStringLiteral("2208734564"), QStringLiteral("母婴用品旗舰店"), now + kDay * 340, true}});
    AHealth.SessionChanged(QStringLiteral("2208734563"), TWebSession::Dropped);
    TAccountPassOutcome done;
    done.found = 3;
    done.delivered = 3;
    const QDateTime start = QDateTime::currentDateTime().addSecs(-40);
    for (const char16_t* id : {u"2208734561", u"2208734562", u"2208734563"})
        AHealth.AccountPassEnded(TPassKind::Invalid, QString::fromUtf16(id), start, done);
    const TAccountPassOutcome refused = TAccountPassOutcome::Failed(
        QStringLiteral(
            "淘宝开放平台授权已失效,请重新授权该账号(code:27,sub_code:invalid-sessionkey,msg:Invalid session)"),
        QStringLiteral("top"));
    for (int i = 0; i < 2; ++i)
        AHealth.AccountPassEnded(TPassKind::Invalid, QStringLiteral("2208734564"), start, refused);
}

bool Save(QWidget& AWidget, const QString& AFile)
{
    QCoreApplication::processEvents();
    const bool saved = AWidget.grab().save(AFile);
    std::printf("%s %s\n", saved ? "wrote" : "FAILED", qPrintable(AFile));
    return saved;
}

} // namespace

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setFont(ProgramFont());
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral("screenshots");
    QDir().mkpath(out);
    QTemporaryDir folder;
    // Hosts as the demo run names them (nothing is asked of them here), so the log shows no settings problem.
    WriteConfIni(folder.path(),
        {{"operatorService", QStringLiteral("127.0.0.1:18080")}, {"operatorIntake", QStringLiteral("127.0.0.1:18081")},
            {"topGateway", QStringLiteral("127.0.0.1:18082")}});
    TProcessObjects::TOptions options;
    options.dataFolder = folder.path();
    options.moduleFileName = folder.filePath(QStringLiteral("quenlar"));
    TWindowedProgram program(options);
    program.Open();
    TfrmMain& window = program.Window();
    AddDemoRows(program.Controller().Accounts());
    AddDemoHealth(program.Controller().Health());
    LogLine(llMessage, u"开始同步维权订单");
    LogLine(llMessage, u"同步失效/确认收货订单:家居生活馆;15天内共 3 条未同步订单!");
    LogLine(llMessage, u"同步维权订单-联盟账号:美妆好物推荐官 未登录，请先登录");
    LogLine(llWarning, u"联盟账号 数码优选tb 已掉线,请重新登录...");
    LogLine(llMessage, u"维权订单同步完成");
    window.show();
    auto* log = window.findChild<QPlainTextEdit*>(QStringLiteral("M_Log"));
    for (int i = 0; i < 2000 && log->blockCount() < 5; ++i) {
        QCoreApplication::processEvents();
        QThread::msleep(1);
    }
    auto* pages = window.findChild<QTabWidget*>(QStringLiteral("RzPageControl1"));
    bool ok = true;
    const char* names[] = {"main-taobao.png", "main-log.png", "main-about.png", "main-health.png"};
    for (int tab = 0; tab < pages->count(); ++tab) {
        pages->setCurrentIndex(tab);
        ok = Save(window, out + u'/' + QString::fromLatin1(names[tab])) && ok;
    }
    TfrmLogin login(program.Controller(), window.MessageBoxes());
    login.findChild<QLineEdit*>(QStringLiteral("E_UserName"))->setText(QStringLiteral("13800000000"));
    login.findChild<QLineEdit*>(QStringLiteral("E_PassWord"))->setText(QStringLiteral("client-pass"));
    login.show();
    ok = Save(login, out + QStringLiteral("/login.png")) && ok;
    login.close();
    window.close();
    program.Close();
    return ok ? 0 : 1;
}
