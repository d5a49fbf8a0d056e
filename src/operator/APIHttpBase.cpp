#include "operator/APIHttpBase.h"

#include "foundation/qjson.h"
#include "foundation/textutil.h"
#include "store/ucommon.h"

#include <algorithm>
#include <climits>

namespace {

QString AsciiLower(QStringView AText)
{
    QString out = AText.toString();
    for (QChar& c : out) {
        if (c >= u'A' && c <= u'Z')
            c = QChar(c.unicode() + (u'a' - u'A'));
    }
    return out;
}

// Copies each of the four members the reply holds; a missing one keeps its failure value.
void DecodeReply(const QString& AReply, TServiceResp& AResp)
{
    TQJson json;
    json.TryParse(AReply); // members parsed before an error still count
    if (const TQJson* code = json.ItemByPath(u"code"))
        AResp.code = code->AsInteger();
    if (const TQJson* msg = json.ItemByPath(u"msg"))
        AResp.msg = msg->AsString();
    if (const TQJson* time = json.ItemByPath(u"time"))
        AResp.time = time->AsInt64();
    if (const TQJson* data = json.ItemByPath(u"data"))
        AResp.data = Trim(data->AsString());
}

} // namespace

TAPIHttpBase::TAPIHttpBase()
{
    if (const TCommon* common = Common())
        FSSL.caFile = common->hosts().caFile;
}

TAPIHttpBase::~TAPIHttpBase() = default;

TAPIHttpBase::TSession TAPIHttpBase::Session() const
{
    const std::scoped_lock lock(FSessionCS);
    return TSession {FUID, FToken};
}

TServiceResp TAPIHttpBase::postWithToken(const QString& AURL, TParamList& AParams, const std::function<bool()>& AStop)
{
    return SignedPost(AURL, AParams, true, AStop);
}

TServiceResp TAPIHttpBase::postWithoutToken(
    const QString& AURL, TParamList& AParams, const std::function<bool()>& AStop)
{
    return SignedPost(AURL, AParams, false, AStop);
}

TServiceResp TAPIHttpBase::SignedPost(
    const QString& AURL, TParamList& AParams, bool AWithSession, const std::function<bool()>& AStop)
{
    TServiceResp resp;
    AParams.SetValue(u"sign", QString()); // a list sent before must not sign its old signature
    AParams.SetValue(u"timestamp", QString::number(QDateTime::currentSecsSinceEpoch()));
    if (AWithSession) {
        const TSession session = Session();
        AParams.SetValue(u"token", Trim(session.token));
        AParams.SetValue(u"uid", Trim(session.uid));
    }
    AParams.SetValue(u"sign", makeSign(AParams, FSecret));
    if (Trim(AURL).isEmpty())
        return resp;
    QString error;
    const QString reply = post(AURL, AParams, AStop, &error);
    if (Trim(reply).isEmpty()) {
        resp.cause = error.isEmpty() ? QStringLiteral("empty reply") : error;
        return resp;
    }
    DecodeReply(reply, resp);
    if (resp.IsLocalFailure())
        resp.cause = QStringLiteral("the reply is not the back end's JSON");
    return resp;
}

QString TAPIHttpBase::makeSign(const TParamList& AParams, const QString& ASecret)
{
    QStringList names;
    names.reserve(AParams.Count());
    for (const QString& line : AParams.Lines())
        names.append(AsciiLower(TParamList::NameOf(line)));
    std::stable_sort(names.begin(), names.end(),
        [](const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) < 0; });
    QString text;
    for (const QString& name : std::as_const(names)) {
        if (Trim(name).isEmpty())
            continue;
        text += name + u'=' + AParams.Value(name);
    }
    text += QStringLiteral("key=") + ASecret;
    return md5Hex(text).toLower();
}

QString TAPIHttpBase::md5Hex(const QString& AText)
{
    return Md5HexUpper(AText);
}

QString TAPIHttpBase::post(
    const QString& AURL, const TParamList& AParams, const std::function<bool()>& AStop, QString* AError)
{
    const int timeoutMs = static_cast<int>(std::clamp<qint64>(qint64(FhttpConnentOutTime) * 1000, 1, INT_MAX));
    THttpRequest request = THttpRequest::ForPost(AURL, AParams.Lines(), UserAgents::kApiClient, timeoutMs);
    request.contentType = FContentType;
    request.tls = FSSL;
    request.stopCheck = AStop;
    // A redirect would carry a signed batch elsewhere, or turn it into a GET whose "success" caches orders the back
    // end never got: it is a failed request, sent again next pass.
    request.redirects = THttpRequest::TRedirects::Refuse;
    request.maxReplyBytes = THttpRequest::kOperatorReplyCap;
    const std::scoped_lock lock(FCS);
    return HttpExchange(request, AError);
}
