#include "sync/syncController.h"

#include "sync/processObjects.h"
#include "sync/signInMessage.h"

#include "foundation/mainthreadcalls.h"
#include "foundation/qerror.h"
#include "foundation/qhttp.h"
#include "foundation/qjson.h"
#include "foundation/qmsgpack.h"
#include "foundation/textutil.h"
#include "log/QLog.h"
#include "operator/uapiApp.h"
#include "sessions/alimmTokenMgr.h"
#include "store/ucommon.h"
#include "store/udb.h"
#include "taobao/orderPass.h"
#include "taobao/topApiGetOrders.h"

#include <QFileInfo>
#include <QThread>

#include <exception>

namespace {

const QString kTitle = QStringLiteral("提示");
const QString kCaptionIdle = QStringLiteral("开始同步订单(失效/维权/已收货)");
const QString kCaptionRunning = QStringLiteral("停止同步");
const QString kProbeUserAgent = QStringLiteral("Mozilla/5.0 (Windows NT 6.1; WOW64) AppleWebKit/537.36 (KHTML, like "
                                               "Gecko) Chrome/67.0.3396.99 Safari/537.36");
constexpr int kRefundDays = 90;

enum TStatusCode { scSyncing = 0, scSynced = 1, scSignedIn = 2, scDropped = 3 };

TStopCheck StopCheckOf(const TQJob* AJob)
{
    return [AJob] { return AJob->IsStopRequested(); };
}

bool HasWebSession(const TAlimmTokenRecord& AAccount)
{
    return !Trim(AAccount.cookies()).isEmpty();
}

// A member of an account element as text, empty when absent.
QString MemberText(const TQJson& AItem, QStringView AName)
{
    const TQJson* node = AItem.ItemByPath(AName);
    return node ? node->AsString() : QString();
}

class TClosureCall : public TMainThreadCall {
public:
    explicit TClosureCall(std::function<void()> ACall)
        : FCall(std::move(ACall))
    {
    }
    void Run() override { FCall(); }

private:
    std::function<void()> FCall;
};

} // namespace

struct TSyncController::TAccountsReply {
    std::unique_ptr<TQJson> accounts;
    QString error;
};

TSyncController::TSyncController(TSyncFrontEnd& AFrontEnd, const QString& AProgramFolder, const TSyncTiming& ATiming)
    : FFrontEnd(AFrontEnd)
    , FProgramFolder(AProgramFolder)
    , FTiming(ATiming)
    , FListener([this](const QByteArray& AData) { udpServerUDPRead(AData); })
{
}

TSyncController::~TSyncController()
{
    FListener.Close();
    FSignInThreads.WaitAll();
    if (TMainThreadCalls* calls = MainThreadCalls())
        calls->Skip(this);
    if (TQWorkers* scheduler = JobScheduler())
        scheduler->ClearSingleJob(FAtKeepOnlineJobID, false);
    TGlobal<TDBCacheClass>::Set(nullptr);
}

void TSyncController::Open()
{
    FDBCache = std::make_unique<TDBCacheClass>(FProgramFolder);
    TGlobal<TDBCacheClass>::Set(FDBCache.get());
    if (!FListener.Open())
        LogLine(llError, QStringLiteral("联盟登录监听端口启动失败"));
    if (TQWorkers* scheduler = JobScheduler())
        FAtKeepOnlineJobID = scheduler->Delay(
            TQJobProc(this, &TSyncController::KeepSessionsOnline), FTiming.keepAliveInterval, {}, false, true);
}

void TSyncController::CloseListener()
{
    FListener.Close();
}

void TSyncController::RunOnMain(std::function<void()> ACall)
{
    // Through the scheduler's bridge rather than a functor in Qt's event queue: the bridge hands the call over
    // under a lock of ours, and the controller's end skips whatever of its calls is still queued.
    if (TMainThreadCalls* calls = MainThreadCalls())
        calls->Post(this, std::make_unique<TClosureCall>(std::move(ACall)));
}

void TSyncController::ControlsChanged()
{
    FFrontEnd.ControlsChanged();
}

void TSyncController::ShowError(const QString& AText)
{
    FFrontEnd.MessageBox(AText, kTitle, TSyncFrontEnd::TButtons::Ok, TSyncFrontEnd::TIcon::Error);
}

