#include "browser/signInConfig.h"

#include "foundation/textutil.h"
#include "store/inifile.h"
#include "store/ucommon.h"

#include <QDir>

namespace {

QString HostsValue(const TIniFile& AIni, QStringView AKey, const QString& ADefault)
{
    const QString value = Trim(AIni.ReadString(u"hosts", AKey).value_or(QString()));
    return value.isEmpty() ? ADefault : value;
}

QUrl PageUrl(const QString& AValue)
{
    const bool hasScheme
        = AValue.startsWith(u"http://", Qt::CaseInsensitive) || AValue.startsWith(u"https://", Qt::CaseInsensitive);
    return QUrl(hasScheme ? AValue : QStringLiteral("https://") + AValue);
}

} // namespace

TSignInConfig TSignInConfig::Read(const QString& AFolder)
{
    TIniFile ini(QDir(AFolder).filePath(QStringLiteral("conf.ini")));
    ini.Load();
    const QUrl publisher(
        THosts::BaseUrl(HostsValue(ini, u"alimamaPublisher", QStringLiteral("pub.alimama.com")), true));
    const QUrl media(THosts::BaseUrl(HostsValue(ini, u"alimamaMedia", QStringLiteral("www.alimama.com")), true));

    TSignInConfig config;
    config.signInPage = PageUrl(HostsValue(ini, u"signInPage", QString::fromLatin1(kDefaultSignInPage)));
    config.probeUrl = publisher.resolved(QUrl(QString::fromLatin1(kProbePath)));
    config.sessionHosts = QStringList {publisher.host(), media.host(), config.signInPage.host(),
        QStringLiteral("alimama.com"), QStringLiteral("taobao.com")};
    config.sessionHosts.removeAll(QString());
    config.sessionHosts.removeDuplicates();
    config.caFile = Trim(ini.ReadString(u"hosts", u"caFile").value_or(QString()));
    return config;
}
