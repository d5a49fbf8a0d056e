#include "browser/signInReport.h"

#include <QCoreApplication>
#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkProxy>
#include <QUdpSocket>

QByteArray SignInDatagram(const TSignInResult& AResult, qint64 AProcessId)
{
    // The program takes the datagram only with the one-time secret it started this browser with.
    const QJsonObject message {{QStringLiteral("cmd"), 1000}, {QStringLiteral("processId"), AProcessId},
        {QStringLiteral("userId"), AResult.userId}, {QStringLiteral("nickname"), AResult.nickname},
        {QStringLiteral("memberid"), AResult.memberId}, {QStringLiteral("cookies"), AResult.cookies},
        {QStringLiteral("secret"), qEnvironmentVariable("QUENLAR_SIGNIN_SECRET")}};
    return QJsonDocument(message).toJson(QJsonDocument::Compact);
}

bool SendSignInResult(const TSignInResult& AResult, quint16 APort)
{
    const QByteArray datagram = SignInDatagram(AResult, QCoreApplication::applicationPid());
    QUdpSocket socket;
    socket.setProxy(QNetworkProxy::NoProxy); // loopback
    return socket.writeDatagram(datagram, QHostAddress(QHostAddress::LocalHost), APort) == datagram.size();
}

TProbeAnswer ReadProbeReply(const QByteArray& ABody)
{
    QString text = QString::fromUtf8(ABody);
    text.remove(QChar(0xFEFF));
    TProbeAnswer answer;
    if (text.contains(QStringLiteral("访问受限了"))) {
        answer.kind = TProbeAnswer::TKind::Throttled;
        return answer;
    }
    const QJsonObject data = QJsonDocument::fromJson(text.toUtf8()).object().value(QStringLiteral("data")).toObject();
    answer.nickname = data.value(QStringLiteral("mmNick")).toString().trimmed();
    const QJsonValue member = data.value(QStringLiteral("memberid"));
    answer.memberId = (member.isDouble() ? QString::number(member.toInteger()) : member.toString()).trimmed();
    // Without a member id the result would read as a failed sign-in.
    if (!answer.nickname.isEmpty() && !answer.memberId.isEmpty())
        answer.kind = TProbeAnswer::TKind::SignedIn;
    return answer;
}
