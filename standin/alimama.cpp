#include "standin/alimama.h"

#include "standin/beijing.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QString>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <optional>

namespace {

// "a,b,c" or "all"; empty lists nobody.
bool InList(const std::string& AList, const std::string& AUserId)
{
    if (AList == "all")
        return true;
    size_t from = 0;
    while (from < AList.size()) {
        const size_t cut = std::min(AList.find(',', from), AList.size());
        if (AList.substr(from, cut - from) == AUserId)
            return true;
        from = cut + 1;
    }
    return false;
}

QString Text(const std::string& AText)
{
    return QString::fromStdString(AText);
}

void SendJson(httplib::Response& ARes, const QJsonObject& AObject)
{
    ARes.status = 200;
    ARes.set_content(
        QJsonDocument(AObject).toJson(QJsonDocument::Compact).toStdString(), "application/json;charset=UTF-8");
}

QJsonObject Failure(const char* AMessage)
{
    return QJsonObject {{QStringLiteral("ok"), false}, {QStringLiteral("invalidKey"), true},
        {QStringLiteral("info"),
            QJsonObject {{QStringLiteral("ok"), false}, {QStringLiteral("message"), QString::fromUtf8(AMessage)}}}};
}

std::string Trimmed(const std::string& AText)
{
    const size_t first = AText.find_first_not_of(" \t");
    if (first == std::string::npos)
        return {};
    return AText.substr(first, AText.find_last_not_of(" \t") - first + 1);
}

std::string CookieValue(const std::string& ACookies, const std::string& AName)
{
    size_t start = 0;
    while (start < ACookies.size()) {
        size_t end = ACookies.find(';', start);
        if (end == std::string::npos)
            end = ACookies.size();
        const std::string pair = ACookies.substr(start, end - start);
        const size_t eq = pair.find('=');
        if (eq != std::string::npos && Trimmed(pair.substr(0, eq)) == AName)
            return Trimmed(pair.substr(eq + 1));
        start = end + 1;
    }
    return {};
}

// Every cookie of the text as its own Set-Cookie line, the way a browser receives a session.
void SetSessionCookies(httplib::Response& ARes, const std::string& ACookies)
{
    size_t start = 0;
    while (start < ACookies.size()) {
        size_t end = ACookies.find(';', start);
        if (end == std::string::npos)
            end = ACookies.size();
        ARes.set_header("Set-Cookie", Trimmed(ACookies.substr(start, end - start)) + "; Path=/; HttpOnly");
        start = end + 1;
    }
}

// The form a web browser fills in; AError (HTML-safe text) above it after a refused attempt. A "userId" in the query
// fills the account in, and "autoSubmit=1" submits the form once loaded, for runs with nobody at the window.
void SendSignInPage(httplib::Response& ARes, const std::string& AError, const httplib::Request* AReq = nullptr)
{
    std::string userId;
    for (const char c : AReq ? AReq->get_param_value("userId") : std::string()) {
        if (std::isalnum(static_cast<unsigned char>(c)))
            userId += c;
    }
    const bool autoSubmit = AReq != nullptr && AReq->get_param_value("autoSubmit") == "1";
    ARes.status = 200;
    ARes.set_content("<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>阿里妈妈 登录</title></head>"
                     "<body><h1>阿里妈妈 登录</h1>"
            + (AError.empty() ? std::string() : "<p id=\"error\">" + AError + "</p>")
            + "<form id=\"signin\" method=\"post\" action=\"/signin/page\">"
              "<p><label>账号 <input id=\"userId\" name=\"userId\" autocomplete=\"username\" value=\""
            + userId
            + "\"></label></p>"
              "<p><label>密码 <input id=\"password\" name=\"password\" type=\"password\"></label></p>"
              "<p><button id=\"login\" type=\"submit\">登录</button></p></form>"
            + (autoSubmit ? "<script>document.getElementById('login').click();</script>" : "") + "</body></html>",
        "text/html;charset=UTF-8");
}

double Amount(qint64 ACents)
{
    return static_cast<double>(ACents) / 100.0;
}

} // namespace

TAlimamaHosts::TAlimamaHosts(const TDemoData& AData, TStandInLedger& ALedger, TStandInClock AClock, std::uint64_t ASeed)
    : FData(AData)
    , FLedger(ALedger)
    , FClock(std::move(AClock))
    , FSeed(ASeed)
{
}

