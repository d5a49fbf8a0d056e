#include "operator/uapiApp.h"

#include "foundation/beijingtime.h"
#include "foundation/qerror.h"
#include "foundation/qjson.h"
#include "foundation/textutil.h"
#include "log/QLog.h"
#include "store/ucommon.h"
#include "store/udb.h"

namespace {

constexpr int kInvalidBatchSize = 100;

QString BatchText(const QStringList& AMembers)
{
    return u'[' + AMembers.join(u',') + u']';
}

const QString kRecordingStoppedText = QStringLiteral("订单缓存无法记录已提交的订单,本次同步停止提交,下次同步再提交");

} // namespace

TAPIApp::TAPIApp() = default;

bool TAPIApp::Record(bool ARefunds, const QString& ABatch, int AAgain, QString& ACause)
{
    TDBCacheClass* cache = DBCache();
    if (!cache)
        return true;
    const QString failure = ARefunds ? cache->addWQ(ABatch) : cache->add(ABatch);
    if (failure.isEmpty())
        return true;
    FRecordingStopped.store(true);
    // Said once, with what it costs: these orders go out a second time with the next pass.
    ACause = QStringLiteral("已提交的订单未能记入缓存(") + failure + QStringLiteral("),本次同步停止提交,")
        + QString::number(AAgain) + QStringLiteral(" 条订单下次同步会再次提交");
    LogLine(llError, ACause);
    return false;
}

TAPIApp::~TAPIApp()
{
    FPosters.WaitAll();
    FisLogin = false;
}

void TAPIApp::CutPostsAfter(std::chrono::milliseconds AGrace)
{
    // Never 0, which means no end under way.
    const auto deadline = (std::chrono::steady_clock::now() + AGrace).time_since_epoch().count();
    FPostDeadline.store(deadline == 0 ? 1 : deadline);
}

bool TAPIApp::PostsCut() const
{
    const auto deadline = FPostDeadline.load();
    return deadline != 0 && std::chrono::steady_clock::now().time_since_epoch().count() >= deadline;
}

QString TAPIApp::CutAtExitText()
{
    return QStringLiteral("订单提交在程序退出时被中断,未记录,下次运行重新提交");
}

QString TAPIApp::ServiceUrl(QStringView APath)
{
    const TCommon* common = Common();
    return common ? common->hosts().operatorServiceUrl() + APath.toString() : QString();
}

QString TAPIApp::IntakeUrl(QStringView APath)
{
    const TCommon* common = Common();
    return common ? common->hosts().operatorIntakeUrl() + APath.toString() : QString();
}

QString TAPIApp::ServiceHost()
{
    return ServiceUrl(u"");
}

bool TAPIApp::Login(
    const QString& APhone, const QString& APwd, QString& AError, const std::function<bool()>& AStop, QString* ACause)
{
    TParamList params;
    params.SetValue(u"phone", Trim(APhone));
    params.SetValue(u"pwd", Trim(APwd));
    const TServiceResp resp = postWithToken(ServiceUrl(OperatorPath::Login), params, AStop);
    if (resp.code != 200) {
        AError = resp.msg;
        if (ACause)
            *ACause = resp.cause;
        return false;
    }
    FisLogin = true;
    TQJson data;
    data.TryParse(resp.data);
    const TQJson* uid = data.ItemByPath(u"uid");
    const TQJson* token = data.ItemByPath(u"token");
    const std::scoped_lock lock(FSessionCS);
    if (uid)
        FUID = uid->AsString();
    if (token)
        FToken = token->AsString();
    return true;
}

std::unique_ptr<TQJson> TAPIApp::getAlimmTokens(const std::function<bool()>& AStop, QString* AError)
{
    auto document = std::make_unique<TQJson>();
    TParamList params;
    const TServiceResp resp = postWithToken(ServiceUrl(OperatorPath::AlimmTokens), params, AStop);
    if (resp.code == 200) {
        if (!document->TryParse(resp.data) && AError)
            *AError = QStringLiteral("联盟账号列表不是JSON");
    } else if (AError) {
        *AError = QStringLiteral("code:") + QString::number(resp.code) + QStringLiteral(",msg:") + resp.msg;
    }
    return document;
}

void TAPIApp::postOrderData(const QStringList& List, TPostDone ADone)
{
    if (List.isEmpty()) {
        if (ADone)
            ADone(TPostOutcome());
        return;
    }
    QStringList batches;
    for (qsizetype i = 0; i < List.size(); i += kInvalidBatchSize)
        batches.append(BatchText(List.mid(i, kInvalidBatchSize)));
    FPosters.Start([this, batches, lines = static_cast<int>(List.size()), done = std::move(ADone)] {
        pushInvalidOrders(batches, lines, done);
    });
}

