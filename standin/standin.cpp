#include "standin/standin.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonDocument>

#include <cstdlib>
#include <stdexcept>

namespace {

// How long, and for how many requests, a service keeps an idle connection open: a gateway's usual minute, and
// requests enough for the longest pass.
constexpr std::chrono::seconds kServiceKeepAlive {60};
constexpr size_t kServiceKeepAliveRequests = 1000000;

void SendJson(httplib::Response& ARes, const QJsonObject& AObject)
{
    ARes.status = 200;
    ARes.set_content(
        QJsonDocument(AObject).toJson(QJsonDocument::Indented).toStdString(), "application/json;charset=UTF-8");
}

std::string Html(const QString& AText)
{
    return AText.toHtmlEscaped().toStdString();
}

} // namespace

TStandIn::TStandIn(TStandInOptions AOptions)
    : FOptions(std::move(AOptions))
    , FClock(FOptions.clock ? FOptions.clock : TStandInClock([] { return QDateTime::currentSecsSinceEpoch(); }))
    , FData(FOptions.seed, FOptions.accounts, FOptions.ordersPerHour, FOptions.refundsPerDay,
          QDateTime::currentSecsSinceEpoch())
    , FFaults(FOptions.seed)
    , FOperator(FData, FLedger, FOptions.phone, FOptions.password, FOptions.seed)
    , FTop(FData, FLedger, FClock)
    , FAlimama(FData, FLedger, FClock, FOptions.seed)
{
    FFaults.Set(FOptions.faults);
    FTop.SetCallLimit(FOptions.topCallLimit);
    FTop.SetRefusedAccounts(FOptions.topRefusedAccounts);
    FTop.SetBan(FOptions.topBanAfter, FOptions.topBanSeconds);
    FTop.SetDailyQuota(FOptions.topDailyQuota);
    FTop.SetRefundRefused(FOptions.topRefundRefused);
    FTop.SetRefundBizError(FOptions.topRefundBizError, FOptions.topRefundBizErrorAccounts);
    for (const auto& [error, ids] : FOptions.topOrderErrors)
        FTop.SetOrderError(error, ids);
    FTop.SetClockSkew(FOptions.topClockSkewS);
    FAlimama.SetSessionTtl(FOptions.sessionTtl);
    FAlimama.SetProbeLimited(FOptions.probeLimited);
    FAlimama.SetBadAmount(FOptions.reportBadAmount);
    FOperator.SetListItemFault(FOptions.listItemFault);
    for (int i = 0; i < kStandInHostCount; ++i) {
        const auto host = static_cast<TStandInHost>(i);
        const bool https = host == TStandInHost::Publisher || host == TStandInHost::Media;
        FServers[i] = https ? std::make_unique<TTestServer>(FCert) : std::make_unique<TTestServer>();
        FServers[i]->SetRecording(FOptions.record);
        // Only the fronts connect here, and they close every connection when the stand-in stops, so an idle one can
        // be held as long as a real server would hold it, for as many requests as it carries.
        FServers[i]->SetKeepAliveTimeout(kServiceKeepAlive);
        FServers[i]->SetKeepAliveMaxCount(kServiceKeepAliveRequests);
        FFronts[i] = std::make_unique<TNetFront>(host, FFaults);
    }
    FControl = std::make_unique<TTestServer>();
    FControl->SetRecording(false);
    FControl->SetKeepAliveTimeout(std::chrono::seconds(1));
    FOperator.Register(Server(TStandInHost::Operator), Server(TStandInHost::Intake), FFaults);
    FTop.Register(Server(TStandInHost::Top), FFaults);
    FAlimama.Register(
        Server(TStandInHost::Publisher), Server(TStandInHost::Media), Server(TStandInHost::SignIn), FFaults);
    RegisterControl();
}

TStandIn::~TStandIn()
{
    // Held and delayed requests first, or stopping a server would wait for them; then the connections.
    FFaults.Shutdown();
    for (auto& front : FFronts)
        front.reset();
    FControl.reset();
    for (auto& server : FServers)
        server.reset();
}

