#pragma once

#include "standin/testservers.h"

#include <QString>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

// One account as the operator back end lists it.
struct TTestAccount {
    std::string userId;
    std::string userName;
    std::string token;
};

// Scripted loopback stand-ins for every outside service, for tests and benchmarks that change their answers as
// they go; and the conf.ini that points a program folder at them.
class TStandInServices {
public:
    TStandInServices();
    // Writes conf.ini in AFolder (received orders off, no large promotion); false when it cannot be written. The
    // caller prepares the order cache beside it.
    bool WriteSettings(const QString& AFolder) const;
    void SetAccounts(std::vector<TTestAccount> AAccounts);

    // Answers of the stand-ins, changeable by tests.
    std::mutex FMutex;
    std::string FLoginReply = R"({"code":200,"msg":"ok","data":{"uid":"u1","token":"t1"}})";
    std::vector<TTestAccount> FAccounts; // guarded by FMutex
    qint64 FTokenExpiry = 4102444800; // every account's exptime (2100-01-01), guarded by FMutex
    std::string FAccountListReply; // replaces the whole list's reply when set, guarded by FMutex
    std::set<std::string> FRefusedSessions; // the gateway refuses these tokens (code 27), guarded by FMutex
    std::map<std::string, std::string> FLiveCookies; // cookie text -> nick, guarded by FMutex
    std::function<void()> FBeforeRefundPost; // guarded by FMutex
    std::function<void()> FBeforeAccountList; // guarded by FMutex
    std::function<void()> FBeforeGatewayPage; // guarded by FMutex
    // Asked with each gateway request's session after FBeforeGatewayPage; a text it returns answers the request
    // instead of the page. Guarded by FMutex.
    std::function<std::optional<std::string>(const std::string& ASession)> FGatewayAnswer;
    std::atomic<int> FIntakeBatches {0};
    std::atomic<int> FRefundBatches {0};

    TTestCertificate FCert;
    TTestServer FOperator;
    TTestServer FIntake;
    TTestServer FGateway;
    TTestServer FPublisher {FCert};
    TTestServer FMedia {FCert};
};
