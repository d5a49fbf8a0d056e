#pragma once

#include "standin/demodata.h"
#include "standin/faults.h"
#include "standin/ledger.h"
#include "standin/testservers.h"

#include <QJsonObject>

#include <mutex>
#include <string>

// The TOP gateway's "/router/rest" for taobao.tbk.sc.order.details.get: checks the app key, the signature, the
// timestamp and the session, then pages through the account's demo orders of the window (at most 3 hours) by
// page_no or position_index. Refusals use TOP's error_response shape.
class TTopGateway {
public:
    static constexpr long long kTimestampToleranceS = 600;
    static constexpr long long kLongestWindowS = 3 * 3600;

    TTopGateway(const TDemoData& AData, TStandInLedger& ALedger, TStandInClock AClock);

    void Register(TTestServer& AServer, TFaultInjector& AFaults);
    // More than this many calls within one second are refused as over the call limit; 0 turns the limit off.
    void SetCallLimit(int APerSecond);
    int CallLimit() const;

    QJsonObject Counters() const;

private:
    void Rest(const httplib::Request& AReq, httplib::Response& ARes);
    void Error(httplib::Response& ARes, int ACode, const char* AMsg, const char* ASubCode = nullptr,
        const std::string& ASubMsg = {});
    bool OverCallLimit();

    const TDemoData& FData;
    TStandInLedger& FLedger;
    const TStandInClock FClock;

    mutable std::mutex FMutex;
    int FCallLimit = 0; // guarded by FMutex, as are the rest
    long long FLimitSecond = 0;
    int FCallsThisSecond = 0;
    long long FCalls = 0;
    long long FPages = 0;
    long long FErrors = 0;
    long long FRequestSerial = 0;
};
