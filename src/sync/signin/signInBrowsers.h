#pragma once

#include "foundation/ownedthreads.h"
#include "sync/signin/signInBrowser.h"
#include "sync/signin/signInListener.h"
#include "sync/signin/socketOwner.h"
#include "sync/syncFrontEnd.h"
#include "sync/throttledLog.h"

#include <QObject>
#include <QString>

#include <chrono>

class TAccountHealth;
struct TSignInMessage;

// The sign-in browsers: starting one for an account, the listener for their datagrams, and taking the sessions
// they hand over into the token store. Main thread, but for the datagram's handling, which runs on a thread of
// its own.
class TSignInBrowsers : public QObject {
    Q_OBJECT

public:
    // AProgramFolder holds browser.exe; ADataFolder is the browser's working folder (its settings and profiles).
    TSignInBrowsers(
        TSyncFrontEnd& AFrontEnd, TAccountHealth& AHealth, const QString& AProgramFolder, const QString& ADataFolder);
    ~TSignInBrowsers() override;
    TSignInBrowsers(const TSignInBrowsers&) = delete;
    TSignInBrowsers& operator=(const TSignInBrowsers&) = delete;

    // Opens the listener; false when no port could be bound (the rest of the program runs without it).
    bool Open();
    // No datagram is taken any more.
    void Close();
    quint16 ListenerPort() const { return FListener.Port(); }

    // The context menu's sign-in: AUserId is the selected row's first column, empty when no row is selected.
    void LoginAlimmClick(const QString& AUserId);
    // Starts the sign-in browser for an account without asking anything; false when it cannot be started. The
    // sign-in is pending for ATimeout: only until then, and only from that browser, is its datagram taken; then
    // the browser is ended.
    static constexpr std::chrono::milliseconds kSignInTimeout = std::chrono::minutes(10);
    bool StartSignInBrowser(const QString& AUserId, std::chrono::milliseconds ATimeout = kSignInTimeout);

Q_SIGNALS:
    // A sign-in browser reported for that account (a failed sign-in too), or was ended at its time-out unreported.
    void SignInReported(const QString& AUserId, bool ASucceeded);

private:
    QString BrowserProgram() const;
    void udpServerUDPRead(const QByteArray& AData, quint16 ASenderPort);
    // Whether a sign-in datagram may be taken: for an account of the list, whose sign-in this program started and
    // still awaits, sent by that browser's process; logs the reason once when not.
    bool SignInAccepted(const TSignInMessage& AMessage, quint16 ASenderPort);
    void EndTimedOutBrowsers();
    void HandleSignInMessage(const QString& AText);

    TSyncFrontEnd& FFrontEnd;
    TAccountHealth& FHealth;
    const QString FProgramFolder;
    const QString FDataFolder;
    // Ignored datagrams come from outside: at most one line a minute, the rest counted.
    TThrottledLog FIgnored {QStringLiteral("[联盟账号] 过去一分钟内另有 %1 条登录消息被忽略")};
    TBrowserProcesses FBrowsers;
    TSocketOwners FSocketOwners;
    TSignInListener FListener;
    TOwnedThreads FSignInThreads; // last: joined before anything their messages use goes away
};