// ---- operator requests ----

bool TSyncController::BeginOperatorRequest()
{
    bool idle = false;
    if (!FOperatorBusy.compare_exchange_strong(idle, true))
        return false;
    if (QThread::currentThread() == thread())
        ControlsChanged();
    else
        RunOnMain([this] { ControlsChanged(); });
    return true;
}

void TSyncController::EndOperatorRequest()
{
    FOperatorBusy.store(false);
    ControlsChanged();
}

bool TSyncController::SignIn(const QString& APhone, const QString& APwd, TSignInDone ADone)
{
    const QString phone = Trim(APhone);
    const QString pwd = Trim(APwd);
    if (phone.isEmpty() || pwd.isEmpty()) {
        ADone(false, QStringLiteral("账号或密码不能为空!!!"));
        return true;
    }
    TQWorkers* scheduler = JobScheduler();
    if (!scheduler || !BeginOperatorRequest())
        return false;
    auto done = std::make_shared<TSignInDone>(std::move(ADone));
    const intptr_t posted = scheduler->Post([this, phone, pwd, done](TQJob* AJob) {
        bool ok = false;
        QString error;
        try {
            ok = APIApp()->Login(phone, pwd, error, StopCheckOf(AJob));
        } catch (...) {
            error = ErrorMessageOf(std::current_exception());
        }
        RunOnMain([this, ok, error, done] {
            if (!ok)
                EndOperatorRequest();
            else
                AfterSignIn(); // keeps the request slot for the account list that follows
            (*done)(ok, error);
        });
    });
    if (!posted) {
        EndOperatorRequest();
        return false;
    }
    return true;
}

void TSyncController::AfterSignIn()
{
    FOperatorPanel = QStringLiteral("运营商：已登录");
    FFrontEnd.OperatorPanelChanged(FOperatorPanel);
    ScheduleTokenRefresh();
    FetchAccountsOnWorker(nullptr);
}

void TSyncController::ScheduleTokenRefresh()
{
    TQWorkers* scheduler = JobScheduler();
    if (!scheduler)
        return;
    // One refresh job at most: a second sign-in replaces the first instead of adding another.
    if (FTokenRefreshJob)
        scheduler->ClearSingleJob(FTokenRefreshJob, false);
    FTokenRefreshJob = scheduler->Delay(
        TQJobProc(this, &TSyncController::TokenRefreshJob), FTiming.tokenRefreshInterval, {}, false, true);
}

void TSyncController::TokenRefreshJob(TQJob* AJob)
{
    // A sign-in or a refresh click is running: skip this turn rather than queue a second request behind it.
    if (!BeginOperatorRequest())
        return;
    LogLine(llMessage, u"刷新token...");
    FetchAccountsOnWorker(AJob);
}

void TSyncController::RefreshClick()
{
    if (!APIApp() || !APIApp()->isLogin()) {
        FFrontEnd.MessageBox(
            QStringLiteral("请先登录运营商平台!!!"), kTitle, TSyncFrontEnd::TButtons::Ok, TSyncFrontEnd::TIcon::None);
        return;
    }
    RefreshAuthorizedAccounts();
}

bool TSyncController::RefreshAuthorizedAccounts()
{
    if (!BeginOperatorRequest())
        return false;
    FetchAccountsOnWorker(nullptr);
    return true;
}

// Called holding the operator request slot; gives it back on the main thread with the result. ARunning is the job
// this runs in already (the periodic refresh), or nothing to post a job of its own.
void TSyncController::FetchAccountsOnWorker(TQJob* ARunning)
{
    auto fetch = [this](TQJob* AJob) {
        auto reply = std::make_shared<TAccountsReply>();
        try {
            reply->accounts = APIApp()->getAlimmTokens(StopCheckOf(AJob));
        } catch (...) {
            reply->error = ErrorMessageOf(std::current_exception());
        }
        RunOnMain([this, reply] {
            EndOperatorRequest();
            if (!reply->error.isEmpty()) {
                ShowError(reply->error);
                return;
            }
            ApplyAccounts(*reply->accounts);
        });
    };
    if (ARunning) {
        fetch(ARunning);
        return;
    }
    TQWorkers* scheduler = JobScheduler();
    if (!scheduler || !scheduler->Post(std::move(fetch)))
        EndOperatorRequest();
}

