#pragma once

#include <QString>

// The decoded reply of the operator back end. A fresh record holds the local failure result; the members a reply
// supplies overwrite it one by one.
struct TServiceResp {
    static constexpr qint32 LocalFailureCode = 500;
    static QString LocalFailureMsg(); // "服务器访问失败-本地"

    qint32 code = LocalFailureCode; // 200 is success
    QString msg = LocalFailureMsg();
    qint64 time = 0;
    QString data; // trimmed; the JSON text for an object or array
    // Why a local failure happened (the exchange's error: refused, time-out, TLS, HTTP status; or a reply that is
    // not the back end's JSON); empty otherwise. Not part of what the back end said.
    QString cause;

    void SetLocalFailure() { *this = TServiceResp(); }
    bool IsLocalFailure() const { return code == LocalFailureCode && msg == LocalFailureMsg(); }
};
