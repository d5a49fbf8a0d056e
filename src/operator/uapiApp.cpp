#include "operator/uapiApp.h"

#include "foundation/qjson.h"
#include "foundation/textutil.h"
#include "store/ucommon.h"

TAPIApp::TAPIApp() = default;

TAPIApp::~TAPIApp()
{
    FisLogin = false;
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

bool TAPIApp::Login(const QString& APhone, const QString& APwd, QString& AError)
{
    TParamList params;
    params.SetValue(u"phone", Trim(APhone));
    params.SetValue(u"pwd", Trim(APwd));
    const TServiceResp resp = postWithToken(ServiceUrl(OperatorPath::Login), params);
    if (resp.code != 200) {
        AError = resp.msg;
        return false;
    }
    FisLogin = true;
    TQJson data;
    data.TryParse(resp.data);
    const TQJson* uid = data.ItemByPath(u"uid");
    const TQJson* token = data.ItemByPath(u"token");
    const std::scoped_lock lock(FSessionCS);
    FPhone = Trim(APhone);
    if (uid)
        FUID = uid->AsString();
    if (token)
        FToken = token->AsString();
    return true;
}

std::unique_ptr<TQJson> TAPIApp::getAlimmTokens()
{
    auto document = std::make_unique<TQJson>();
    TParamList params;
    const TServiceResp resp = postWithToken(ServiceUrl(OperatorPath::AlimmTokens), params);
    if (resp.code == 200)
        document->TryParse(resp.data);
    return document;
}

QString TAPIApp::Describe(const TServiceResp& AResp)
{
    return QStringLiteral("Code:") + QString::number(AResp.code) + QStringLiteral(";Msg:") + Trim(AResp.msg)
        + QStringLiteral(";time:") + QString::number(AResp.time) + QStringLiteral(";Data:") + AResp.data;
}

QString TAPIApp::PostTest(QStringView AAction, TParamList& AParams)
{
    return Describe(postWithToken(ServiceUrl(AAction), AParams));
}

QString TAPIApp::Test(const QString& AStr)
{
    TParamList params;
    params.SetValue(u"orders", AStr);
    return Describe(postWithoutToken(IntakeUrl(OperatorPath::InvalidOrders), params));
}
