#include "sync/processObjects.h"

#include "foundation/qerror.h"
#include "log/QLog.h"
#include "log/uLog.h"
#include "operator/uapiApp.h"
#include "sessions/alimmTokenMgr.h"
#include "store/ucommon.h"

#include <exception>

namespace {

// Every log line also goes to the rotating log file, so a long unattended run leaves a record.
class TFileLogWriter : public TQLogWriter {
public:
    void HandleNeeded() override { }
    bool WriteItem(const TQLogItem& AItem) override
    {
        if (TLogManage* file = FileLog())
            file->WriteToLog(LogItemMessage(AItem));
        return true;
    }
};

void LogJobError(TQJob*, std::exception_ptr AError)
{
    QString text;
    try {
        std::rethrow_exception(AError);
    } catch (const EQuenlarError& error) {
        text = error.Message();
    } catch (const std::exception& error) {
        text = QString::fromUtf8(error.what());
    } catch (...) {
        text = QStringLiteral("未知错误");
    }
    LogLine(llError, QStringLiteral("同步任务出错:") + text);
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
    Install(FCommon, std::make_unique<TCommon>(AOptions.programFolder));
    Install(FTokens, std::make_unique<TAlimmTokenMgr>());
    Install(FScheduler, std::make_unique<TQWorkers>(AOptions.minWorkers, AOptions.timing));
    FScheduler->SetOnError(&LogJobError);
    Install(FLog, std::make_unique<TQLog>());
    FLog->Castor()->AddWriter(std::make_unique<TFileLogWriter>());
    Install(FAPIApp, std::make_unique<TAPIApp>());
    Install(FFileLog, std::make_unique<TLogManage>(AOptions.moduleFileName));
}

TProcessObjects::~TProcessObjects()
{
    StopJobs();
    // The log before the log file: its dispatch thread writes every entry to the file, so it must have ended (and
    // flushed what was queued) before the file goes.
    Release(FLog);
    Release(FFileLog);
    Release(FAPIApp);
    Release(FTokens);
    Release(FCommon);
}

void TProcessObjects::StopJobs()
{
    if (FScheduler) {
        FScheduler->SetAppTerminating();
        Release(FScheduler);
    }
    if (FAPIApp)
        FAPIApp->WaitForPosts();
}
