// The stand-in sign-in browser, built as "browser.exe" beside the program. Quenlar starts it with
// "2 <userId> <port>" in its own folder; it signs the account in at the stand-in's sign-in endpoint, reports the
// result to 127.0.0.1:<port> as one cmd-1000 datagram, and then stays until Quenlar ends it, as the window of a
// real sign-in browser would.

#include "foundation/qhttp.h"
#include "foundation/textutil.h"
#include "store/inifile.h"
#include "store/ucommon.h"

#include <QCoreApplication>
#include <QDir>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkProxy>
#include <QUdpSocket>

#include <csignal>
#include <cstdio>
#include <ctime>

#include <pthread.h>

namespace {

const QString kDefaultSignIn = QStringLiteral("127.0.0.1:18085");
// An orphan (its program gone without ending it) leaves on its own after this long.
constexpr time_t kLingerLimitS = 3600;

struct TSignInResult {
    QString userId;
    QString nickname;
    QString memberId; // empty: the sign-in failed
    QString cookies;
};

TSignInResult SignIn(const QString& AUserId)
{
    TIniFile ini(QDir::current().filePath(QStringLiteral("conf.ini")));
    ini.Load();
    const QString host = ini.ReadString(u"hosts", u"signIn").value_or(QString());
    THttpRequest request;
    request.method = THttpRequest::TMethod::Post;
    request.url
        = THosts::BaseUrl(Trim(host).isEmpty() ? kDefaultSignIn : Trim(host), false) + QStringLiteral("/signin");
    request.form = QStringList {QStringLiteral("userId=") + AUserId};
    request.userAgent = QStringLiteral("Quenlar stand-in sign-in browser");
    request.tls = THttpTls {ini.ReadString(u"hosts", u"caFile").value_or(QString())};
    const QJsonObject reply = QJsonDocument::fromJson(HttpExchange(request).toUtf8()).object();

    TSignInResult result;
    result.userId = AUserId;
    if (!reply.value(QStringLiteral("ok")).toBool())
        return result;
    result.userId = reply.value(QStringLiteral("userId")).toString(AUserId);
    result.nickname = reply.value(QStringLiteral("nickname")).toString();
    result.memberId = reply.value(QStringLiteral("memberid")).toString();
    result.cookies = reply.value(QStringLiteral("cookies")).toString();
    return result;
}

bool Report(const TSignInResult& AResult, quint16 APort)
{
    const QJsonObject message {{QStringLiteral("cmd"), 1000},
        {QStringLiteral("processId"), QCoreApplication::applicationPid()}, {QStringLiteral("userId"), AResult.userId},
        {QStringLiteral("nickname"), AResult.nickname}, {QStringLiteral("memberid"), AResult.memberId},
        {QStringLiteral("cookies"), AResult.cookies},
        {QStringLiteral("secret"), qEnvironmentVariable("QUENLAR_SIGNIN_SECRET")}};
    const QByteArray datagram = QJsonDocument(message).toJson(QJsonDocument::Compact);
    QUdpSocket socket;
    socket.setProxy(QNetworkProxy::NoProxy); // loopback; no system proxy lookup
    return socket.writeDatagram(datagram, QHostAddress(QHostAddress::LocalHost), APort) == datagram.size();
}

} // namespace

int main(int argc, char* argv[])
{
    // Ended by the program: wait for the signal here instead of dying in the middle of a write.
    sigset_t endSignals;
    sigemptyset(&endSignals);
    sigaddset(&endSignals, SIGTERM);
    sigaddset(&endSignals, SIGINT);
    sigaddset(&endSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &endSignals, nullptr);

    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    bool portOk = false;
    const uint port = args.size() == 4 ? args[3].toUInt(&portOk) : 0;
    if (args.size() != 4 || args[1] != u"2" || !portOk || port == 0 || port > 65535) {
        std::fprintf(stderr, "usage: browser.exe 2 <userId> <port>\n");
        return 2;
    }
    const TSignInResult result = SignIn(Trim(args[2]));
    if (!Report(result, static_cast<quint16>(port))) {
        std::fprintf(stderr, "browser.exe: cannot send the sign-in result to port %u\n", port);
        return 1;
    }
    std::printf(
        "browser.exe: %s %s\n", qPrintable(result.userId), result.memberId.isEmpty() ? "sign-in failed" : "signed in");
    std::fflush(stdout);

    const timespec limit {kLingerLimitS, 0};
    sigtimedwait(&endSignals, nullptr, &limit);
    return 0;
}