void TAPIApp::pushInvalidOrders(const QStringList& ABatches, int ALines, const TPostDone& ADone)
{
    TPostOutcome outcome;
    outcome.batches = static_cast<int>(ABatches.size());
    for (qsizetype index = 0; index < ABatches.size(); ++index) {
        const QString& batch = ABatches.at(index);
        if (Ending()) {
            // The process ends: only posts already in flight are waited for; the next run sends these again.
            if (outcome.cause.isEmpty())
                outcome.cause = CutAtExitText();
            break;
        }
        if (RecordingStopped()) {
            if (outcome.cause.isEmpty())
                outcome.cause = kRecordingStoppedText;
            outcome.unrecorded = true;
            break;
        }
        TParamList params;
        params.SetValue(u"orders", Trim(batch));
        TServiceResp resp;
        try {
            resp = postWithoutToken(IntakeUrl(OperatorPath::InvalidOrders), params, [this] { return PostsCut(); });
        } catch (const EQuenlarError& e) {
            // A reply whose code is not a number: that batch failed, the next ones still go out.
            resp.msg = e.Message();
        }
        if (resp.code == 200) {
            QString unrecorded;
            if (!Record(false, batch, ALines - static_cast<int>(index) * kInvalidBatchSize, unrecorded)) {
                if (outcome.cause.isEmpty())
                    outcome.cause = unrecorded;
                outcome.unrecorded = true;
                break;
            }
            ++outcome.accepted;
            outcome.delivered += qMin(kInvalidBatchSize, ALines - static_cast<int>(index) * kInvalidBatchSize);
            LogLine(llMessage, QStringLiteral("失效/已收货订单提交成功"));
        } else if (PostsCut()) {
            LogLine(llError, QStringLiteral("失效/已收货") + CutAtExitText());
            if (outcome.cause.isEmpty())
                outcome.cause = CutAtExitText();
        } else {
            const QString cause
                = QStringLiteral("code:") + QString::number(resp.code) + QStringLiteral(",msg:") + resp.msg;
            LogLine(llMessage, QStringLiteral("失效/已收货订单提交失败---") + cause);
            if (outcome.cause.isEmpty())
                outcome.cause = QStringLiteral("失效/已收货订单提交失败---") + cause;
        }
    }
    if (ADone)
        ADone(outcome);
}

TPostOutcome TAPIApp::postWeiQuanOrderData(const std::vector<TWeiQuanOrderInfo>& List)
{
    TPostOutcome outcome;
    QStringList pending;
    const auto send = [this, &pending, &outcome, &List](size_t ASent) {
        ++outcome.batches;
        if (RecordingStopped()) {
            if (outcome.cause.isEmpty())
                outcome.cause = kRecordingStoppedText;
            outcome.unrecorded = true;
            pending.clear();
            return;
        }
        const QString failure
            = syncRefundOrders(BatchText(pending), static_cast<int>(List.size() - ASent + pending.size()));
        if (RecordingStopped())
            outcome.unrecorded = true;
        if (failure.isEmpty()) {
            ++outcome.accepted;
            outcome.delivered += static_cast<int>(pending.size());
        } else if (outcome.cause.isEmpty()) {
            outcome.cause = failure;
        }
        pending.clear();
    };
    for (size_t k = 1; k <= List.size(); ++k) {
        // The batch goes out before the k-th record is added, so the first batch holds 99 records.
        if (k % 100 == 0)
            send(k - 1);
        pending.append(RefundOrderJson(List[k - 1]));
    }
    if (!pending.isEmpty())
        send(List.size());
    return outcome;
}

QString TAPIApp::syncRefundOrders(const QString& ABatch, int AAgain)
{
    TParamList params;
    params.SetValue(u"orders", Trim(ABatch));
    if (Ending())
        return CutAtExitText(); // only posts already in flight are waited for; the next run sends it again
    const TServiceResp resp
        = postWithToken(ServiceUrl(OperatorPath::RefundOrders), params, [this] { return PostsCut(); });
    if (resp.code == 200) {
        QString unrecorded;
        if (!Record(true, ABatch, AAgain, unrecorded))
            return unrecorded;
    } else if (PostsCut()) {
        LogLine(llError, QStringLiteral("维权") + CutAtExitText());
        return CutAtExitText();
    }
    const QString result = QStringLiteral("code:") + QString::number(resp.code) + QStringLiteral(",msg:") + resp.msg;
    LogLine(llMessage, QStringLiteral("维权订单提交结果---") + result);
    return resp.code == 200 ? QString() : QStringLiteral("维权订单提交失败---") + result;
}

qint64 TAPIApp::timeTextToUnix(const QString& ATime)
{
    // The report and the TOP method write Beijing time; a text that does not parse stands for now, as before.
    const QDateTime time = Beijing::Parse(ATime);
    return time.isValid() ? time.toSecsSinceEpoch() : QDateTime::currentSecsSinceEpoch();
}

QString TAPIApp::RefundOrderJson(const TWeiQuanOrderInfo& AOrder)
{
    TQJson json;
    json.Add(QStringLiteral("childOrderNo"))->SetAsString(Trim(AOrder.tbTradeId));
    json.Add(QStringLiteral("parentOrderNo"))->SetAsString(Trim(AOrder.tbTradeParentId));
    json.Add(QStringLiteral("title"))->SetAsString(Trim(AOrder.itemTitle));
    json.Add(QStringLiteral("imgUrl"))->SetAsString(Trim(AOrder.itemImg));
    json.Add(QStringLiteral("refundStatus"))->SetAsString(Trim(AOrder.showRefundStatus));
    json.Add(QStringLiteral("orderSettleTime"))->SetAsInteger(timeTextToUnix(AOrder.earningTime));
    json.Add(QStringLiteral("refundCreateTime"))->SetAsInteger(timeTextToUnix(AOrder.refundCreateTime));
    json.Add(QStringLiteral("refundFinishTime"))->SetAsInteger(timeTextToUnix(AOrder.refundFinishTime));
    json.Add(QStringLiteral("refundAmount"))->SetAsFloat(AOrder.refundFee);
    json.Add(QStringLiteral("refundOpeAmount"))->SetAsFloat(AOrder.showReturnFee);
    json.Add(QStringLiteral("settleAmount"))->SetAsFloat(AOrder.alipayTotalPrice);
    json.Add(QStringLiteral("seoIdentity"))->SetAsString(Trim(AOrder.tkOrderRole));
    return json.Encode(false, false);
}
