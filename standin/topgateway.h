#pragma once

#include "standin/demodata.h"
#include "standin/faults.h"
#include "standin/ledger.h"
#include "standin/testservers.h"

#include <QJsonObject>

#include <map>
#include <mutex>
#include <set>
#include <string>

// The TOP gateway's "/router/rest" for taobao.tbk.sc.order.details.get and taobao.tbk.sc.order.refund.get: checks
// the app key, the signature, the timestamp and the session, then pages through the account's demo orders of the
// window (at most 3 hours) or its demo refunds (the report's, at most one day) by page_no or position_index.
// Refusals use TOP's error_response shape.
class TTopGateway {
public:
    static constexpr long long kTimestampToleranceS = 600;
    static constexpr long long kLongestWindowS = 3 * 3600;
    static constexpr long long kLongestRefundWindowS = 86400;

    TTopGateway(const TDemoData& AData, TStandInLedger& ALedger, TStandInClock AClock);

    void Register(TTestServer& AServer, TFaultInjector& AFaults);
    // More than this many calls within one second are refused as over the call limit; 0 turns the limit off.
    void SetCallLimit(int APerSecond);
    int CallLimit() const;
    // After AAfterRequests more requests, every request is refused for ASeconds (the demo clock) as over the API's
    // call limit, with the ban's remaining seconds in the message; then the switch is off again. ASeconds 0: off.
    void SetBan(int AAfterRequests, int ASeconds);
    // The app may make this many requests per gateway day (00:00 to 00:00 in UTC+8, by the demo clock); later ones
    // are refused as over the daily quota. 0: no quota.
    void SetDailyQuota(int ARequests);
    // The next ACount requests fail as a timed-out remote service (isp.top-remote-connection-timeout).
    void SetTransientErrors(int ACount);
    // The refund method is refused as not granted (code 11) to these accounts (user ids); "all" for every one.
    void SetRefundRefused(const std::string& AUserIds);
    std::string RefundRefused() const;
    // The order downloads of these accounts (user ids) are refused as with a revoked session: one account in
    // trouble while the others run well.
    void SetRefusedAccounts(std::set<std::string> AUserIds);
    // Requests that reached the gateway with this account's session, refused ones included.
    long long CallsOf(int AAccount) const;

    // "calls", "peakCallsPerSecond" (the most calls within one wall-clock second), "callLimited" (refused by the
    // call limit), and the switches' state.
    QJsonObject Counters() const;

private:
    void Rest(const httplib::Request& AReq, httplib::Response& ARes);
    void Refunds(const TFormFields& AFields, const TDemoAccount& AAccount, httplib::Response& ARes);
    bool RefundRefusedFor(const TDemoAccount& AAccount) const;
    void SendData(httplib::Response& ARes, const char* AResponse, const QJsonObject& AData);
    void Error(httplib::Response& ARes, int ACode, const char* AMsg, const char* ASubCode = nullptr,
        const std::string& ASubMsg = {});
    bool OverCallLimit();
    // A refusal by the ban, quota or transient switches, or nothing; counts the request for them.
    bool Refused(httplib::Response& ARes);

    const TDemoData& FData;
    TStandInLedger& FLedger;
    const TStandInClock FClock;

    mutable std::mutex FMutex;
    int FCallLimit = 0; // guarded by FMutex, as are the rest
    long long FLimitSecond = 0;
    int FCallsThisSecond = 0;
    long long FCalls = 0;
    long long FBusiestSecond = 0; // the wall-clock second FCallsInSecond counts
    long long FCallsInSecond = 0;
    long long FPeakCallsPerSecond = 0; // the most calls that arrived within one wall-clock second
    long long FCallLimited = 0; // calls refused by the call limit
    long long FPages = 0;
    long long FErrors = 0;
    long long FRequestSerial = 0;
    int FBanAfter = -1; // requests until the ban; -1: no ban set
    int FBanSeconds = 0;
    qint64 FBanUntil = 0;
    int FDailyQuota = 0;
    qint64 FQuotaDay = 0; // the gateway day FQuotaUsed counts
    int FQuotaUsed = 0;
    int FTransientErrors = 0;
    std::set<std::string> FRefusedAccounts;
    std::map<int, long long> FCallsByAccount;
    long long FRefundPages = 0;
    std::string FRefundRefused; // comma-separated user ids, or "all"
};
