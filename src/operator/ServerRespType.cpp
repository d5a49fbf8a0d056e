#include "operator/ServerRespType.h"

QString TServiceResp::LocalFailureMsg()
{
    return QStringLiteral(u"服务器访问失败-本地");
}