void TSyncController::ApplyAccounts(const TQJson& AAccounts)
{
    FAccounts.Clear();
    TAlimmTokenMgr* store = AlimmTokenMgr();
    try {
        for (int i = 0; i < AAccounts.Count(); ++i) {
            const TQJson* item = AAccounts.Items(i);
            if (!item)
                continue;
            TAlimmTokenData account;
            account.userId = MemberText(*item, u"userId");
            account.userName = MemberText(*item, u"userName");
            if (const TQJson* node = item->ItemByPath(u"authTime"))
                account.authTime = node->AsInt64();
            if (const TQJson* node = item->ItemByPath(u"exptime"))
                account.expTime = node->AsInt64();
            account.token = MemberText(*item, u"accessToken");
            const PAlimmTokenData known = store ? store->get(account.userId) : nullptr;
            const bool signedIn = known && known->isLogin();
            FAccounts.AppendAccount(account, signedIn ? QStringLiteral("已登录") : QStringLiteral("未登录"));
            if (store)
                store->updateToken(std::move(account));
        }
    } catch (const EQuenlarError& error) {
        ShowError(error.Message());
    }
    Q_EMIT AccountsRefreshed(AAccounts.Count() > 0);
}

// ---- start, stop and the jobs ----

QString TSyncController::StartCaption() const
{
    return FStartTag == 1 ? kCaptionIdle : kCaptionRunning;
}

void TSyncController::StartStopClick()
{
    if (FAccounts.Count() == 0) {
        FFrontEnd.MessageBox(QStringLiteral("必须有联盟授权才能同步失效订单"), kTitle,
            TSyncFrontEnd::TButtons::OkCancel, TSyncFrontEnd::TIcon::None);
        return;
    }
    TQWorkers* scheduler = JobScheduler();
    if (FStopping || !scheduler)
        return;
    if (FStartTag == 1) {
        FStartTag = 2;
        scheduler->Post([this](TQJob* AJob) { RunInvalidPass(AJob, true); });
        scheduler->Post([this](TQJob* AJob) { RunRefundPass(AJob, true); });
        FSyncOrderThread1 = scheduler->Delay(
            TQJobProc(this, &TSyncController::SyncInvalidOrdersJob), FTiming.syncInterval, {}, false, true);
        FSyncOrderThread2 = scheduler->Delay(
            TQJobProc(this, &TSyncController::SyncRefundOrdersJob), FTiming.refundInterval, {}, false, true);
        ControlsChanged();
        return;
    }
    // The repeating jobs are cancelled and their running runs waited for on a worker, so the window stays live;
    // the switch turns back once they have ended.
    FStopping = true;
    ControlsChanged();
    const intptr_t invalidJob = std::exchange(FSyncOrderThread1, 0);
    const intptr_t refundJob = std::exchange(FSyncOrderThread2, 0);
    const intptr_t posted = scheduler->Post([this, invalidJob, refundJob](TQJob* AJob) {
        AJob->Owner()->ClearSingleJob(invalidJob, true);
        AJob->Owner()->ClearSingleJob(refundJob, true);
        RunOnMain([this] { FinishStop(); });
    });
    if (!posted)
        FinishStop();
}

void TSyncController::FinishStop()
{
    FStopping = false;
    FStartTag = 1;
    ControlsChanged();
}

void TSyncController::SendStatus(const QString& AUserName, int AStatus)
{
    TQWorkers* scheduler = JobScheduler();
    if (!scheduler)
        return;
    auto message = std::make_unique<TQMsgPack>();
    message->Add(QStringLiteral("userName"), AUserName);
    message->Add(QStringLiteral("status"), static_cast<qint64>(AStatus));
    scheduler->Post(TQJobProc(this, &TSyncController::ShowAccountStatus), TQJobData(std::move(message)), true);
}