void TStandIn::Start()
{
    FCertFile = FOptions.certFile.isEmpty() ? FCert.CertFile() : QFileInfo(FOptions.certFile).absoluteFilePath();
    if (!FOptions.certFile.isEmpty() && !FCert.WriteCertFile(FCertFile))
        throw std::runtime_error("cannot write the certificate to " + FCertFile.toStdString());
    for (int i = 0; i < kStandInHostCount; ++i) {
        try {
            FServers[i]->Start();
            FFronts[i]->Start(FOptions.ports[i], FServers[i]->Port());
        } catch (const std::exception& e) {
            throw std::runtime_error(std::string(HostName(static_cast<TStandInHost>(i))) + " host: " + e.what());
        }
    }
    try {
        FControl->Start(FOptions.controlPort);
    } catch (const std::exception& e) {
        throw std::runtime_error(std::string("control host: ") + e.what());
    }
}

int TStandIn::Port(TStandInHost AHost) const
{
    return FFronts[static_cast<size_t>(AHost)]->Port();
}

int TStandIn::ControlPort() const
{
    return FControl->Port();
}

QString TStandIn::HostValue(TStandInHost AHost) const
{
    return QStringLiteral("127.0.0.1:") + QString::number(Port(AHost));
}

QString TStandIn::CertFile() const
{
    return FCertFile;
}

QString TStandIn::WebhookUrl(const QString& ASuffix) const
{
    return FControl->BaseUrl() + QStringLiteral("/standin/webhook") + ASuffix;
}

QJsonObject TStandIn::Config() const
{
    return QJsonObject {{QStringLiteral("operatorService"), HostValue(TStandInHost::Operator)},
        {QStringLiteral("operatorIntake"), HostValue(TStandInHost::Intake)},
        {QStringLiteral("topGateway"), HostValue(TStandInHost::Top)},
        {QStringLiteral("alimamaPublisher"), HostValue(TStandInHost::Publisher)},
        {QStringLiteral("alimamaMedia"), HostValue(TStandInHost::Media)},
        {QStringLiteral("signIn"), HostValue(TStandInHost::SignIn)}, {QStringLiteral("control"), FControl->HostValue()},
        {QStringLiteral("webhook"), WebhookUrl()}, {QStringLiteral("caFile"), FCertFile},
        {QStringLiteral("phone"), QString::fromStdString(FOptions.phone)},
        {QStringLiteral("password"), QString::fromStdString(FOptions.password)},
        {QStringLiteral("accounts"), FOptions.accounts}, {QStringLiteral("seed"), QString::number(FOptions.seed)}};
}

QString TStandIn::HostsSection() const
{
    return QStringLiteral("[hosts]\noperatorService=%1\noperatorIntake=%2\ntopGateway=%3\nalimamaPublisher=%4\n"
                          "alimamaMedia=%5\nsignIn=%6\nsignInPage=http://%6/signin\ncaFile=%7\n")
        .arg(HostValue(TStandInHost::Operator), HostValue(TStandInHost::Intake), HostValue(TStandInHost::Top),
            HostValue(TStandInHost::Publisher), HostValue(TStandInHost::Media), HostValue(TStandInHost::SignIn),
            FCertFile);
}

QJsonObject TStandIn::Status() const
{
    QJsonObject status = FLedger.Summary();
    QJsonArray accounts;
    const QJsonArray sessions = FAlimama.Sessions();
    for (const TDemoAccount& account : FData.Accounts()) {
        int live = 0;
        for (const QJsonValue& session : sessions) {
            live += session[QStringLiteral("userId")].toString().toStdString() == account.userId
                && session[QStringLiteral("live")].toBool();
        }
        accounts.append(QJsonObject {{QStringLiteral("userId"), QString::fromStdString(account.userId)},
            {QStringLiteral("userName"), QString::fromStdString(account.userName)},
            {QStringLiteral("memberid"), QString::fromStdString(account.memberId)},
            {QStringLiteral("accessToken"), QString::fromStdString(account.accessToken)},
            {QStringLiteral("liveSessions"), live}});
    }
    status.insert(QStringLiteral("config"), Config());
    status.insert(QStringLiteral("accounts"), accounts);
    status.insert(QStringLiteral("operator"), FOperator.Rejections());
    status.insert(QStringLiteral("top"), FTop.Counters());
    status.insert(QStringLiteral("alimama"), FAlimama.Counters());
    status.insert(QStringLiteral("faults"), FFaults.Get().ToJson());
    status.insert(QStringLiteral("faultCounters"), FFaults.Counters());
    status.insert(QStringLiteral("network"), Network());
    status.insert(QStringLiteral("webhooks"), FWebhooks.Received());
    return status;
}

