#pragma once

#include "standin/alimama.h"
#include "standin/demodata.h"
#include "standin/faults.h"
#include "standin/ledger.h"
#include "standin/netfront.h"
#include "standin/operatorbackend.h"
#include "standin/testservers.h"
#include "standin/topgateway.h"
#include "standin/webhooks.h"

#include <QJsonObject>
#include <QString>

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>

struct TStandInOptions {
    // Ports on 127.0.0.1 by host (TStandInHost order), then the control port; 0 picks a free one.
    std::array<int, kStandInHostCount> ports {18080, 18081, 18082, 18083, 18084, 18085};
    int controlPort = 18086;
    int accounts = 3;
    std::uint64_t seed = 1;
    int ordersPerHour = 2;
    int refundsPerDay = 2;
    std::string phone = "13800138000";
    std::string password = "demo1234";
    QString certFile; // where the HTTPS hosts' certificate goes (PEM); empty keeps it in a temporary folder
    TFaultSettings faults;
    int topCallLimit = 0;
    int topBanAfter = 0; // with topBanSeconds: a ban of that many seconds after this many requests
    int topBanSeconds = 0;
    int topDailyQuota = 0; // requests per gateway day; 0: none
    std::set<std::string> topRefusedAccounts; // user ids whose order downloads TOP refuses
    // Further order-method refusals (permission, busy, rate limits, window) and the accounts they answer.
    std::map<TTopOrderError, std::set<std::string>> topOrderErrors;
    long long topClockSkewS = 0; // the TOP gateway's clock runs this far ahead of the real one
    int sessionTtl = 0;
    bool probeLimited = false;
    std::string topRefundRefused; // user ids (comma-separated) or "all" refused the TOP refund method
    int topRefundBizError = 0; // the refund method's business error (101 to 103) for topRefundBizErrorAccounts
    std::string topRefundBizErrorAccounts;
    std::string reportBadAmount; // user ids (comma-separated) or "all" whose report has one unreadable amount
    std::string listItemFault; // "times", "userid" or empty: see TOperatorBackend::SetListItemFault
    bool record = false; // keep every request for inspection (tests); off for a long-running stand-in
    TStandInClock clock; // the demo world's clock; empty is the system clock
};

// Every stand-in service in one object: the operator back end and order intake, the TOP gateway, the Alimama
// publisher and media hosts (HTTPS), the sign-in endpoint, and a control host that reports what arrived and
// turns the fault switches.
class TStandIn {
public:
    explicit TStandIn(TStandInOptions AOptions);
    ~TStandIn();
    TStandIn(const TStandIn&) = delete;
    TStandIn& operator=(const TStandIn&) = delete;

    // Writes the certificate and starts every server; throws std::runtime_error naming what failed.
    void Start();

    int Port(TStandInHost AHost) const;
    int ControlPort() const;
    QString HostValue(TStandInHost AHost) const; // "127.0.0.1:<port>"
    QString CertFile() const;

    // Ports, the certificate file and the demo credentials, as one JSON object.
    QJsonObject Config() const;
    // The [hosts] section of a conf.ini that points the program (and the sign-in browser) here.
    QString HostsSection() const;
    QJsonObject Status() const;
    QJsonObject Received() const;

    TStandInLedger& Ledger() { return FLedger; }
    TFaultInjector& Faults() { return FFaults; }
    TAlimamaHosts& Alimama() { return FAlimama; }
    TTopGateway& Top() { return FTop; }
    TOperatorBackend& Operator() { return FOperator; }
    // The alerts' receiver on the control host, and its address ("/standin/webhook" and what ASuffix adds).
    TWebhookReceiver& Webhooks() { return FWebhooks; }
    QString WebhookUrl(const QString& ASuffix = {}) const;
    const TDemoData& Data() const { return FData; }
    // A service's own server, behind its front: what it recorded. Its address bypasses the front (and so the round
    // trips and the connection counts); Port and HostValue give the front's.
    TTestServer& Server(TStandInHost AHost) { return *FServers[static_cast<size_t>(AHost)]; }
    // Per service: the front's connections and exchanges and the requests its handlers saw, with the round trip.
    QJsonObject Network() const;

private:
    void RegisterControl();
    void ChangeFaults(const TFormFields& AFields);
    void ChangeTopSwitches(const TFormFields& AFields);
    std::string StatusPage() const;
    // A few lines for a person: what was served and what the back end received.
    std::string SummaryText() const;

    const TStandInOptions FOptions;
    const TStandInClock FClock;
    TDemoData FData;
    TStandInLedger FLedger;
    TFaultInjector FFaults;
    TOperatorBackend FOperator;
    TTopGateway FTop;
    TAlimamaHosts FAlimama;
    TWebhookReceiver FWebhooks;
    TTestCertificate FCert;
    QString FCertFile;
    std::array<std::unique_ptr<TTestServer>, kStandInHostCount> FServers;
    std::array<std::unique_ptr<TNetFront>, kStandInHostCount> FFronts; // the services' public ports
    std::unique_ptr<TTestServer> FControl;
};
