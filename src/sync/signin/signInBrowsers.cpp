#include "sync/signin/signInBrowsers.h"

#include "foundation/mainthreadcalls.h"
#include "foundation/textutil.h"
#include "log/QLog.h"
#include "sessions/alimmTokenMgr.h"
#include "sync/accountHealth.h"
#include "sync/signin/signInMessage.h"
#include "sync/syncFrontEnd.h"

#include <QFileInfo>
#include <QTimer>

namespace {

// The timer that ends a silent browser fires this long after its deadline, so the deadline has surely passed.
constexpr std::chrono::milliseconds kDeadlineSlack(20);

} // namespace

TSignInBrowsers::TSignInBrowsers(
    TSyncFrontEnd& AFrontEnd, TAccountHealth& AHealth, const QString& AProgramFolder, const QString& ADataFolder)
    : FFrontEnd(AFrontEnd)
    , FHealth(AHealth)
    , FProgramFolder(AProgramFolder)
    , FDataFolder(ADataFolder)
    , FListener([this](const QByteArray& AData, quint16 ASenderPort) { udpServerUDPRead(AData, ASenderPort); })
{
}

TSignInBrowsers::~TSignInBrowsers()
{
    FListener.Close();
    FSignInThreads.WaitAll();
    SkipMainThreadCalls(this);
}

bool TSignInBrowsers::Open()
{
    if (FListener.Open())
        return true;
    LogLine(llError, QStringLiteral("联盟登录监听端口启动失败"));
    return false;
}

void TSignInBrowsers::Close()
{
    FListener.Close();
}

QString TSignInBrowsers::BrowserProgram() const
{
    return FProgramFolder + QStringLiteral("/browser.exe");
}

void TSignInBrowsers::LoginAlimmClick(const QString& AUserId)
{
    if (Trim(AUserId).isEmpty()) {
        FFrontEnd.MessageBox(QStringLiteral("请先选择要登录的联盟账号"), kMessageTitle, TSyncFrontEnd::TButtons::Ok,
            TSyncFrontEnd::TIcon::None);
        return;
    }
    if (!QFileInfo::exists(BrowserProgram())) {
        FFrontEnd.MessageBox(QStringLiteral("没有找到联盟登录应用程序!"), kMessageTitle, TSyncFrontEnd::TButtons::Ok,
            TSyncFrontEnd::TIcon::None);
        return;
    }
    StartSignInBrowser(AUserId);
}

bool TSignInBrowsers::StartSignInBrowser(const QString& AUserId, std::chrono::milliseconds ATimeout)
{
    const QString program = BrowserProgram();
    const QStringList arguments {QStringLiteral("2"), Trim(AUserId), QString::number(FListener.Port())};
    if (FListener.IsOpen() && FBrowsers.Start(program, arguments, FDataFolder, AUserId, ATimeout)) {
        // Precise: a coarse timer may fire up to 5 % early, before the browser's deadline, and end nothing.
        QTimer::singleShot(ATimeout + kDeadlineSlack, Qt::PreciseTimer, this, [this] { EndTimedOutBrowsers(); });
        return true;
    }
    THealthEvent failed;
    failed.userId = AUserId;
    failed.source = QStringLiteral("signin");
    failed.text = QStringLiteral("联盟登录应用程序启动失败:") + program;
    failed.logLine = QStringLiteral("[联盟账号] ") + failed.text;
    FHealth.Report(failed);
    return false;
}

void TSignInBrowsers::EndTimedOutBrowsers()
{
    for (const QString& userId : FBrowsers.EndTimedOut()) {
        THealthEvent silent;
        silent.userId = userId;
        silent.source = QStringLiteral("signin");
        silent.text = QStringLiteral("联盟登录超时未回报,已结束登录程序");
        silent.logLine = QStringLiteral("[联盟账号] 联盟登录超时未回报,已结束登录程序:") + userId;
        FHealth.Report(silent);
        // Ended unreported: whoever waits for the sign-in waits no longer.
        Q_EMIT SignInReported(userId, false);
    }
}

bool TSignInBrowsers::SignInAccepted(const TSignInMessage& AMessage, quint16 ASenderPort)
{
    const TAlimmTokenMgr* store = AlimmTokenMgr();
    if (!store || !store->get(AMessage.userId)) {
        FIgnored.Line(QStringLiteral("[联盟账号] 忽略不在账号列表中的登录消息:") + AMessage.userId);
        return false;
    }
    const std::optional<TBrowserProcesses::TPending> browser = FBrowsers.PendingBrowserOf(AMessage.userId);
    // The secret is what proves the sender: only the browser started for this sign-in was given it. A socket the
    // sender still holds must be that browser's (or its children's) as well; one already closed proves nothing.
    if (!browser || AMessage.processId != browser->pid
        || !TBrowserProcesses::SecretMatches(browser->secret, AMessage.secret)
        || FSocketOwners.HolderOfUdpPort(ASenderPort, browser->pid) == TSocketOwners::THolder::Other) {
        FIgnored.Line(QStringLiteral("[联盟账号] 忽略未经本程序发起的登录消息:") + AMessage.userId);
        return false;
    }
    return true;
}

void TSignInBrowsers::udpServerUDPRead(const QByteArray& AData, quint16 ASenderPort)
{
    const QString text = QString::fromUtf8(AData);
    const TSignInMessage message = TSignInMessage::FromText(text);
    if (!message.wellFormed || message.cmd != TSignInMessage::SignInResult) {
        FIgnored.Line(QStringLiteral("[联盟账号] 忽略格式不符的登录消息"));
        return;
    }
    if (!SignInAccepted(message, ASenderPort))
        return;
    FBrowsers.Reported(message.userId);
    FSignInThreads.Start([this, text] { HandleSignInMessage(text); });
    if (message.processId != 0)
        FBrowsers.TerminateIfOurs(message.processId);
}

void TSignInBrowsers::HandleSignInMessage(const QString& AText)
{
    const TSignInMessage message = TSignInMessage::FromText(AText);
    if (!message.Succeeded()) {
        LogLine(llMessage, u"[联盟账号] 登录失败...");
    } else {
        LogLine(llMessage, QStringLiteral("[联盟账号] ") + message.nickname + QStringLiteral(" 登录成功!"));
        if (TAlimmTokenMgr* store = AlimmTokenMgr())
            store->updateCookies(message.userId, message.cookies);
        FHealth.SessionChanged(message.userId, TWebSession::SignedIn);
    }
    RunOnMainFor(
        this, [this, userId = message.userId, ok = message.Succeeded()] { Q_EMIT SignInReported(userId, ok); });
}