QJsonObject TStandIn::Network() const
{
    QJsonObject hosts;
    for (int i = 0; i < kStandInHostCount; ++i) {
        const auto host = static_cast<TStandInHost>(i);
        QJsonObject counts = FFronts[i]->Counters();
        counts.insert(QStringLiteral("requests"), FFaults.Requests(host));
        if (SSL_CTX* tls = FServers[i]->TlsContext()) {
            counts.insert(QStringLiteral("tlsHandshakes"), static_cast<qint64>(SSL_CTX_sess_accept_good(tls)));
            counts.insert(QStringLiteral("tlsResumed"), static_cast<qint64>(SSL_CTX_sess_hits(tls)));
        }
        hosts.insert(QString::fromLatin1(HostName(host)), counts);
    }
    return QJsonObject {{QStringLiteral("rttMs"), FFaults.Get().rttMs}, {QStringLiteral("hosts"), hosts}};
}

QJsonObject TStandIn::Received() const
{
    return FLedger.Received();
}

void TStandIn::ChangeFaults(const TFormFields& AFields)
{
    TFaultSettings settings = FFaults.Get();
    const auto number = [&](const char* AName, double& AValue) {
        if (HasField(AFields, AName))
            AValue = std::atof(FieldValue(AFields, AName).c_str());
    };
    double latency = settings.latencyMs;
    number("latencyMs", latency);
    settings.latencyMs = static_cast<int>(latency);
    double rtt = settings.rttMs;
    number("rttMs", rtt);
    settings.rttMs = static_cast<int>(rtt);
    double lost = settings.lostReplies;
    number("lostReplies", lost);
    settings.lostReplies = static_cast<int>(lost);
    double keptDrops = settings.keptDrops;
    number("keptDrops", keptDrops);
    settings.keptDrops = static_cast<int>(keptDrops);
    if (HasField(AFields, "closeAfterReply"))
        settings.closeAfterReply
            = FieldValue(AFields, "closeAfterReply") == "1" || FieldValue(AFields, "closeAfterReply") == "true";
    number("errorShare", settings.errorShare);
    number("dropShare", settings.dropShare);
    number("nonJsonShare", settings.nonJsonShare);
    if (HasField(AFields, "silent"))
        settings.silent = FieldValue(AFields, "silent") == "1" || FieldValue(AFields, "silent") == "true";
    if (HasField(AFields, "redirectStatus"))
        settings.redirectStatus = std::atoi(FieldValue(AFields, "redirectStatus").c_str());
    if (HasField(AFields, "redirectTo"))
        settings.redirectTo = FieldValue(AFields, "redirectTo");
    if (HasField(AFields, "hosts"))
        TFaultSettings::ParseHosts(FieldValue(AFields, "hosts"), settings.hosts);
    FFaults.Set(settings);
    if (HasField(AFields, "topCallLimit"))
        FTop.SetCallLimit(std::atoi(FieldValue(AFields, "topCallLimit").c_str()));
    if (HasField(AFields, "topBanSeconds"))
        FTop.SetBan(std::atoi(FieldValue(AFields, "topBanAfter").c_str()),
            std::atoi(FieldValue(AFields, "topBanSeconds").c_str()));
    if (HasField(AFields, "topDailyQuota"))
        FTop.SetDailyQuota(std::atoi(FieldValue(AFields, "topDailyQuota").c_str()));
    if (HasField(AFields, "topRefuseAccounts")) {
        std::set<std::string> ids;
        for (const QString& id :
            QString::fromStdString(FieldValue(AFields, "topRefuseAccounts")).split(u',', Qt::SkipEmptyParts))
            ids.insert(id.trimmed().toStdString());
        FTop.SetRefusedAccounts(std::move(ids));
    }
    if (HasField(AFields, "topTransientErrors"))
        FTop.SetTransientErrors(std::atoi(FieldValue(AFields, "topTransientErrors").c_str()));
    if (HasField(AFields, "topRefundRefused"))
        FTop.SetRefundRefused(FieldValue(AFields, "topRefundRefused"));
    ChangeTopSwitches(AFields);
    if (HasField(AFields, "probeLimited"))
        FAlimama.SetProbeLimited(
            FieldValue(AFields, "probeLimited") == "1" || FieldValue(AFields, "probeLimited") == "true");
    if (HasField(AFields, "sessionTtl"))
        FAlimama.SetSessionTtl(std::atoi(FieldValue(AFields, "sessionTtl").c_str()));
    if (HasField(AFields, "reportBadAmount"))
        FAlimama.SetBadAmount(FieldValue(AFields, "reportBadAmount"));
    if (HasField(AFields, "listItemFault"))
        FOperator.SetListItemFault(FieldValue(AFields, "listItemFault"));
    if (HasField(AFields, "webhookSecret"))
        FWebhooks.SetSecret(FieldValue(AFields, "webhookSecret"));
}

