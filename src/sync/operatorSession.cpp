#include "sync/operatorSession.h"

#include "foundation/mainthread.h"
#include "foundation/mainthreadcalls.h"
#include "foundation/qerror.h"
#include "foundation/qjson.h"
#include "foundation/qworker.h"
#include "foundation/stopCheck.h"
#include "foundation/textutil.h"
#include "log/QLog.h"
#include "operator/uapiApp.h"
#include "sessions/alimmTokenMgr.h"
#include "sync/accountHealth.h"
#include "sync/accountListModel.h"
#include "sync/syncFrontEnd.h"

#include <exception>
#include <memory>
#include <optional>

namespace {

} // namespace

struct TOperatorSession::TAccountsReply {
    std::unique_ptr<TQJson> accounts;
    QString error; // raised: shown in a message box
    QString listError; // a refused or unreadable list: logged, and the list stays as it was
};

TOperatorSession::TOperatorSession(
    TSyncFrontEnd& AFrontEnd, TAccountListModel& AAccounts, TAccountHealth& AHealth, qint64 ATokenRefreshInterval)
    : FFrontEnd(AFrontEnd)
    , FAccounts(AAccounts)
    , FHealth(AHealth)
    , FTokenRefreshInterval(ATokenRefreshInterval)
{
}

TOperatorSession::~TOperatorSession()
{
    SkipMainThreadCalls(this);
    if (TQWorkers* scheduler = JobScheduler(); scheduler && FTokenRefreshJob)
        scheduler->ClearSingleJob(FTokenRefreshJob, false);
}

bool TOperatorSession::BeginOperatorRequest()
{
    bool idle = false;
    if (!FOperatorBusy.compare_exchange_strong(idle, true))
        return false;
    if (IsMainThread())
        FFrontEnd.ControlsChanged();
    else
        RunOnMainFor(this, [this] { FFrontEnd.ControlsChanged(); });
    return true;
}

void TOperatorSession::EndOperatorRequest()
{
    FOperatorBusy.store(false);
    FFrontEnd.ControlsChanged();
}

bool TOperatorSession::SignIn(const QString& APhone, const QString& APwd, TSignInDone ADone)
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
        QString cause;
        try {
            ok = APIApp()->Login(phone, pwd, error, StopCheckOf(AJob), &cause);
        } catch (...) {
            error = ErrorMessageOf(std::current_exception());
        }
        RunOnMainFor(this, [this, ok, error, cause, done, phone] {
            FSignInCause = cause.isEmpty() ? QString() : TAPIApp::ServiceHost() + QStringLiteral(": ") + cause;
            if (!ok) {
                SignInFailed(error);
                EndOperatorRequest();
            } else {
                AfterSignIn(phone); // keeps the request slot for the account list that follows
            }
            (*done)(ok, error);
        });
    });
    if (!posted) {
        EndOperatorRequest();
        return false;
    }
    return true;
}

// The window's box shows the back end's text; the log keeps what kept the request from an answer.
void TOperatorSession::SignInFailed(const QString& AError)
{
    THealthEvent event;
    event.source = QStringLiteral("operator");
    event.text = FSignInCause.isEmpty()
        ? QStringLiteral("运营商后台拒绝登录: ") + AError
        : QStringLiteral("运营商后台无法访问(") + FSignInCause + QStringLiteral("): ") + AError;
    FHealth.Report(event);
}

void TOperatorSession::AfterSignIn(const QString& APhone)
{
    FHealth.SetOperator(APhone);
    FOperatorPanel = QStringLiteral("运营商：已登录");
    FFrontEnd.OperatorPanelChanged(FOperatorPanel);
    ScheduleTokenRefresh();
    FetchAccountsOnWorker(nullptr);
}

void TOperatorSession::ScheduleTokenRefresh()
{
    TQWorkers* scheduler = JobScheduler();
    if (!scheduler)
        return;
    // One refresh job at most: a second sign-in replaces the first instead of adding another.
    if (FTokenRefreshJob)
        scheduler->ClearSingleJob(FTokenRefreshJob, false);
    FTokenRefreshJob
        = scheduler->Delay(TQJobProc(this, &TOperatorSession::TokenRefreshJob), FTokenRefreshInterval, {}, false, true);
}

void TOperatorSession::TokenRefreshJob(TQJob* AJob)
{
    // A sign-in or a refresh click is running: skip this turn rather than queue a second request behind it.
    if (!BeginOperatorRequest())
        return;
    LogLine(llMessage, u"刷新token...");
    FetchAccountsOnWorker(AJob);
}

void TOperatorSession::RefreshClick()
{
    if (!APIApp() || !APIApp()->isLogin()) {
        FFrontEnd.MessageBox(QStringLiteral("请先登录运营商平台!!!"), kMessageTitle, TSyncFrontEnd::TButtons::Ok,
            TSyncFrontEnd::TIcon::None);
        return;
    }
    RefreshAuthorizedAccounts();
}

