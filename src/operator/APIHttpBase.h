#pragma once

#include "foundation/datetext.h"
#include "foundation/qhttp.h"
#include "operator/ServerRespType.h"

#include <QDateTime>
#include <QString>

#include <mutex>

// The signed form transport to the operator back end: stamps and signs a parameter list, posts it through the
// blocking exchange and decodes the JSON reply. Request failures never raise; they end in the local failure result.
class TAPIHttpBase {
public:
    TAPIHttpBase();
    virtual ~TAPIHttpBase();
    TAPIHttpBase(const TAPIHttpBase&) = delete;
    TAPIHttpBase& operator=(const TAPIHttpBase&) = delete;

    // Adds "timestamp", "token" and "uid" (each only when not empty) and "sign" to AParams (which keeps them), posts
    // it to AURL and decodes the reply. Raises EQuenlarError only when "code" or "time" is not a number.
    // AStop, when given, may cut the exchange short (a failed request). Batch posts pass one only for the process
    // end: a cut batch counts as failed, is not recorded as delivered, and the next run sends it again.
    TServiceResp postWithToken(const QString& AURL, TParamList& AParams, const std::function<bool()>& AStop = {});
    // The same without the session: the caller's parameters, "timestamp" and "sign".
    TServiceResp postWithoutToken(const QString& AURL, TParamList& AParams, const std::function<bool()>& AStop = {});

    // MD5 over the sorted "name=value" pairs (raw values, no separators) followed by "key=" and ASecret; 32
    // lower-case hex digits.
    static QString makeSign(const TParamList& AParams, const QString& ASecret);
    // MD5 of the UTF-8 bytes as 32 upper-case hex digits.
    static QString md5Hex(const QString& AText);

    // One form POST under FCS, on the calling thread; the reply text, empty when nothing arrived or AStop ended it.
    // A job's stop does not end an order post (its outcome decides what is cached): those pass an AStop that only
    // the end of the process's grace for posts makes true.
    // AError, when given, receives why the exchange failed (empty when it did not).
    QString post(const QString& AURL, const TParamList& AParams, const std::function<bool()>& AStop = {},
        QString* AError = nullptr);

protected:
    struct TSession {
        QString uid;
        QString token;
    };
    TSession Session() const;

    std::mutex FCS; // one exchange at a time: they share the transport settings
    THttpTls FSSL;
    qint32 FhttpConnentOutTime = 60; // seconds, for the connect and the read time-out alike
    QString FContentType = QStringLiteral("application/x-www-form-urlencoded");
    QString FSecret = QStringLiteral("c3a9e1f07b5d2846e0f9a7b3d1c5e829");

    // A login writes the session on one thread while batch posts read it on others.
    mutable std::mutex FSessionCS;
    QString FUID; // guarded by FSessionCS
    QString FToken; // guarded by FSessionCS

private:
    TServiceResp SignedPost(
        const QString& AURL, TParamList& AParams, bool AWithSession, const std::function<bool()>& AStop);
};
