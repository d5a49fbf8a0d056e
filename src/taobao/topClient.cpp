#include "taobao/topClient.h"

#include "foundation/beijingtime.h"
#include "foundation/qjson.h"
#include "foundation/textutil.h"
#include "store/ucommon.h"

#include <algorithm>
#include <utility>
#include <vector>

TTopClient::TTopClient()
{
    FParams.SetValue(u"v", QStringLiteral("2.0"));
    FParams.SetValue(u"sign_method", QStringLiteral("md5"));
    FParams.SetValue(u"format", QStringLiteral("json"));
    if (const TCommon* common = Common()) {
        FUrl = common->hosts().topGatewayUrl() + QStringLiteral("/router/rest");
        FCaFile = common->hosts().caFile;
    }
}

TTopClient::~TTopClient() = default;

void TTopClient::setAppkey(const QString& AValue)
{
    fappkey = AValue;
    FParams.SetValue(u"app_key", Trim(AValue));
}

void TTopClient::setAppSecret(const QString& AValue)
{
    fappSecret = AValue;
}

void TTopClient::setMethod(const QString& AValue)
{
    Fmethod = AValue;
    FParams.SetValue(u"method", Trim(AValue));
}

void TTopClient::setSession(const QString& AValue)
{
    FSession = Trim(AValue);
    FParams.SetValue(u"session", FSession);
}

void TTopClient::add_Param(const QString& AKey, const QString& AValue)
{
    FParams.SetValue(AKey, Trim(AValue));
}

std::unique_ptr<TQJson> TTopClient::Response()
{
    auto document = std::make_unique<TQJson>();
    // The gateway reads the timestamp as Beijing time and refuses one more than 10 minutes off.
    FParams.SetValue(u"timestamp", Beijing::Text(BeijingNow()));
    FParams.SetValue(u"sign", makeSign(FParams, fappSecret));
    QString reply;
    POST(FUrl, FParams, reply);
    document->TryParse(reply);
    return document;
}

void TTopClient::POST(const QString& AUrl, const TParamList& AParams, QString& AOut)
{
    THttpRequest request = THttpRequest::ForPost(AUrl, AParams.Lines(), UserAgents::kApiClient, FTimeoutMs);
    // A gateway answering elsewhere would take the signed request with it: a redirect is a failed request.
    request.redirects = THttpRequest::TRedirects::Refuse;
    request.maxReplyBytes = THttpRequest::kPageReplyCap;
    request.idempotent = true; // a query: asked twice, it changes nothing
    if (AUrl.startsWith(u"https://", Qt::CaseInsensitive))
        request.tls = THttpTls {FCaFile};
    request.stopCheck = FStopCheck;
    const std::scoped_lock lock(FCS);
    AOut = HttpExchange(request);
}

QString TTopClient::makeSign(const TParamList& AParams, const QString& ASecret)
{
    std::vector<std::pair<QString, QString>> pairs;
    pairs.reserve(AParams.Count());
    for (const QString& line : AParams.Lines())
        pairs.emplace_back(TParamList::NameOf(line).toString(), TParamList::ValueOf(line).toString());
    std::stable_sort(pairs.begin(), pairs.end(),
        [](const auto& a, const auto& b) { return a.first.compare(b.first, Qt::CaseInsensitive) < 0; });
    QString text = ASecret;
    for (const auto& [name, value] : pairs)
        text += name + value;
    text += ASecret;
    return md5Hex(text);
}

QString TTopClient::md5Hex(const QString& AText)
{
    return Md5HexUpper(AText);
}
