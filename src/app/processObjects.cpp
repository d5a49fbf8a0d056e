#include "app/processObjects.h"

#include "foundation/mainthreadcalls.h"
#include "foundation/qerror.h"
#include "log/QLog.h"
#include "log/fileLogWriter.h"
#include "log/uLog.h"
#include "operator/uapiApp.h"
#include "sessions/alimmTokenMgr.h"
#include "store/ucommon.h"
#include "store/udb.h"
#include "sync/passLifecycle.h"
#include "taobao/topLimits.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStringList>

#include <chrono>
#include <cstdio>
#include <exception>

namespace {

// How long a batch post under way at the end may still take. A post cut short may have been applied by a back end
// that answers slowly, and would then be sent again by the next run; a service manager waits far longer than this
// before it kills, and the window is gone at once anyway.
constexpr std::chrono::milliseconds kPostGrace {15000};

QString LogModuleName(const TProcessObjects::TOptions& AOptions)
{
    if (!AOptions.moduleFileName.isEmpty())
        return AOptions.moduleFileName;
    // Named as the program was started: the window runs as quenlar-window, which quenlar hands over to, yet its log
    // is quenlar's like the headless one's.
    const QStringList arguments = QCoreApplication::arguments();
    const QString executable
        = QFileInfo(arguments.isEmpty() ? QCoreApplication::applicationFilePath() : arguments.first()).fileName();
    return QDir(AOptions.dataFolder).filePath(executable.isEmpty() ? QStringLiteral("quenlar") : executable);
}

template <class T> void Install(std::unique_ptr<T>& AOwner, std::unique_ptr<T> AObject)
{
    AOwner = std::move(AObject);
    TGlobal<T>::Set(AOwner.get());
}

template <class T> void Release(std::unique_ptr<T>& AOwner)
{
    TGlobal<T>::Set(nullptr);
    AOwner.reset();
}

} // namespace

TProcessObjects::TProcessObjects(const TOptions& AOptions)
{
    Install(FCommon, std::make_unique<TCommon>(AOptions.dataFolder));
    Install(FTokens, std::make_unique<TAlimmTokenMgr>());
    Install(FTopGate, std::make_unique<TTopGate>());
    FTopGate->SetCallLimit(FCommon->topCallLimit());
    FMainThreadCalls = std::make_unique<TMainThreadCalls>();
    Install(FScheduler, std::make_unique<TQWorkers>(AOptions.minWorkers, AOptions.timing));
    FScheduler->SetOnError(&LogJobError);
    Install(FLog, std::make_unique<TQLog>());
    Install(FAPIApp, std::make_unique<TAPIApp>());
    FFileLog = std::make_shared<TLogManage>(LogModuleName(AOptions));
    FFileLog->SetEncoding(FCommon->logInUtf8() ? TLogEncoding::Utf8 : TLogEncoding::Utf16Le);
    TGlobal<TLogManage>::Set(FFileLog.get());
    FLog->Castor()->AddWriter(std::make_unique<TFileLogWriter>(FFileLog));
    Install(FDBCache, std::make_unique<TDBCacheClass>(AOptions.dataFolder));
}

TProcessObjects::~TProcessObjects()
{
    StopJobs();
    Release(FDBCache);
    TGlobal<TLogManage>::Set(nullptr);
    FFileLog.reset();
    Release(FAPIApp);
    Release(FLog);
    FMainThreadCalls.reset();
    Release(FTopGate);
    Release(FTokens);
    Release(FCommon);
}

void TProcessObjects::StopJobs()
{
    // No batch starts any more; a batch post under way (on its pass's worker) gets the grace to learn its outcome;
    // past it the post is cut (not recorded, so the next run sends it again), so that no job holds the end for the
    // request time-out.
    if (FAPIApp)
        FAPIApp->CutPostsAfter(kPostGrace);
    if (FScheduler) {
        FScheduler->SetAppTerminating();
        Release(FScheduler);
    }
}
