#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// One datagram of the sign-in browser, read without trusting it: any bytes give a message. Absent members read as
// empty or 0; cmd and processId must be JSON integers, nickname, cookies and secret text, userId and memberid text
// or integers. A datagram that is no JSON object, or has a member of another type, is not well-formed and reads as
// an empty message.
struct TSignInMessage {
    static constexpr qint64 SignInResult = 1000;

    bool wellFormed = false;
    qint64 cmd = 0;
    qint64 processId = 0;
    QString userId;
    QString nickname;
    QString memberid;
    QString cookies;
    QString secret; // the one-time secret of the sign-in, which only the browser started for it knows

    // A sign-in succeeded when the member id, trimmed, is not empty.
    bool Succeeded() const;

    static TSignInMessage FromDatagram(const QByteArray& AData);
    static TSignInMessage FromText(const QString& AText);
};