void TAlimamaHosts::Register(
    TTestServer& APublisher, TTestServer& AMedia, TTestServer& ASignIn, TFaultInjector& AFaults)
{
    APublisher.Get(kReportPath,
        AFaults.Guard(TStandInHost::Publisher,
            [this](const httplib::Request& req, httplib::Response& res) { Report(req, res); }));
    APublisher.Get(kProbePath,
        AFaults.Guard(
            TStandInHost::Publisher, [this](const httplib::Request& req, httplib::Response& res) { Probe(req, res); }));
    AMedia.Get(kMediaPath,
        AFaults.Guard(
            TStandInHost::Media, [this](const httplib::Request& req, httplib::Response& res) { Media(req, res); }));
    ASignIn.Post(kSignInPath,
        AFaults.Guard(TStandInHost::SignIn,
            [this](const httplib::Request& req, httplib::Response& res) { SignInRoute(req, res); }));
    ASignIn.Get(kSignInPath,
        AFaults.Guard(TStandInHost::SignIn,
            [](const httplib::Request& req, httplib::Response& res) { SendSignInPage(res, std::string(), &req); }));
    ASignIn.Post(kSignInFormPath,
        AFaults.Guard(TStandInHost::SignIn,
            [this](const httplib::Request& req, httplib::Response& res) { SignInFormRoute(req, res); }));
}

TAlimamaHosts::TSignIn TAlimamaHosts::SignIn(const std::string& AUserId)
{
    TSignIn result;
    result.userId = Trimmed(AUserId);
    const TDemoAccount* account = FData.AccountById(result.userId);
    if (account == nullptr)
        return result;
    long long serial = 0;
    {
        const std::scoped_lock lock(FMutex);
        serial = ++FSerial;
        ++FSignIns;
    }
    const std::string stem = std::to_string(FSeed) + "-" + account->userId + "-" + std::to_string(serial) + "-"
        + std::to_string(QDateTime::currentMSecsSinceEpoch());
    const std::string session = Md5Hex("session-" + stem, false);
    result.tbToken = Md5Hex("token-" + stem, false).substr(0, 13);
    result.ok = true;
    result.nickname = account->userName;
    result.memberId = account->memberId;
    result.cookies = "t=" + Md5Hex("t-" + stem, false) + "; cookie2=" + session + "; _tb_token_=" + result.tbToken
        + "; cna=" + Md5Hex("cna-" + stem, false).substr(0, 24) + "; unb=" + account->userId;
    const std::scoped_lock lock(FMutex);
    FSessions[session] = TSession {account->userId, result.tbToken, QDateTime::currentSecsSinceEpoch(), false};
    return result;
}

int TAlimamaHosts::ExpireSessions(const std::string& AUserId)
{
    const std::scoped_lock lock(FMutex);
    int ended = 0;
    for (auto& [id, session] : FSessions) {
        if (!session.ended && (AUserId.empty() || session.userId == AUserId)) {
            session.ended = true;
            ++ended;
        }
    }
    return ended;
}

void TAlimamaHosts::SetSessionTtl(int ASeconds)
{
    const std::scoped_lock lock(FMutex);
    FSessionTtl = std::max(0, ASeconds);
}

void TAlimamaHosts::SetProbeLimited(bool AOn)
{
    const std::scoped_lock lock(FMutex);
    FProbeLimited = AOn;
}

void TAlimamaHosts::SetBadAmount(const std::string& AUserIds)
{
    const std::scoped_lock lock(FMutex);
    FBadAmount = AUserIds;
}

std::string TAlimamaHosts::BadAmount() const
{
    const std::scoped_lock lock(FMutex);
    return FBadAmount;
}

bool TAlimamaHosts::ProbeLimited() const
{
    const std::scoped_lock lock(FMutex);
    return FProbeLimited;
}

std::optional<TAlimamaHosts::TSession> TAlimamaHosts::LiveSession(const httplib::Request& AReq) const
{
    const std::string id = CookieValue(AReq.get_header_value("Cookie"), "cookie2");
    const std::scoped_lock lock(FMutex);
    const auto it = FSessions.find(id);
    if (id.empty() || it == FSessions.end() || it->second.ended)
        return std::nullopt;
    if (FSessionTtl > 0 && QDateTime::currentSecsSinceEpoch() - it->second.issuedAt >= FSessionTtl)
        return std::nullopt;
    return it->second;
}