void TSyncController::ShowAccountStatus(TQJob* AJob)
{
    const auto* message = AJob->DataAs<TQMsgPack>();
    if (!message)
        return;
    const TQMsgPack* name = message->ItemByPath(u"userName");
    const TQMsgPack* status = message->ItemByPath(u"status");
    const int row = FAccounts.FindByUserName(name ? name->AsString() : QString());
    if (row < 0 || !status)
        return;
    switch (status->AsInteger()) {
    case scSyncing:
        FAccounts.SetText(row, TAccountListModel::colRunState, QStringLiteral("正在同步"));
        break;
    case scSynced:
        FAccounts.SetText(row, TAccountListModel::colRunState, QStringLiteral("同步完成"));
        break;
    case scSignedIn:
        FAccounts.SetText(row, TAccountListModel::colLoginState, QStringLiteral("已登录"));
        break;
    case scDropped:
        FAccounts.SetText(row, TAccountListModel::colLoginState, QStringLiteral("已掉线"));
        break;
    default:
        break;
    }
}

void TSyncController::ForEachAccount(const TStopCheck& AStop, const std::function<void(PAlimmTokenData)>& ASynchronise)
{
    TAlimmTokenMgr* store = AlimmTokenMgr();
    // Read once: accounts a refresh adds meanwhile wait for the next pass.
    const int count = store ? store->count() : 0;
    for (int index = 0; index < count; ++index) {
        if (AStop())
            return;
        const PAlimmTokenData account = store->GetItem(index);
        if (!account)
            continue;
        SendStatus(account->userName(), scSyncing);
        ASynchronise(account);
        SendStatus(account->userName(), scSynced);
    }
}

void TSyncController::SyncInvalidOrdersJob(TQJob* AJob)
{
    RunInvalidPass(AJob, false);
}

// A repeating run that finds another pass still running skips its turn (the next comes at its time); the pass a
// click asks for waits for its turn instead.
void TSyncController::RunInvalidPass(TQJob* AJob, bool AWaitTurn)
{
    const TStopCheck stop = StopCheckOf(AJob);
    const TPassSlot::THold slot = AWaitTurn ? FInvalidPass.Take(stop) : FInvalidPass.TryTake();
    if (!slot)
        return;
    ForEachAccount(stop, [this, &stop](PAlimmTokenData AAccount) { SyncInvalidOrdersOfAccount(AAccount, stop); });
    // The slot is given back only once this pass's batches are recorded, so the next pass skips them.
    if (TAPIApp* api = APIApp())
        api->WaitForPosts();
}

void TSyncController::SyncInvalidOrdersOfAccount(PAlimmTokenData AAccount, const TStopCheck& AStop)
{
    const TOrderPassResult pass = TOrderPass().Run(AAccount->userId(), AAccount->userName(), AAccount->token(), AStop);
    LogLine(llMessage,
        QStringLiteral("同步失效/确认收货订单:") + AAccount->userName() + u';' + pass.Scope() + QStringLiteral("共 ")
            + QString::number(pass.lines.size()) + QStringLiteral(" 条未同步订单!"));
    if (TAPIApp* api = APIApp())
        api->postOrderData(pass.lines);
}

void TSyncController::SyncRefundOrdersJob(TQJob* AJob)
{
    RunRefundPass(AJob, false);
}

void TSyncController::RunRefundPass(TQJob* AJob, bool AWaitTurn)
{
    const TStopCheck stop = StopCheckOf(AJob);
    const TPassSlot::THold slot = AWaitTurn ? FRefundPass.Take(stop) : FRefundPass.TryTake();
    if (!slot)
        return;
    ForEachAccount(stop, [this, &stop](PAlimmTokenData AAccount) {
        if (!HasWebSession(*AAccount))
            return;
        const QDateTime now = QDateTime::currentDateTime();
        SyncRefundOrdersOfAccount(AAccount, now.addDays(-kRefundDays), now, stop);
    });
}

