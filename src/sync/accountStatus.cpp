#include "sync/accountStatus.h"

#include "foundation/qmsgpack.h"
#include "sync/accountListModel.h"

TAccountStatus::TAccountStatus(TAccountListModel& AAccounts)
    : FAccounts(AAccounts)
{
}

TAccountStatus::~TAccountStatus()
{
    // A message still queued for the main thread must not reach a model that is gone.
    if (TQWorkers* scheduler = JobScheduler())
        scheduler->Clear(TQJobProc(this, &TAccountStatus::ShowAccountStatus), TQWorkers::AnyData, -1, false);
}

void TAccountStatus::SendStatus(const QString& AUserName, int AStatus)
{
    SendStatus(QString(), AUserName, AStatus);
}

void TAccountStatus::SendStatus(const QString& AUserId, const QString& AUserName, int AStatus)
{
    TQWorkers* scheduler = JobScheduler();
    if (!scheduler)
        return;
    auto message = std::make_unique<TQMsgPack>();
    if (!AUserId.isEmpty())
        message->Add(QStringLiteral("userId"), AUserId);
    message->Add(QStringLiteral("userName"), AUserName);
    message->Add(QStringLiteral("status"), static_cast<qint64>(AStatus));
    scheduler->Post(TQJobProc(this, &TAccountStatus::ShowAccountStatus), TQJobData(std::move(message)), true);
}

void TAccountStatus::ShowAccountStatus(TQJob* AJob)
{
    const auto* message = AJob->DataAs<TQMsgPack>();
    if (!message)
        return;
    const TQMsgPack* id = message->ItemByPath(u"userId");
    const TQMsgPack* name = message->ItemByPath(u"userName");
    const TQMsgPack* status = message->ItemByPath(u"status");
    int row = id ? FAccounts.FindByUserId(id->AsString()) : -1;
    if (row < 0)
        row = FAccounts.FindByUserName(name ? name->AsString() : QString());
    if (row < 0 || !status)
        return;
    switch (status->AsInteger()) {
    case scSyncing:
        FAccounts.SetText(row, TAccountListModel::colRunState, QStringLiteral("正在同步"));
        break;
    case scSynced:
        FAccounts.SetText(row, TAccountListModel::colRunState, QStringLiteral("同步完成"));
        break;
    case scStopped:
        FAccounts.SetText(row, TAccountListModel::colRunState, QStringLiteral("已停止"));
        break;
    case scFailed:
        FAccounts.SetText(row, TAccountListModel::colRunState, QStringLiteral("同步失败"));
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
