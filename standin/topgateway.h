#pragma once

#include "standin/demodata.h"
#include "standin/faults.h"
#include "standin/ledger.h"
#include "standin/testservers.h"

#include <QJsonObject>

#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>

// What the order method answers to chosen accounts instead of a page, named by the code the reply carries: the
// gateway's own (code 27 or 11) or the order service's business code (in sub_code of a code 15 reply).
enum class TTopOrderError {
    InvalidSession = 27, // the session was revoked
    NoPermission = 11, // the app lacks the API for the account
    WindowTooLong = 2007, // the query window is longer than the service allows
    Busy = 3001, // the order service is busy
    AccountRateLimit = 3000, // the account asks too often
    AccountFlowLimit = 9100, // the account's calls over every channel are throttled
};

// The TOP gateway's "/router/rest" for taobao.tbk.sc.order.details.get and taobao.tbk.sc.order.refund.get: checks
// the app key, the signature, the timestamp (Beijing time, within ten minutes of the gateway's clock) and the
// session, then pages through the account's demo orders of the window (at most 3 hours) or its demo refunds (the
// report's, at most one day, asked for in one JSON parameter) by page_no or position_index. Refusals use TOP's
// error_response shape; the refund method's own failures are business errors inside its response.
class TTopGateway {
public:
    static constexpr long long kTimestampToleranceS = 600;
    static constexpr long long kLongestWindowS = 3 * 3600;
    static constexpr long long kLongestRefundWindowS = 86400;
    static constexpr const char* kRefundOption = "publisher_refund_order_query_option";

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
    // The refund method answers these accounts (comma-separated user ids, or "all") with the business error ACode
    // (101, 102 or 103); 0 turns the switch off.
    void SetRefundBizError(int ACode, const std::string& AUserIds);
    // The order downloads of these accounts (user ids) are refused as with a revoked session: one account in
    // trouble while the others run well. The same as SetOrderError(TTopOrderError::InvalidSession, …).
    void SetRefusedAccounts(std::set<std::string> AUserIds);
    // The order method answers these accounts (user ids; "all" for every one) with AError instead of a page;
    // replaces the accounts set for that error before. An invalid session refuses the refund method too.
    void SetOrderError(TTopOrderError AError, std::set<std::string> AUserIds);
    static std::optional<TTopOrderError> OrderErrorOfCode(int ACode);
    // "CODE=LIST" (LIST: comma-separated user ids or "all"; empty clears), as the program options and the control
    // host take the order-method switches; false when the text is not of that form or names no known code.
    static bool ParseOrderErrorSwitch(const std::string& AText, TTopOrderError& AError, std::set<std::string>& AIds);
    // "CODE" (every account) or "CODE:LIST"; CODE 0 (or "none") is off. False for any other text.
    static bool ParseRefundBizErrorSwitch(const std::string& AText, int& ACode, std::string& AUserIds);
    // The gateway's clock runs this many seconds ahead of the real one (behind when negative), as if the client's
    // clock were off by as much the other way.
    void SetClockSkew(long long ASeconds);
    long long ClockSkew() const;
    // Requests that reached the gateway with this account's session, refused ones included.
    long long CallsOf(int AAccount) const;

    // "calls", "peakCallsPerSecond" (the most calls within one wall-clock second), "callLimited" (refused by the
    // call limit), and the switches' state.
    QJsonObject Counters() const;

private:
    void Rest(const httplib::Request& AReq, httplib::Response& ARes);
    void CountCall();
    // The app key, signature, timestamp and method; false when the request was refused.
    bool SystemParametersHold(const TFormFields& AFields, httplib::Response& ARes);
    // The refusal that the switches hold for this account and method, if any.
    bool RefusedForAccount(
        const TDemoAccount& AAccount, const std::string& AMethod, const TFormFields& AFields, httplib::Response& ARes);
    void Orders(const TFormFields& AFields, const TDemoAccount& AAccount, httplib::Response& ARes);
    void Refunds(const TFormFields& AFields, const TDemoAccount& AAccount, httplib::Response& ARes);
    // A parameter refused by the gateway itself: 40 missing, 41 unreadable.
    void ParameterError(httplib::Response& ARes, int ACode, const std::string& AName);
    void OrderError(httplib::Response& ARes, TTopOrderError AError, long long AWindowS);
    void RefundBizError(httplib::Response& ARes, int ACode, const std::string& ADesc);
    bool RefundRefusedFor(const TDemoAccount& AAccount) const;
    int RefundBizErrorFor(const TDemoAccount& AAccount) const;
    std::optional<TTopOrderError> OrderErrorFor(const TDemoAccount& AAccount) const;
    // The response object under AResponse, with a request id, written as the gateway writes JSON.
    void Send(httplib::Response& ARes, const char* AResponse, QJsonObject ABody);
    void Error(httplib::Response& ARes, int ACode, const char* AMsg, const std::string& ASubCode = {},
        const std::string& ASubMsg = {});
    bool OverCallLimit();
    // A refusal by the ban, quota or transient switches, or nothing; counts the request for them.
    bool Refused(httplib::Response& ARes);
    std::string NextRequestId();

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
    long long FClockSkewS = 0;
    std::map<TTopOrderError, std::set<std::string>> FOrderErrors; // accounts by the error they are answered
    std::map<int, long long> FCallsByAccount;
    long long FRefundPages = 0;
    std::string FRefundRefused; // comma-separated user ids, or "all"
    int FRefundBizError = 0;
    std::string FRefundBizErrorAccounts; // comma-separated user ids, or "all"
};