// The TOP switches of the error table: each "topOrderError" field is "CODE=LIST" (an empty list clears that code),
// "topRefundBizError" is "CODE[:LIST]" (0 turns it off), "topClockSkewS" the gateway clock's lead in seconds.
void TStandIn::ChangeTopSwitches(const TFormFields& AFields)
{
    for (const auto& [name, value] : AFields) {
        TTopOrderError error = TTopOrderError::InvalidSession;
        std::set<std::string> ids;
        if (name == "topOrderError" && TTopGateway::ParseOrderErrorSwitch(value, error, ids))
            FTop.SetOrderError(error, std::move(ids));
    }
    int bizError = 0;
    std::string bizAccounts;
    if (HasField(AFields, "topRefundBizError")
        && TTopGateway::ParseRefundBizErrorSwitch(FieldValue(AFields, "topRefundBizError"), bizError, bizAccounts))
        FTop.SetRefundBizError(bizError, bizAccounts);
    if (HasField(AFields, "topClockSkewS"))
        FTop.SetClockSkew(std::atoll(FieldValue(AFields, "topClockSkewS").c_str()));
}

void TStandIn::RegisterControl()
{
    // Fields come in the body or the query, so both curl -d and a plain URL work.
    const auto fieldsOf = [](const httplib::Request& req) {
        TFormFields fields = DecodeForm(req.body);
        for (const auto& [name, value] : req.params)
            fields.emplace_back(name, value);
        return fields;
    };
    FControl->Get(
        "/standin/status.json", [this](const httplib::Request&, httplib::Response& res) { SendJson(res, Status()); });
    FControl->Get("/standin/received.json",
        [this](const httplib::Request&, httplib::Response& res) { SendJson(res, Received()); });
    FControl->Get("/standin/webhooks.json", [this](const httplib::Request&, httplib::Response& res) {
        SendJson(res, QJsonObject {{QStringLiteral("received"), FWebhooks.Received()}});
    });
    FWebhooks.Register(*FControl);
    FControl->Get(
        "/standin/config.json", [this](const httplib::Request&, httplib::Response& res) { SendJson(res, Config()); });
    FControl->Get("/standin/summary.txt", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(SummaryText(), "text/plain;charset=UTF-8");
    });
    FControl->Get("/standin/", [this](const httplib::Request&, httplib::Response& res) {
        res.set_content(StatusPage(), "text/html;charset=UTF-8");
    });
    FControl->Post("/standin/faults", [this, fieldsOf](const httplib::Request& req, httplib::Response& res) {
        ChangeFaults(fieldsOf(req));
        SendJson(res,
            QJsonObject {{QStringLiteral("faults"), FFaults.Get().ToJson()},
                {QStringLiteral("topCallLimit"), FTop.CallLimit()},
                {QStringLiteral("topRefundRefused"), QString::fromStdString(FTop.RefundRefused())},
                {QStringLiteral("topClockSkewS"), FTop.ClockSkew()},
                {QStringLiteral("topRefundBizError"), FTop.Counters().value(QStringLiteral("refundBizError"))},
                {QStringLiteral("topOrderErrors"), FTop.Counters().value(QStringLiteral("orderErrors"))},
                {QStringLiteral("probeLimited"), FAlimama.ProbeLimited()},
                {QStringLiteral("reportBadAmount"), QString::fromStdString(FAlimama.BadAmount())},
                {QStringLiteral("listItemFault"), QString::fromStdString(FOperator.ListItemFault())}});
    });
    FControl->Post("/standin/sessions/expire", [this, fieldsOf](const httplib::Request& req, httplib::Response& res) {
        SendJson(
            res, QJsonObject {{QStringLiteral("ended"), FAlimama.ExpireSessions(FieldValue(fieldsOf(req), "userId"))}});
    });
    FControl->Post("/standin/signin", [this, fieldsOf](const httplib::Request& req, httplib::Response& res) {
        const TAlimamaHosts::TSignIn signIn = FAlimama.SignIn(FieldValue(fieldsOf(req), "userId"));
        SendJson(res,
            QJsonObject {{QStringLiteral("ok"), signIn.ok},
                {QStringLiteral("userId"), QString::fromStdString(signIn.userId)},
                {QStringLiteral("nickname"), QString::fromStdString(signIn.nickname)},
                {QStringLiteral("memberid"), QString::fromStdString(signIn.memberId)},
                {QStringLiteral("cookies"), QString::fromStdString(signIn.cookies)}});
    });
    FControl->Post("/standin/reset", [this](const httplib::Request&, httplib::Response& res) {
        FLedger.Clear();
        FWebhooks.Clear();
        SendJson(res, QJsonObject {{QStringLiteral("ok"), true}});
    });
}