bool TOperatorSession::RefreshAuthorizedAccounts()
{
    if (!BeginOperatorRequest())
        return false;
    FetchAccountsOnWorker(nullptr);
    return true;
}

// Called holding the operator request slot; gives it back on the main thread with the result. ARunning is the job
// this runs in already (the periodic refresh), or nothing to post a job of its own.
void TOperatorSession::FetchAccountsOnWorker(TQJob* ARunning)
{
    auto fetch = [this](TQJob* AJob) {
        auto reply = std::make_shared<TAccountsReply>();
        try {
            reply->accounts = APIApp()->getAlimmTokens(StopCheckOf(AJob), &reply->listError);
        } catch (...) {
            reply->error = ErrorMessageOf(std::current_exception());
        }
        RunOnMainFor(this, [this, reply] {
            EndOperatorRequest();
            if (!reply->error.isEmpty()) {
                // Logged as well: an unattended run has no one to read the message box.
                LogLine(llError, QStringLiteral("获取联盟账号失败:") + reply->error);
                Q_EMIT AccountsRefreshed(false, reply->error);
                FFrontEnd.MessageBox(
                    reply->error, kMessageTitle, TSyncFrontEnd::TButtons::Ok, TSyncFrontEnd::TIcon::Error);
                return;
            }
            if (!reply->listError.isEmpty()) {
                LogLine(llError, QStringLiteral("获取联盟账号失败:") + reply->listError);
                Q_EMIT AccountsRefreshed(false, reply->listError);
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

void TOperatorSession::ApplyAccounts(const TQJson& AAccounts)
{
    FAccounts.Clear();
    TAlimmTokenMgr* store = AlimmTokenMgr();
    std::vector<TAccountHealth::TListedAccount> listed;
    std::vector<QString> userIds;
    for (int i = 0; i < AAccounts.Count(); ++i) {
        // One item the program cannot read costs only itself: the rest of the list goes on.
        std::optional<TAlimmTokenData> account = AccountOf(*AAccounts.Items(i), i);
        if (!account)
            continue;
        const PAlimmTokenData known = store ? store->get(account->userId) : nullptr;
        const bool signedIn = known && known->isLogin();
        FAccounts.AppendAccount(*account, signedIn ? QStringLiteral("已登录") : QStringLiteral("未登录"));
        listed.push_back({Trim(account->userId), account->userName, account->expTime, signedIn});
        userIds.push_back(Trim(account->userId));
        if (store)
            store->updateToken(std::move(*account));
    }
    // Accounts the operator took out of the list are not synchronised any more.
    if (store)
        store->keepListed(userIds);
    FHealth.SetAccounts(listed);
    Q_EMIT AccountsRefreshed(!listed.empty(), QString());
}

void TOperatorSession::ItemLeftOut(const QString& AWhy)
{
    THealthEvent event;
    event.source = QStringLiteral("list");
    event.text = AWhy;
    FHealth.Report(event);
}

std::optional<TAlimmTokenData> TOperatorSession::AccountOf(const TQJson& AItem, int AIndex)
{
    const QString place = QStringLiteral("联盟账号列表第 ") + QString::number(AIndex + 1) + QStringLiteral(" 项");
    TAlimmTokenData account;
    try {
        account.userId = AItem.MemberText(u"userId");
        account.userName = AItem.MemberText(u"userName");
        account.token = AItem.MemberText(u"accessToken");
    } catch (const EQuenlarError& error) {
        ItemLeftOut(place + QStringLiteral("无法读取,已跳过:") + error.Message());
        return std::nullopt;
    }
    if (Trim(account.userId).isEmpty()) {
        ItemLeftOut(place + QStringLiteral("没有 userId,已跳过"));
        return std::nullopt;
    }
    // An unreadable time is kept as unknown (0): the account is still synchronised.
    QStringList unreadable;
    const auto readTime = [&AItem, &unreadable](QStringView AName, qint64& ATime) {
        const TQJson* node = AItem.ItemByName(AName);
        try {
            ATime = node != nullptr ? node->AsInt64() : 0;
        } catch (const EQuenlarError&) {
            ATime = 0;
            unreadable << AName.toString() + QStringLiteral("=")
                    + (node->DataType() == jdtString ? node->AsString().left(40) : TQJson::TypeName(node->DataType()));
        }
    };
    readTime(u"authTime", account.authTime);
    readTime(u"exptime", account.expTime);
    if (!unreadable.isEmpty()) {
        LogLine(llWarning,
            QStringLiteral("联盟账号 ") + account.userName + QStringLiteral(" (") + Trim(account.userId)
                + QStringLiteral(") 的时间无法读取,按未知处理:") + unreadable.join(u','));
    }
    return account;
}