void TAlimamaHosts::Report(const httplib::Request& AReq, httplib::Response& ARes)
{
    const auto refuse = [&](const char* AMessage) {
        {
            const std::scoped_lock lock(FMutex);
            ++FReportRefused;
        }
        SendJson(ARes, Failure(AMessage));
    };
    const std::optional<TSession> session = LiveSession(AReq);
    if (!session)
        return refuse("nologin");
    if (!AReq.has_param("_tb_token_") || AReq.get_param_value("_tb_token_") != session->tbToken)
        return refuse("_tb_token_ 校验失败");
    const TDemoAccount* account = FData.AccountById(session->userId);
    const std::optional<qint64> begin = ParseBeijingDate(AReq.get_param_value("startTime"));
    const std::optional<qint64> end = ParseBeijingDate(AReq.get_param_value("endTime"));
    const int pageNo = std::atoi(AReq.get_param_value("pageNo").c_str());
    const int pageSize
        = AReq.has_param("pageSize") ? std::atoi(AReq.get_param_value("pageSize").c_str()) : kDefaultPageSize;
    if (account == nullptr || !begin || !end || pageNo < 1 || pageSize < 1 || pageSize > 100)
        return refuse("参数错误");

    const qint64 now = FClock();
    std::vector<TDemoRefund> refunds = FData.RefundsCreated(account->index, *begin, *end + 86400);
    refunds.erase(
        std::remove_if(refunds.begin(), refunds.end(), [now](const TDemoRefund& r) { return r.createTime > now; }),
        refunds.end());
    const size_t first = std::min(refunds.size(), static_cast<size_t>(pageNo - 1) * static_cast<size_t>(pageSize));
    const size_t last = std::min(refunds.size(), first + static_cast<size_t>(pageSize));
    // The first successful refund of the account's report, when its amount is to be unreadable.
    std::optional<std::string> badAmount;
    if (InList(BadAmount(), account->userId)) {
        const auto bad = std::find_if(
            refunds.begin(), refunds.end(), [now](const TDemoRefund& r) { return r.StatusAt(now) == "维权成功"; });
        if (bad != refunds.end())
            badAmount = bad->tradeId;
    }
    QJsonArray result;
    for (size_t i = first; i < last; ++i) {
        const TDemoRefund& refund = refunds[i];
        const bool finished = refund.FinishedAt(now);
        const QJsonValue refundFee = badAmount == refund.tradeId ? QJsonValue(QStringLiteral("1.2.3"))
                                                                 : QJsonValue(Amount(refund.refundCents));
        result.append(QJsonObject {{QStringLiteral("tbTradeId"), Text(refund.tradeId)},
            {QStringLiteral("tbTradeParentId"), Text(refund.parentId)},
            {QStringLiteral("itemTitle"), Text(refund.title)}, {QStringLiteral("itemImg"), Text(refund.image)},
            {QStringLiteral("showRefundStatus"), Text(refund.StatusAt(now))},
            {QStringLiteral("earningTime"), Text(BeijingText(refund.earningTime))},
            {QStringLiteral("refundCreateTime"), Text(BeijingText(refund.createTime))},
            {QStringLiteral("refundFinishTime"), finished ? Text(BeijingText(refund.finishTime)) : QString()},
            {QStringLiteral("refundFee"), refundFee}, {QStringLiteral("showReturnFee"), Amount(refund.returnCents)},
            {QStringLiteral("alipayTotalPrice"), Amount(refund.totalCents)},
            {QStringLiteral("tkOrderRole"), refund.orderRole}});
        if (refund.StatusAt(now) == "维权成功")
            FLedger.ServedRefund({refund.parentId, refund.tradeId});
    }
    {
        const std::scoped_lock lock(FMutex);
        ++FReportPages;
    }
    SendJson(ARes,
        QJsonObject {{QStringLiteral("ok"), true}, {QStringLiteral("invalidKey"), false},
            {QStringLiteral("info"),
                QJsonObject {{QStringLiteral("ok"), true}, {QStringLiteral("message"), QJsonValue()}}},
            {QStringLiteral("data"),
                QJsonObject {{QStringLiteral("hasNext"), last < refunds.size()}, {QStringLiteral("pageNo"), pageNo},
                    {QStringLiteral("pageSize"), pageSize},
                    {QStringLiteral("totalCount"), static_cast<qint64>(refunds.size())},
                    {QStringLiteral("result"), result}}}});
}

