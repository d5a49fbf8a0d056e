#pragma once

#include "foundation/qworker.h"

#include <QString>

#include <exception>
#include <memory>

class TAlimmTokenMgr;
class TAPIApp;
class TCommon;
class TDBCacheClass;
class TLogManage;
class TMainThreadCalls;
class TQLog;
class TTopGate;

// The program's process-wide objects, created in the program's fixed order (settings, token store, TOP gate, scheduler,
// log, operator client, log file, order cache) and installed in their global slots; released in reverse. The end of the
// process stops the scheduler and waits for the running jobs and the batch posts before anything they use goes.
class TProcessObjects {
public:
    struct TOptions {
        QString dataFolder; // conf.ini, db.db and the log file live here
        QString moduleFileName; // names the log file; empty: the running executable's name in the data folder
        int minWorkers = 2;
        TQWorkersTiming timing;
    };

    explicit TProcessObjects(const TOptions& AOptions);
    ~TProcessObjects();
    TProcessObjects(const TProcessObjects&) = delete;
    TProcessObjects& operator=(const TProcessObjects&) = delete;

    // Running jobs are asked to stop and waited for, then every batch post; the scheduler is gone afterwards.
    void StopJobs();

    TCommon& Common() const { return *FCommon; }

private:
    std::unique_ptr<TCommon> FCommon;
    std::unique_ptr<TAlimmTokenMgr> FTokens;
    std::unique_ptr<TTopGate> FTopGate; // the app's daily quota and bans, shared by every account
    std::unique_ptr<TMainThreadCalls> FMainThreadCalls; // the scheduler's way to the main thread
    std::unique_ptr<TQWorkers> FScheduler;
    std::unique_ptr<TQLog> FLog;
    std::unique_ptr<TAPIApp> FAPIApp;
    std::shared_ptr<TLogManage> FFileLog; // shared with the log's file writer
    std::unique_ptr<TDBCacheClass> FDBCache;
};
