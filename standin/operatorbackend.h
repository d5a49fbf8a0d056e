#pragma once

#include "standin/demodata.h"
#include "standin/faults.h"
#include "standin/ledger.h"
#include "standin/testservers.h"

#include <QJsonObject>
#include <QJsonValue>

#include <mutex>
#include <string>

struct TStandInBatchKind; // what tells the two order batches apart

// The operator back end: operator sign-in, the account list, and the two order intakes. Every request must carry
// a valid "sign" and a fresh "timestamp"; the session ("token", "uid") where the request needs one. Replies use
// the back end's envelope {"code","msg","time","data"}; 200 means accepted.
class TOperatorBackend {
public:
    static constexpr long long kTimestampToleranceS = 600;

    TOperatorBackend(const TDemoData& AData, TStandInLedger& ALedger, std::string APhone, std::string APassword,
        std::uint64_t ASeed);

    // Service routes on AService, the invalid-order intake on AIntake, each behind the fault switches.
    void Register(TTestServer& AService, TTestServer& AIntake, TFaultInjector& AFaults);

    const std::string& Phone() const { return FPhone; }
    const std::string& Password() const { return FPassword; }
    const std::string& Uid() const { return FUid; }
    const std::string& Token() const { return FToken; }

    QJsonObject Rejections() const;

    // One item of the account list the program cannot take as it is: "times" writes the first item's authTime and
    // exptime as "abc", "userid" leaves out the first item's userId; empty: every item whole.
    static bool ParseListItemFault(const std::string& AText);
    void SetListItemFault(const std::string& AFault);
    std::string ListItemFault() const;

private:
    enum class TNeed { Signature, Session };
    // The form of a verified request; false when the reply has been written with the refusal.
    bool Verify(const httplib::Request& AReq, httplib::Response& ARes, TNeed ANeed, TFormFields& AFields);
    void Reply(httplib::Response& ARes, int ACode, const std::string& AMsg, const QJsonValue& AData = QJsonValue());
    void Refuse(httplib::Response& ARes, long long& ACounter, int ACode, const std::string& AMsg);

    void Login(const httplib::Request& AReq, httplib::Response& ARes);
    void AccountList(const httplib::Request& AReq, httplib::Response& ARes);
    void RefundBatch(const httplib::Request& AReq, httplib::Response& ARes);
    void InvalidBatch(const httplib::Request& AReq, httplib::Response& ARes);
    // Both batch kinds: checked, refused when malformed, else recorded in the ledger and accepted.
    void Batch(const httplib::Request& AReq, httplib::Response& ARes, TNeed ANeed, const TStandInBatchKind& AKind);

    const TDemoData& FData;
    TStandInLedger& FLedger;
    const std::string FPhone;
    const std::string FPassword;
    const std::string FUid;
    const std::string FToken;

    mutable std::mutex FMutex;
    long long FBadSign = 0; // the refusal counters: guarded by FMutex
    long long FBadTimestamp = 0;
    long long FBadSession = 0;
    long long FBadLogin = 0;
    long long FBadRequest = 0;
    long long FLogins = 0;
    std::string FListItemFault;
};
