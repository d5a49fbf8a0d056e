#pragma once

#include "standin/demodata.h"
#include "standin/faults.h"
#include "standin/ledger.h"
#include "standin/testservers.h"

#include <QJsonArray>
#include <QJsonObject>

#include <map>
#include <mutex>
#include <optional>
#include <string>

// The Alimama side: a sign-in endpoint and a sign-in page for web browsers that issue web sessions (cookies with
// "_tb_token_"), the publisher host's
// refund report (session cookie and matching "_tb_token_" query item required) and session probe, and the media
// host's page that the keep-alive touches. Sessions end on demand or after a time to live.
class TAlimamaHosts {
public:
    static constexpr const char* kReportPath
        = "/openapi/param2/1/gateway.unionpub/report.getTbkRefundOrderDetails.json";
    static constexpr const char* kProbePath = "/common/getUnionPubContextInfo.json";
    static constexpr const char* kMediaPath = "/user/alipay_info.htm";
    static constexpr const char* kSignInPath = "/signin";
    // The sign-in page that a web browser shows (GET) and the target of its form (POST).
    static constexpr const char* kSignInFormPath = "/signin/page";
    static constexpr int kDefaultPageSize = 40;

    struct TSignIn {
        bool ok = false;
        std::string userId;
        std::string nickname;
        std::string memberId;
        std::string cookies; // "name=value; …", "_tb_token_" never last
        std::string tbToken;
    };

    TAlimamaHosts(const TDemoData& AData, TStandInLedger& ALedger, TStandInClock AClock, std::uint64_t ASeed);

    void Register(TTestServer& APublisher, TTestServer& AMedia, TTestServer& ASignIn, TFaultInjector& AFaults);

    // Issues a new session for the account; not ok for an unknown user id.
    TSignIn SignIn(const std::string& AUserId);
    // Ends the live sessions of one account, or of all when AUserId is empty; the number ended.
    int ExpireSessions(const std::string& AUserId);
    void SetSessionTtl(int ASeconds);
    // While on, the probe answers the throttling page "访问受限了" whatever the session.
    void SetProbeLimited(bool AOn);
    bool ProbeLimited() const;
    // For these accounts (user ids, comma-separated, or "all"; empty: none) the report writes an amount no reader
    // can read ("1.2.3") into the first successful refund it serves each account.
    void SetBadAmount(const std::string& AUserIds);
    std::string BadAmount() const;

    QJsonArray Sessions() const;
    QJsonObject Counters() const;

private:
    struct TSession {
        std::string userId;
        std::string tbToken;
        long long issuedAt = 0;
        bool ended = false;
    };
    // The live session that the request's cookies name.
    std::optional<TSession> LiveSession(const httplib::Request& AReq) const;

    void Report(const httplib::Request& AReq, httplib::Response& ARes);
    void Probe(const httplib::Request& AReq, httplib::Response& ARes);
    void Media(const httplib::Request& AReq, httplib::Response& ARes);
    void SignInRoute(const httplib::Request& AReq, httplib::Response& ARes);
    void SignInFormRoute(const httplib::Request& AReq, httplib::Response& ARes);

    const TDemoData& FData;
    TStandInLedger& FLedger;
    const TStandInClock FClock;
    const std::uint64_t FSeed;

    mutable std::mutex FMutex;
    std::map<std::string, TSession> FSessions; // by the "cookie2" value; guarded by FMutex, as are the rest
    long long FSerial = 0;
    int FSessionTtl = 0;
    bool FProbeLimited = false;
    std::string FBadAmount;
    long long FReportPages = 0;
    long long FReportRefused = 0;
    long long FProbes = 0;
    long long FMediaTouches = 0;
    long long FSignIns = 0;
};
