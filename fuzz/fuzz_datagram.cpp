// A sign-in browser datagram of any bytes: reading it never raises, and what it reads is stable: the members read
// from the datagram, written back as a datagram, read the same again.
#include "sync/signin/signInMessage.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* AData, std::size_t ASize)
{
    if (ASize > 8192)
        return 0; // the listener drops these whole
    const QByteArray datagram(reinterpret_cast<const char*>(AData), qsizetype(ASize));
    const TSignInMessage first = TSignInMessage::FromDatagram(datagram);
    const QJsonObject rewritten {{QStringLiteral("cmd"), first.cmd}, {QStringLiteral("processId"), first.processId},
        {QStringLiteral("userId"), first.userId}, {QStringLiteral("nickname"), first.nickname},
        {QStringLiteral("memberid"), first.memberid}, {QStringLiteral("cookies"), first.cookies}};
    const TSignInMessage second = TSignInMessage::FromDatagram(QJsonDocument(rewritten).toJson(QJsonDocument::Compact));
    const bool same = second.cmd == first.cmd && second.processId == first.processId && second.userId == first.userId
        && second.nickname == first.nickname && second.memberid == first.memberid && second.cookies == first.cookies;
    if (!same || second.Succeeded() != first.Succeeded())
        std::abort();
    return 0;
}
