#pragma once

#include "foundation/qhttp.h"

#include <QString>

#include <memory>

class TQJson;

// One signed call of the TOP API: set the key, secret, session and method, add the API parameters, call
// Response() once. A client serves one request ("sign" stays in the list afterwards).
class TTopClient {
public:
    TTopClient();
    ~TTopClient();
    TTopClient(const TTopClient&) = delete;
    TTopClient& operator=(const TTopClient&) = delete;

    QString appkey() const { return fappkey; }
    void setAppkey(const QString& AValue);
    QString appSecret() const { return fappSecret; }
    void setAppSecret(const QString& AValue); // kept as given, used only for signing
    QString method() const { return Fmethod; }
    void setMethod(const QString& AValue);
    QString session() const { return FSession; }
    void setSession(const QString& AValue);

    // Sets the parameter to the trimmed value; an empty result removes it.
    void add_Param(const QString& AKey, const QString& AValue);
    const TParamList& Params() const { return FParams; }

    // Stamps, signs and sends the request; the parsed reply, empty (or partial) when the exchange or the parse
    // failed. Never raises for either.
    std::unique_ptr<TQJson> Response();
    // Form POST of AParams to AUrl under FCS; AOut receives the reply text (empty on failure).
    void POST(const QString& AUrl, const TParamList& AParams, QString& AOut);

    // The gateway address ("http://" + TOP gateway host of the settings + "/router/rest") and the connect and
    // read time-outs (10 000 ms); tests point them elsewhere and shorten them.
    QString url() const { return FUrl; }
    void setUrl(const QString& AValue) { FUrl = AValue; }
    int timeoutMs() const { return FTimeoutMs; }
    void setTimeoutMs(int AValue) { FTimeoutMs = AValue; }

private:
    static QString makeSign(const TParamList& AParams, const QString& ASecret);
    static QString md5Hex(const QString& AText);

    std::shared_ptr<THttpLock> FCS;
    QString fappSecret;
    QString fappkey;
    TParamList FParams;
    QString Fmethod;
    QString FUrl;
    QString FSession;
    int FTimeoutMs = 10000;
};