void TAlimamaHosts::Probe(const httplib::Request& AReq, httplib::Response& ARes)
{
    {
        const std::scoped_lock lock(FMutex);
        ++FProbes;
    }
    if (ProbeLimited()) {
        ARes.status = 200;
        ARes.set_content("<html><head><title>访问受限了</title></head><body>亲，访问受限了</body></html>",
            "text/html;charset=UTF-8");
        return;
    }
    const std::optional<TSession> session = LiveSession(AReq);
    const TDemoAccount* account = session ? FData.AccountById(session->userId) : nullptr;
    QJsonObject data {{QStringLiteral("mmNick"), account ? Text(account->userName) : QString()}};
    if (account != nullptr)
        data.insert(QStringLiteral("memberid"), Text(account->memberId));
    SendJson(ARes,
        QJsonObject {{QStringLiteral("data"), data},
            {QStringLiteral("info"),
                QJsonObject {{QStringLiteral("ok"), true}, {QStringLiteral("message"), QJsonValue()}}}});
}

void TAlimamaHosts::Media(const httplib::Request& AReq, httplib::Response& ARes)
{
    const bool live = LiveSession(AReq).has_value();
    {
        const std::scoped_lock lock(FMutex);
        ++FMediaTouches;
    }
    ARes.status = 200;
    ARes.set_content(live ? "<html><body>支付宝账户信息</body></html>" : "<html><body>请登录</body></html>",
        "text/html;charset=UTF-8");
}

void TAlimamaHosts::SignInRoute(const httplib::Request& AReq, httplib::Response& ARes)
{
    const TSignIn signIn = SignIn(FieldValue(DecodeForm(AReq.body), "userId"));
    if (!signIn.ok) {
        SendJson(ARes,
            QJsonObject {{QStringLiteral("ok"), false}, {QStringLiteral("userId"), Text(signIn.userId)},
                {QStringLiteral("message"), QStringLiteral("unknown account")}});
        return;
    }
    // Set-Cookie as a browser would receive it; the reply body carries the same cookies for the sign-in browser.
    SetSessionCookies(ARes, signIn.cookies);
    SendJson(ARes,
        QJsonObject {{QStringLiteral("ok"), true}, {QStringLiteral("userId"), Text(signIn.userId)},
            {QStringLiteral("nickname"), Text(signIn.nickname)}, {QStringLiteral("memberid"), Text(signIn.memberId)},
            {QStringLiteral("cookies"), Text(signIn.cookies)}});
}

void TAlimamaHosts::SignInFormRoute(const httplib::Request& AReq, httplib::Response& ARes)
{
    // Any password passes: the stand-in checks only that the account exists.
    const TSignIn signIn = SignIn(FieldValue(DecodeForm(AReq.body), "userId"));
    if (!signIn.ok)
        return SendSignInPage(ARes, "账号不存在");
    SetSessionCookies(ARes, signIn.cookies);
    ARes.status = 200;
    ARes.set_content("<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>阿里妈妈</title></head>"
                     "<body><h1 id=\"welcome\">登录成功</h1></body></html>",
        "text/html;charset=UTF-8");
}

QJsonArray TAlimamaHosts::Sessions() const
{
    const long long now = QDateTime::currentSecsSinceEpoch();
    const std::scoped_lock lock(FMutex);
    QJsonArray sessions;
    for (const auto& [id, session] : FSessions) {
        const bool live = !session.ended && (FSessionTtl == 0 || now - session.issuedAt < FSessionTtl);
        sessions.append(QJsonObject {{QStringLiteral("userId"), Text(session.userId)},
            {QStringLiteral("issuedAt"), session.issuedAt}, {QStringLiteral("live"), live}});
    }
    return sessions;
}

QJsonObject TAlimamaHosts::Counters() const
{
    const std::scoped_lock lock(FMutex);
    return QJsonObject {{QStringLiteral("signIns"), FSignIns}, {QStringLiteral("reportPages"), FReportPages},
        {QStringLiteral("reportRefused"), FReportRefused}, {QStringLiteral("probes"), FProbes},
        {QStringLiteral("mediaTouches"), FMediaTouches}, {QStringLiteral("sessionTtl"), FSessionTtl},
        {QStringLiteral("probeLimited"), FProbeLimited},
        {QStringLiteral("reportBadAmount"), QString::fromStdString(FBadAmount)}};
}
