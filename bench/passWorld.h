#pragma once

// The pass benches' common ground: the stand-in, a program folder pointing at it, the process objects and a
// controller whose account store holds every demo account, and one pass of the program's pass runner on a worker.
#include "app/processObjects.h"
#include "foundation/globals.h"
#include "operator/uapiApp.h"
#include "sessions/alimmTokenMgr.h"
#include "standInFolder.h"
#include "standin/standin.h"
#include "store/udb.h"
#include "sync/syncController.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QTime>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>

class TSilentFrontEnd : public TSyncFrontEnd {
public:
    void MessageBox(const QString&, const QString&, TButtons, TIcon) override { }
    void OperatorPanelChanged(const QString&) override { }
    void ControlsChanged() override { }
};

struct TPassWorldOptions {
    int accounts = 8;
    int concurrency = 1;
    bool incremental = false;
    int callLimit = 400; // the program's topCallLimit and the stand-in's call limit
    int latencyMs = 10; // added to every answer
    int rttMs = 0; // the network's round trip (per connection set-up and per exchange)
    QString refundSource; // empty: the program's default
    bool signIn = false; // the operator signs in first, so that refund batches are accepted
};

class TPassWorld {
public:
    explicit TPassWorld(const TPassWorldOptions& AOptions)
        : FOptions(AOptions)
        , FFolder(StandInOptions(AOptions), Settings(AOptions))
    {
        CreateOrderCache(FFolder.filePath(QStringLiteral("db.db")));
        FObjects = FFolder.ProcessObjects();
        FController = std::make_unique<TSyncController>(FFrontEnd, TSyncPaths {FFolder.path(), FFolder.path()});
        FController->Open();
        for (const TDemoAccount& account : FFolder.StandIn().Data().Accounts()) {
            TAlimmTokenData data;
            data.userId = QString::fromStdString(account.userId);
            data.userName = QString::fromStdString(account.userName);
            data.token = QString::fromStdString(account.accessToken);
            AlimmTokenMgr()->updateToken(data);
        }
        if (AOptions.signIn)
            SignIn();
    }
    ~TPassWorld()
    {
        FController->CloseListener();
        FObjects->StopJobs();
        FController.reset();
        FObjects.reset();
    }
    TPassWorld(const TPassWorld&) = delete;
    TPassWorld& operator=(const TPassWorld&) = delete;

    // Every account as if its last pass ended 5 minutes ago and its whole read an hour ago.
    void SetWatermarks() const
    {
        const qint64 now = QDateTime::currentSecsSinceEpoch();
        for (const TDemoAccount& account : FFolder.StandIn().Data().Accounts())
            for (const int status : {13, 14})
                DBCache()->setWatermark(QString::fromStdString(account.userId), status, {now - 300, now - 3600});
    }

    // A fresh order cache, so that a whole read finds every order and refund new again.
    void FreshCache() const
    {
        QFile::remove(FFolder.filePath(QStringLiteral("db.db")));
        CreateOrderCache(FFolder.filePath(QStringLiteral("db.db")));
    }

    // One invalid-order pass on a worker, the main thread's calls running meanwhile; its wall time in seconds.
    double Pass()
    {
        return Timed([this](const std::function<void()>& ADone) {
            JobScheduler()->Post([this, ADone](TQJob* AJob) {
                FController->Passes().SyncInvalidOrdersJob(AJob);
                ADone();
            });
        });
    }

    // What --once runs: one invalid-order pass, one refund pass, every batch post awaited; its wall time in seconds.
    double PassesOnce()
    {
        return Timed([this](const std::function<void()>& ADone) { FController->Passes().RunPassesOnce(ADone); });
    }

    qint64 TopCounter(const char* AName) const
    {
        return FFolder.StandIn().Top().Counters().value(QLatin1String(AName)).toInteger();
    }
    // A service's count as the stand-in's status shows it: connections, exchanges, requests.
    qint64 NetworkCounter(TStandInHost AHost, const char* AName) const
    {
        const QJsonObject hosts = FFolder.StandIn().Network().value(QStringLiteral("hosts")).toObject();
        return hosts.value(QLatin1String(HostName(AHost))).toObject().value(QLatin1String(AName)).toInteger();
    }
    const TPassWorldOptions& Options() const { return FOptions; }

private:
    // Runs the main thread's calls until the pass says it is done. The main thread sleeps between them, as the
    // program's does: one spinning on the event queue would take a core from the pass it measures.
    static double Timed(const std::function<void(const std::function<void()>&)>& AStart)
    {
        auto done = std::make_shared<std::atomic<bool>>(false);
        const auto start = std::chrono::steady_clock::now();
        AStart([done] {
            done->store(true);
            QMetaObject::invokeMethod(
                QCoreApplication::instance(), [] {}, Qt::QueuedConnection); // the wake-up
        });
        while (!done->load())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }

    void SignIn()
    {
        QString error;
        const QJsonObject config = FFolder.StandIn().Config();
        if (!APIApp()->Login(config.value(QStringLiteral("phone")).toString(),
                config.value(QStringLiteral("password")).toString(), error))
            throw std::runtime_error("operator sign-in: " + error.toStdString());
    }

    static TStandInOptions StandInOptions(const TPassWorldOptions& AOptions)
    {
        TStandInOptions options;
        options.accounts = AOptions.accounts;
        options.seed = 7;
        options.faults.latencyMs = AOptions.latencyMs;
        options.faults.rttMs = AOptions.rttMs;
        options.topCallLimit = AOptions.callLimit;
        return options;
    }

    static QByteArray Settings(const TPassWorldOptions& AOptions)
    {
        // Far from now: no whole read falls due during an incremental case.
        const int fullSyncHour = (QTime::currentTime().hour() + 2) % 24;
        QString settings = QStringLiteral("syncysh=1\nopenLarge=0\nsyncIncrement=%1\nfullSyncHour=%2\n"
                                          "passConcurrency=%3\ntopCallLimit=%4\n")
                               .arg(AOptions.incremental ? 1 : 0)
                               .arg(fullSyncHour)
                               .arg(AOptions.concurrency)
                               .arg(AOptions.callLimit);
        if (!AOptions.refundSource.isEmpty())
            settings += QStringLiteral("refundSource=") + AOptions.refundSource + u'\n';
        return settings.toUtf8();
    }

    const TPassWorldOptions FOptions;
    TStandInFolder FFolder;
    TSilentFrontEnd FFrontEnd;
    std::unique_ptr<TProcessObjects> FObjects;
    std::unique_ptr<TSyncController> FController;
};
