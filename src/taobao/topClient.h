#pragma once

#include "foundation/qhttp.h"

#include <QString>
#include <QStringView>

#include <functional>
#include <memory>
#include <mutex>

class TQJson;

// One signed call of the TOP API: set the key, secret, session and method, add the API parameters, call
// Response() once. A client serves one request ("sign" stays in the list afterwards).
class TTopClient {
public:
    // The program's app on the gateway; every TOP call is signed with it.
    static constexpr QStringView kAppKey = u"41852093";
    static constexpr QStringView kAppSecret = u"5be0c7d19a3f4e2b8c6d0a1f7e9b3c45";

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
    // Form POST of AParams to AUrl under FCS on the calling thread; AOut receives the reply text (empty on failure
    // or when the stop check ended it). An https gateway is reached over verified TLS (system store plus caFile).
    void POST(const QString& AUrl, const TParamList& AParams, QString& AOut);

    // The gateway address ("http://" + TOP gateway host of the settings + "/router/rest") and the connect and
    // read time-outs (10 000 ms); tests point them elsewhere and shorten them.
    QString url() const { return FUrl; }
    void setUrl(const QString& AValue) { FUrl = AValue; }
    int timeoutMs() const { return FTimeoutMs; }
    void setTimeoutMs(int AValue) { FTimeoutMs = AValue; }
    // Asked at least every 50 ms while the request runs; true ends it as a failed request (empty document).
    void setStopCheck(std::function<bool()> AValue) { FStopCheck = std::move(AValue); }

private:
    static QString makeSign(const TParamList& AParams, const QString& ASecret);
    static QString md5Hex(const QString& AText);

    std::mutex FCS;
    QString fappSecret;
    QString fappkey;
    TParamList FParams;
    QString Fmethod;
    QString FUrl;
    QString FSession;
    int FTimeoutMs = 10000;
    std::function<bool()> FStopCheck;
    QString FCaFile; // of the settings, for a gateway written with https://
};
