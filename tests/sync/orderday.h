#pragma once

// A simulated clock shared by the program and the stand-in TOP gateway, and a day of invalid-order passes for
// many accounts against the whole stand-in (the gateway and the operator's order intake). Used by the tests and by
// the call-count benchmark.
#include "foundation/globals.h"
#include "operator/uapiApp.h"
#include "standin/standin.h"
#include "store/ucommon.h"
#include "store/udb.h"
#include "sync/agedOutOrders.h"
#include "sync/delivery.h"
#include "taobao/orderPass.h"
#include "taobao/topLimits.h"

#include <QDateTime>
#include <QFile>
#include <QTemporaryDir>
#include <QTimeZone>

#include <memory>
#include <stdexcept>
#include <vector>

// A moment in UTC+8, the gateway's time zone, as Unix milliseconds.
inline qint64 Utc8Ms(int AYear, int AMonth, int ADay, int AHour, int AMinute = 0)
{
    return QDateTime(QDate(AYear, AMonth, ADay), QTime(AHour, AMinute), QTimeZone(8 * 3600)).toMSecsSinceEpoch();
}

// The whole stand-in with AAccounts accounts on the simulated clock, and the program's settings, order cache and
// operator client on a folder of their own.
class TOrderDay {
public:
    TOrderDay(int AAccounts, bool AIncremental, qint64 AStartMs, bool ARecord = false, std::uint64_t ASeed = 11)
        : FClock(AStartMs)
    {
        TStandInOptions options;
        options.ports.fill(0);
        options.controlPort = 0;
        options.seed = ASeed;
        options.accounts = AAccounts;
        options.ordersPerHour = 2;
        options.record = ARecord;
        options.clock = [this] { return FClock.NowMs() / 1000; };
        FStandIn = std::make_unique<TStandIn>(options);
        FStandIn->Start();
        QFile ini(FFolder.filePath(QStringLiteral("conf.ini")));
        if (!ini.open(QIODevice::WriteOnly))
            throw std::runtime_error("conf.ini");
        ini.write("[setting]\nsyncysh=1\nsyncIncrement=" + QByteArray(AIncremental ? "1" : "0") + "\n"
            + FStandIn->HostsSection().toUtf8());
        ini.close();
        CreateOrderCache(FFolder.filePath(QStringLiteral("db.db")));
        FCommon = std::make_unique<TCommon>(FFolder.path());
        FCommonScope = std::make_unique<TGlobalScope<TCommon>>(FCommon.get());
        FCache = std::make_unique<TDBCacheClass>(FFolder.path());
        FCacheScope = std::make_unique<TGlobalScope<TDBCacheClass>>(FCache.get());
        FAPIApp = std::make_unique<TAPIApp>();
        FAPIAppScope = std::make_unique<TGlobalScope<TAPIApp>>(FAPIApp.get());
    }
    ~TOrderDay()
    {
        FAPIAppScope.reset();
        FCacheScope.reset();
        FCommonScope.reset();
    }

    // One pass over every account at AAtMs, each account's orders delivered before the next account's pass.
    void Pass(qint64 AAtMs, const TStopCheck& AStop = {})
    {
        FClock.Set(std::max(AAtMs, FClock.NowMs()));
        for (const TDemoAccount& account : FStandIn->Data().Accounts()) {
            const QString userId = QString::fromStdString(account.userId);
            const QString userName = QString::fromStdString(account.userName);
            const TOrderPassResult pass = TOrderPass(FClock, &FGate)
                                              .Run(userId, userName, QString::fromStdString(account.accessToken),
                                                  TDelivery::Watermarks(*FCache, userId), AStop);
            FDelivery.DeliverInvalid(*FCache, FAPIApp.get(), userId, userName, pass, pass.failure.isEmpty(), {});
        }
    }

    // Passes every AEveryMs from AFromMs up to (not including) AToMs.
    void Passes(qint64 AFromMs, qint64 AToMs, qint64 AEveryMs)
    {
        for (qint64 at = AFromMs; at < AToMs; at += AEveryMs)
            Pass(at);
    }

    long long Calls() const
    {
        long long calls = 0;
        for (size_t i = 0; i < FStandIn->Data().Accounts().size(); ++i)
            calls += FStandIn->Top().CallsOf(static_cast<int>(i));
        return calls;
    }

    TStandIn& StandIn() { return *FStandIn; }
    TManualTopClock& Clock() { return FClock; }
    TTopGate& Gate() { return FGate; }
    TDBCacheClass& Cache() { return *FCache; }

private:
    TManualTopClock FClock;
    TTopGate FGate;
    std::unique_ptr<TStandIn> FStandIn;
    QTemporaryDir FFolder;
    std::unique_ptr<TCommon> FCommon;
    std::unique_ptr<TGlobalScope<TCommon>> FCommonScope;
    std::unique_ptr<TDBCacheClass> FCache;
    std::unique_ptr<TGlobalScope<TDBCacheClass>> FCacheScope;
    std::unique_ptr<TAPIApp> FAPIApp;
    std::unique_ptr<TGlobalScope<TAPIApp>> FAPIAppScope;
    TAgedOutOrders FAgedOut;
    TDelivery FDelivery {FAgedOut};
};