void TSyncController::SyncRefundOrdersOfAccount(
    PAlimmTokenData AAccount, const QDateTime& ABegin, const QDateTime& AEnd, const TStopCheck& AStop)
{
    const TAlimmTokenData account = AAccount->Snapshot();
    TTopApiGetOrders orders(QString(), account.cookies, account._tb_token_, AStop);
    const std::vector<TWeiQuanOrderInfo> refunds = orders.getWeiquanOrders(ABegin, AEnd);
    LogLine(llMessage,
        QStringLiteral("同步维权订单-联盟账号:") + account.userName + QStringLiteral(";90天内共有 ")
            + QString::number(refunds.size()) + QStringLiteral(" 条维权订单未同步!"));
    if (TAPIApp* api = APIApp())
        api->postWeiQuanOrderData(refunds);
    AAccount->setReadLock(false);
}

void TSyncController::SyncWeiquanClick()
{
    if (TQWorkers* scheduler = JobScheduler())
        scheduler->Post(TQJobProc(this, &TSyncController::SyncRefundOrdersNow));
}

void TSyncController::SyncRefundOrdersNow(TQJob* AJob)
{
    const QDateTime end = QDateTime::currentDateTime();
    const QDateTime begin = end.addDays(-kRefundDays);
    FManualRefunds.fetch_add(1);
    RunOnMain([this] { ControlsChanged(); });
    const TStopCheck stop = StopCheckOf(AJob);
    // A click while a refund pass runs waits for it rather than posting the same refunds beside it.
    const TPassSlot::THold slot = FRefundPass.Take(stop);
    try {
        LogLine(llMessage, u"开始同步维权订单");
        TAlimmTokenMgr* store = AlimmTokenMgr();
        const int count = store ? store->count() : 0;
        for (int index = 0; index < count && !stop(); ++index) {
            const PAlimmTokenData account = store->GetItem(index);
            if (!account)
                continue;
            if (!HasWebSession(*account)) {
                LogLine(llMessage,
                    QStringLiteral("同步维权订单-联盟账号:") + account->userName()
                        + QStringLiteral(" 未登录，请先登录"));
                continue;
            }
            SendStatus(account->userName(), scSyncing);
            SyncRefundOrdersOfAccount(account, begin, end, stop);
            SendStatus(account->userName(), scSynced);
        }
        LogLine(llMessage, u"维权订单同步完成");
    } catch (...) {
        // A failed manual run ends quietly; its batches already accepted are recorded.
    }
    FManualRefunds.fetch_sub(1);
    RunOnMain([this] { ControlsChanged(); });
}

void TSyncController::RunPassesOnce(std::function<void()> ADone)
{
    TQWorkers* scheduler = JobScheduler();
    auto done = std::make_shared<std::function<void()>>(std::move(ADone));
    const intptr_t posted = scheduler ? scheduler->Post([this, done](TQJob* AJob) {
        try {
            SyncInvalidOrdersJob(AJob);
            SyncRefundOrdersJob(AJob);
        } catch (...) {
            LogJobError(AJob, std::current_exception());
        }
        if (TAPIApp* api = APIApp())
            api->WaitForPosts();
        RunOnMain([done] { (*done)(); });
    })
                                      : 0;
    if (!posted)
        (*done)();
}

// ---- sign-in browser and sessions ----

void TSyncController::LoginAlimmClick(const QString& AUserId)
{
    if (Trim(AUserId).isEmpty()) {
        FFrontEnd.MessageBox(QStringLiteral("请先选择要登录的联盟账号"), kTitle, TSyncFrontEnd::TButtons::Ok,
            TSyncFrontEnd::TIcon::None);
        return;
    }
    if (!QFileInfo::exists(FProgramFolder + QStringLiteral("/browser.exe"))) {
        FFrontEnd.MessageBox(QStringLiteral("没有找到联盟登录应用程序!"), kTitle, TSyncFrontEnd::TButtons::Ok,
            TSyncFrontEnd::TIcon::None);
        return;
    }
    StartSignInBrowser(AUserId);
}

bool TSyncController::StartSignInBrowser(const QString& AUserId)
{
    const QString program = FProgramFolder + QStringLiteral("/browser.exe");
    const QStringList arguments {QStringLiteral("2"), Trim(AUserId), QString::number(FListener.Port())};
    if (FListener.IsOpen() && FBrowsers.Start(program, arguments, FProgramFolder))
        return true;
    LogLine(llError, QStringLiteral("[联盟账号] 联盟登录应用程序启动失败:") + program);
    return false;
}

