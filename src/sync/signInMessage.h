#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// One datagram of the sign-in browser, read without trusting it: any bytes give a message, members that are
// absent or of the wrong type read as empty or 0.
struct TSignInMessage {
    static constexpr qint64 SignInResult = 1000;

    qint64 cmd = 0;
    qint64 processId = 0;
    QString userId;
    QString nickname;
    QString memberid;
    QString cookies;

    // A sign-in succeeded when the member id, trimmed, is not empty.
    bool Succeeded() const;

    static TSignInMessage FromDatagram(const QByteArray& AData);
    static TSignInMessage FromText(const QString& AText);
};