std::string TStandIn::SummaryText() const
{
    const QJsonObject summary = FLedger.Summary();
    const QJsonObject served = summary[QStringLiteral("served")].toObject();
    const auto count = [](const QJsonObject& AObject, const char* AName) {
        return std::to_string(AObject[QLatin1String(AName)].toInteger());
    };
    const auto line = [&](const char* AKind, const std::string& AServed) {
        const QJsonObject part = summary[QLatin1String(AKind)].toObject();
        return AServed + "; received " + count(part, "orders") + " in " + count(part, "batches") + " batches, "
            + count(part, "duplicates") + " duplicates, " + count(part, "unknown") + " never served\n";
    };
    return line("invalidOrders",
               "invalid/received orders: served " + count(served, "status13") + " invalid (13) and "
                   + count(served, "status14") + " received (14)")
        + line("refunds", "refund orders: served " + count(served, "successfulRefunds") + " successful");
}

std::string TStandIn::StatusPage() const
{
    const QJsonObject received = Received();
    std::string page = "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Quenlar stand-in</title>"
                       "<style>body{font-family:sans-serif}td,th{padding:2px 8px;text-align:left}</style></head><body>"
                       "<h1>Quenlar stand-in</h1>";
    for (const char* kind : {"invalidOrders", "refunds"}) {
        const QJsonObject part = received.value(QLatin1String(kind)).toObject();
        page += "<h2>" + std::string(kind) + "</h2><p>batches "
            + std::to_string(part[QStringLiteral("batches")].toInteger()) + ", orders "
            + std::to_string(part[QStringLiteral("orders")].toInteger()) + ", duplicates "
            + std::to_string(part[QStringLiteral("duplicates")].toInteger()) + ", duplicate batches "
            + std::to_string(part[QStringLiteral("duplicateBatches")].toInteger()) + "</p><table>";
        const QJsonArray list = part[QStringLiteral("list")].toArray();
        for (qsizetype i = std::max<qsizetype>(0, list.size() - 200); i < list.size(); ++i)
            page += "<tr><td>"
                + Html(QString::fromUtf8(QJsonDocument(list[i].toObject()).toJson(QJsonDocument::Compact)))
                + "</td></tr>";
        page += "</table>";
    }
    page += "<p>JSON: <a href=\"/standin/status.json\">status</a>, <a href=\"/standin/received.json\">received</a></p>"
            "</body></html>";
    return page;
}
