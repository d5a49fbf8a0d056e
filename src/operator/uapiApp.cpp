#include "operator/uapiApp.h"

#include "foundation/beijingtime.h"
#include "foundation/qerror.h"
#include "foundation/qjson.h"
#include "foundation/textutil.h"
#include "store/ucommon.h"

TAPIApp::TAPIApp() = default;

TAPIApp::~TAPIApp()
{
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

TServiceResp TAPIApp::postInvalidOrders(const QString& ABatch)
{
    TParamList params;
    params.SetValue(u"orders", Trim(ABatch));
    return postWithoutToken(IntakeUrl(OperatorPath::InvalidOrders), params, [this] { return PostsCut(); });
}

TServiceResp TAPIApp::postRefundOrders(const QString& ABatch)
{
    TParamList params;
    params.SetValue(u"orders", Trim(ABatch));
    return postWithToken(ServiceUrl(OperatorPath::RefundOrders), params, [this] { return PostsCut(); });
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
