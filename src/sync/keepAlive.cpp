#include "sync/keepAlive.h"

#include "foundation/qerror.h"
#include "foundation/qhttp.h"
#include "foundation/qjson.h"
#include "foundation/textutil.h"
#include "log/QLog.h"
#include "store/ucommon.h"
#include "sync/accountHealth.h"

TKeepAlive::TKeepAlive(TAccountHealth& AHealth, const TProbeTiming& ATiming)
    : FHealth(AHealth)
    , FTiming(ATiming)
{
}

TKeepAlive::~TKeepAlive()
{
    if (TQWorkers* scheduler = JobScheduler(); scheduler && FAtKeepOnlineJobID)
        scheduler->ClearSingleJob(FAtKeepOnlineJobID, false);
}

void TKeepAlive::Start(qint64 AInterval)
{
    if (TQWorkers* scheduler = JobScheduler())
        FAtKeepOnlineJobID
            = scheduler->Delay(TQJobProc(this, &TKeepAlive::KeepSessionsOnline), AInterval, {}, false, true);
}

void TKeepAlive::KeepSessionsOnline(TQJob* AJob)
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
        FHealth.SessionChanged(account->userId(), TWebSession::Dropped);
        account->setIsLogin(false);
        LogLine(llWarning, QStringLiteral("联盟账号 ") + name + QStringLiteral(" 已掉线,请重新登录..."));
        return;
    }
}

bool TKeepAlive::CheckAffiliateSession(PAlimmTokenData AAccount, const TStopCheck& AStop)
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

QString TKeepAlive::Web_Http(const QString& AUrl, const QString& ACookies, const TStopCheck& AStop)
{
    THttpRequest request = THttpRequest::ForGet(AUrl, UserAgents::kSessionProbe, FTiming.connectTimeoutMs);
    request.readTimeoutMs = FTiming.readTimeoutMs;
    request.accept = QStringLiteral("*/*");
    request.connection = QStringLiteral("Keep-Alive");
    request.cookie = Trim(ACookies);
    request.redirects = THttpRequest::TRedirects::SameOrigin; // the session cookies stay with their host
    request.maxReplyBytes = THttpRequest::kPageReplyCap;
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
