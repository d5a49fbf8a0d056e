#pragma once

#include <QByteArray>
#include <QString>

// What the program that started the browser learns: one cmd-1000 datagram. An empty member id means the sign-in
// failed.
struct TSignInResult {
    QString userId;
    QString nickname;
    QString memberId;
    QString cookies;
};

QByteArray SignInDatagram(const TSignInResult& AResult, qint64 AProcessId);
// Sends the datagram with this process's id to 127.0.0.1:APort; false when it could not be sent whole.
bool SendSignInResult(const TSignInResult& AResult, quint16 APort);

// The publisher host's answer to the session probe.
struct TProbeAnswer {
    enum class TKind { SignedOut, SignedIn, Throttled };
    TKind kind = TKind::SignedOut;
    QString nickname; // "data.mmNick", trimmed
    QString memberId; // "data.memberid" as text, trimmed
};

// A named member signs the session in; the throttling page says nothing either way; anything else is signed out.
TProbeAnswer ReadProbeReply(const QByteArray& ABody);
