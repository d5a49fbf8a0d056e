#include "store/ucommon.h"

#include "foundation/textutil.h"
#include "store/inifile.h"

#include <QDir>

#include <algorithm>

namespace {

const QString kSetting = QStringLiteral("setting");
const QString kHosts = QStringLiteral("hosts");

bool ReadSwitch(const TIniFile& ini, const QString& key, bool fallback)
{
    const std::optional<QString> text = ini.ReadString(kSetting, key);
    if (!text)
        return fallback;
    const std::optional<qint64> value = ParseIniInteger(*text);
    return value ? *value != 0 : fallback;
}

int ReadHour(const TIniFile& ini, const QString& key, int fallback)
{
    const std::optional<QString> text = ini.ReadString(kSetting, key);
    const std::optional<qint64> value = text ? ParseIniInteger(*text) : std::nullopt;
    return value && *value >= 0 && *value <= 23 ? static_cast<int>(*value) : fallback;
}

// A whole number of the section "setting" within [AMin, AMax]; a larger one counts as AMax, anything else that is
// no number in range (or absent) as AFallback.
int ReadBounded(const TIniFile& ini, const QString& key, qint64 AMin, qint64 AMax, int AFallback)
{
    const std::optional<QString> text = ini.ReadString(kSetting, key);
    const std::optional<qint64> value = text ? ParseIniInteger(*text) : std::nullopt;
    if (!value || *value < AMin)
        return AFallback;
    return static_cast<int>(std::min(*value, AMax));
}

QString ReadHost(const TIniFile& ini, const QString& key, const QString& fallback)
{
    const std::optional<QString> text = ini.ReadString(kHosts, key);
    return text && !text->isEmpty() ? *text : fallback;
}

} // namespace

TRefundSource ParseRefundSource(const QString& AText)
{
    const QStringView text = TrimView(AText);
    if (text.compare(u"api", Qt::CaseInsensitive) == 0)
        return TRefundSource::Api;
    if (text.compare(u"auto", Qt::CaseInsensitive) == 0)
        return TRefundSource::Auto;
    return TRefundSource::Report;
}

QString THosts::BaseUrl(const QString& hostValue, bool https)
{
    if (hostValue.startsWith(u"http://", Qt::CaseInsensitive) || hostValue.startsWith(u"https://", Qt::CaseInsensitive))
        return hostValue.endsWith(u'/') ? hostValue.chopped(1) : hostValue;
    return (https ? QStringLiteral("https://") : QStringLiteral("http://")) + hostValue;
}

TCommon::TCommon(const QString& AFolder)
    : iniPath(QDir(AFolder).absoluteFilePath(QStringLiteral("conf.ini")))
{
    TIniFile ini(iniPath);
    ini.Load();
    FOpenSyncYSH = ReadSwitch(ini, QStringLiteral("syncysh"), true);
    FOpenSyncApiWQ = ReadSwitch(ini, QStringLiteral("syncapiwq"), false);
    FopenLargeModel = ReadSwitch(ini, QStringLiteral("openLarge"), false);
    FOpenIncremental = ReadSwitch(ini, QStringLiteral("syncIncrement"), false);
    FFullSyncHour = ReadHour(ini, QStringLiteral("fullSyncHour"), 4);
    FTopCallLimit = ReadBounded(ini, QStringLiteral("topCallLimit"), 0, 1'000'000, 0);
    const QString encoding = Trim(ini.ReadString(kSetting, QStringLiteral("logEncoding")).value_or(QString()));
    FLogInUtf8
        = encoding.compare(u"utf-8", Qt::CaseInsensitive) == 0 || encoding.compare(u"utf8", Qt::CaseInsensitive) == 0;
    FHosts.operatorService = ReadHost(ini, QStringLiteral("operatorService"), QStringLiteral("127.0.0.1:18080"));
    FHosts.operatorIntake = ReadHost(ini, QStringLiteral("operatorIntake"), QStringLiteral("127.0.0.1:18081"));
    FHosts.topGateway = ReadHost(ini, QStringLiteral("topGateway"), QStringLiteral("gw.api.taobao.com"));
    FHosts.alimamaPublisher = ReadHost(ini, QStringLiteral("alimamaPublisher"), QStringLiteral("pub.alimama.com"));
    FHosts.alimamaMedia = ReadHost(ini, QStringLiteral("alimamaMedia"), QStringLiteral("www.alimama.com"));
    FHosts.caFile = ReadHost(ini, QStringLiteral("caFile"), QString());
    const QString notify = QStringLiteral("notify");
    FNotify.webhook = Trim(ini.ReadString(notify, QStringLiteral("webhook")).value_or(QString()));
    FNotify.format = Trim(ini.ReadString(notify, QStringLiteral("format")).value_or(QStringLiteral("json")));
    FNotify.secret = Trim(ini.ReadString(notify, QStringLiteral("secret")).value_or(QString()));
    QString problem = ini.Problem();
    if (problem.isEmpty() && !ini.HasSection(kHosts))
        problem = QStringLiteral("没有 [hosts] 段");
    if (!problem.isEmpty())
        FProblem = QStringLiteral("配置文件 ") + QDir::toNativeSeparators(iniPath) + u' ' + problem
            + QStringLiteral(",外部服务的地址用默认值(运营商后台 ") + FHosts.operatorService + u')';
}

TRefundSource TCommon::refundSource() const
{
    TIniFile ini(iniPath);
    ini.Load();
    return ParseRefundSource(ini.ReadString(kSetting, QStringLiteral("refundSource")).value_or(QString()));
}

int TCommon::passConcurrency() const
{
    TIniFile ini(iniPath);
    ini.Load();
    return ReadBounded(ini, QStringLiteral("passConcurrency"), 1, kMaxPassConcurrency, 1);
}

void TCommon::WriteSwitch(const char16_t* AKey, bool AValue) const
{
    // Re-read first: another program (or the user) may have edited other keys since start.
    TIniFile ini(iniPath);
    ini.Load();
    ini.WriteString(kSetting, QStringView(AKey), AValue ? QStringLiteral("1") : QStringLiteral("0"));
}

void TCommon::setOpenSyncYSH(bool AValue)
{
    FOpenSyncYSH = AValue;
    WriteSwitch(u"syncysh", AValue);
}

void TCommon::setOpenSyncApiWQ(bool AValue)
{
    FOpenSyncApiWQ = AValue;
    WriteSwitch(u"syncapiwq", AValue);
}

void TCommon::setOpenLargeModel(bool AValue)
{
    FopenLargeModel = AValue;
    WriteSwitch(u"openLarge", AValue);
}

void TCommon::setOpenIncremental(bool AValue)
{
    FOpenIncremental = AValue;
    WriteSwitch(u"syncIncrement", AValue);
}