void TSyncController::udpServerUDPRead(const QByteArray& AData)
{
    const QString text = QString::fromUtf8(AData);
    const TSignInMessage message = TSignInMessage::FromText(text);
    if (message.cmd == TSignInMessage::SignInResult)
        FSignInThreads.Start([this, text] { HandleSignInMessage(text); });
    if (message.processId != 0)
        FBrowsers.TerminateIfOurs(message.processId);
}

void TSyncController::HandleSignInMessage(const QString& AText)
{
    const TSignInMessage message = TSignInMessage::FromText(AText);
    if (!message.Succeeded()) {
        LogLine(llMessage, u"[联盟账号] 登录失败...");
    } else {
        LogLine(llMessage, QStringLiteral("[联盟账号] ") + message.nickname + QStringLiteral(" 登录成功!"));
        if (TAlimmTokenMgr* store = AlimmTokenMgr())
            store->updateCookies(message.userId, message.cookies);
        SendStatus(message.nickname, scSignedIn);
    }
    RunOnMain([this, userId = message.userId, ok = message.Succeeded()] { Q_EMIT SignInReported(userId, ok); });
}

void TSyncController::KeepSessionsOnline(TQJob* AJob)
{
    TAlimmTokenMgr* store = AlimmTokenMgr();
    const int count = store ? store->count() : 0;
    const TStopCheck stop = StopCheckOf(AJob);
    for (int i = 0; i < count; ++i) {
        if (stop())
            return;
        const PAlimmTokenData account = store->get();
        if (!account)
            continue;
        account->setReadLock(false);
        if (!HasWebSession(*account))
            continue;
        const bool alive = CheckAffiliateSession(account, stop);
        // A probe cut short by a stop says nothing about the session: no verdict.
        if (stop())
            return;
        const QString name = Trim(account->userName());
        if (alive) {
            LogLine(llWarning, QStringLiteral("联盟账号 ") + name + QStringLiteral(" 在线!"));
            continue;
        }
        SendStatus(account->userName(), scDropped);
        account->setIsLogin(false);
        LogLine(llWarning, QStringLiteral("联盟账号 ") + name + QStringLiteral(" 已掉线,请重新登录..."));
        return;
    }
}

bool TSyncController::CheckAffiliateSession(PAlimmTokenData AAccount, const TStopCheck& AStop)
{
    const TCommon* common = Common();
    if (!common)
        return false;
    const QString cookies = AAccount->cookies();
    Web_Http(common->hosts().alimamaMediaUrl() + QStringLiteral("/user/alipay_info.htm?message=T"), cookies, AStop);
    const QString reply = Web_Http(
        common->hosts().alimamaPublisherUrl() + QStringLiteral("/common/getUnionPubContextInfo.json"), cookies, AStop);
    if (Trim(reply).isEmpty())
        return false;
    if (reply.contains(QStringLiteral("访问受限了")))
        return true;
    TQJson doc;
    if (!doc.TryParse(reply))
        return false;
    const TQJson* nick = doc.ItemByPath(u"data.mmNick");
    if (!nick)
        return false;
    try {
        return !Trim(nick->AsString()).isEmpty();
    } catch (const EQuenlarError&) {
        return false;
    }
}

QString TSyncController::Web_Http(const QString& AUrl, const QString& ACookies, const TStopCheck& AStop)
{
    THttpRequest request;
    request.method = THttpRequest::TMethod::Get;
    request.url = AUrl;
    request.userAgent = kProbeUserAgent;
    request.accept = QStringLiteral("*/*");
    request.connection = QStringLiteral("Keep-Alive");
    request.cookie = Trim(ACookies);
    request.connectTimeoutMs = FTiming.probeConnectTimeoutMs;
    request.readTimeoutMs = FTiming.probeReadTimeoutMs;
    const TCommon* common = Common();
    request.tls = THttpTls {common ? common->hosts().caFile : QString()};
    request.stopCheck = AStop;
    QString error;
    const QString reply = HttpExchange(request, &error);
    if (!error.isEmpty())
        LogLine(
            llError, QStringLiteral("[阿里妈妈] 阿里妈妈保持在线调试,error:") + error + QStringLiteral(" url:") + AUrl);
    return reply;
}
