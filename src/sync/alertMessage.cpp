#include "sync/alertMessage.h"

#include "foundation/qhttp.h"
#include "store/ucommon.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageAuthenticationCode>
#include <QUrl>

namespace {

// A WeCom text message holds at most 2048 bytes; the others more. A little is kept for the JSON around it.
constexpr qsizetype kTextBytes = 2000;

QJsonValue TextOrNull(const QString& AText)
{
    return AText.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(AText);
}

QString TimeText(const QDateTime& ATime)
{
    return ATime.toOffsetFromUtc(ATime.offsetFromUtc()).toString(Qt::ISODate);
}

// The longest start of AText whose UTF-8 fits ABytes, never cutting a surrogate pair.
QString FitUtf8(const QString& AText, qsizetype ABytes)
{
    if (AText.toUtf8().size() <= ABytes)
        return AText;
    QString fitted;
    qsizetype bytes = 0;
    for (qsizetype i = 0; i < AText.size(); ++i) {
        const bool pair = AText.at(i).isHighSurrogate() && i + 1 < AText.size();
        const QString unit = AText.mid(i, pair ? 2 : 1);
        bytes += unit.toUtf8().size();
        if (bytes > ABytes - 3)
            break;
        fitted += unit;
        i += pair ? 1 : 0;
    }
    return fitted + QStringLiteral("…");
}

QByteArray Compact(const QJsonObject& AObject)
{
    return QJsonDocument(AObject).toJson(QJsonDocument::Compact);
}

QByteArray JsonBody(const THealthAlert& AAlert)
{
    QJsonObject body;
    const bool account = !AAlert.userId.isEmpty();
    body[u"account"] = account ? QJsonValue(AAlert.userName) : QJsonValue();
    body[u"userId"] = account ? QJsonValue(AAlert.userId) : QJsonValue();
    body[u"state"] = AlertStateName(AAlert.state);
    body[u"source"] = TextOrNull(AAlert.source);
    body[u"reason"] = AAlert.reason;
    body[u"advice"] = TextOrNull(AAlert.advice);
    body[u"time"] = TimeText(AAlert.time);
    return Compact(body);
}

} // namespace

std::optional<TAlertTarget> TAlertTarget::From(const TNotifySettings& ASettings, QString& AProblem)
{
    AProblem.clear();
    if (ASettings.webhook.isEmpty())
        return std::nullopt;
    static const std::pair<const char16_t*, TAlertFormat> formats[] = {{u"json", TAlertFormat::Json},
        {u"wecom", TAlertFormat::WeCom}, {u"dingtalk", TAlertFormat::DingTalk}, {u"feishu", TAlertFormat::Feishu}};
    TAlertTarget target;
    bool known = false;
    const QString format = ASettings.format.isEmpty() ? QStringLiteral("json") : ASettings.format;
    for (const auto& [name, value] : formats) {
        if (format.compare(QStringView(name), Qt::CaseInsensitive) == 0) {
            target.format = value;
            known = true;
        }
    }
    const QUrl url(ASettings.webhook, QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!known)
        AProblem = QStringLiteral("告警设置无效,不发送告警: [notify] format=") + format
            + QStringLiteral(" 不是 json、wecom、dingtalk 或 feishu");
    else if (!url.isValid() || url.host().isEmpty() || (scheme != u"http" && scheme != u"https"))
        AProblem = QStringLiteral("告警设置无效,不发送告警: [notify] webhook 不是 http:// 或 https:// 地址");
    if (!AProblem.isEmpty())
        return std::nullopt;
    target.webhook = ASettings.webhook;
    target.secret = ASettings.secret;
    return target;
}

QString TAlertTarget::Host() const
{
    return QUrl(webhook)
        .adjusted(QUrl::RemoveUserInfo | QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment)
        .toString();
}

QString AlertStateName(THealthAlert::TState AState)
{
    switch (AState) {
    case THealthAlert::TState::Unhealthy:
        return QStringLiteral("unhealthy");
    case THealthAlert::TState::Recovered:
        return QStringLiteral("recovered");
    case THealthAlert::TState::Failed:
        break;
    }
    return QStringLiteral("failed");
}

QString AlertText(const THealthAlert& AAlert)
{
    const QString account = QStringLiteral("联盟账号 ") + AAlert.userName + QStringLiteral(" (") + AAlert.userId + u')';
    QString text = QStringLiteral("[Quenlar] ");
    switch (AAlert.state) {
    case THealthAlert::TState::Unhealthy:
        text += account + QStringLiteral(" 状态异常: ") + AAlert.reason;
        break;
    case THealthAlert::TState::Recovered:
        text += account + QStringLiteral(" 恢复正常");
        break;
    case THealthAlert::TState::Failed:
        text += QStringLiteral("运行失败: ") + AAlert.reason;
        break;
    }
    if (!AAlert.advice.isEmpty())
        text += QStringLiteral("\n处理建议: ") + AAlert.advice;
    const QString time = QStringLiteral("\n时间: ") + TimeText(AAlert.time);
    return FitUtf8(text, kTextBytes - time.toUtf8().size()) + time;
}

QByteArray DingTalkSign(const QString& ASecret, qint64 ATimestampMs)
{
    const QByteArray key = ASecret.toUtf8();
    return QMessageAuthenticationCode::hash(
        QByteArray::number(ATimestampMs) + '\n' + key, key, QCryptographicHash::Sha256)
        .toBase64();
}

QByteArray FeishuSign(const QString& ASecret, qint64 ATimestampS)
{
    const QByteArray key = QByteArray::number(ATimestampS) + '\n' + ASecret.toUtf8();
    return QMessageAuthenticationCode::hash(QByteArray(), key, QCryptographicHash::Sha256).toBase64();
}

TAlertRequest BuildAlertRequest(const TAlertTarget& ATarget, const THealthAlert& AAlert, const QDateTime& ANow)
{
    TAlertRequest request {ATarget.webhook, {}};
    const bool signing = !ATarget.secret.isEmpty();
    switch (ATarget.format) {
    case TAlertFormat::Json:
        request.body = JsonBody(AAlert);
        break;
    case TAlertFormat::WeCom:
    case TAlertFormat::DingTalk: {
        const QJsonObject text {{QStringLiteral("content"), AlertText(AAlert)}};
        request.body = Compact({{QStringLiteral("msgtype"), QStringLiteral("text")}, {QStringLiteral("text"), text}});
        if (ATarget.format == TAlertFormat::DingTalk && signing) {
            const qint64 timestamp = ANow.toMSecsSinceEpoch();
            request.url += (request.url.contains(u'?') ? u'&' : u'?') + QStringLiteral("timestamp=")
                + QString::number(timestamp) + QStringLiteral("&sign=")
                + QString::fromLatin1(FormEncode(QString::fromLatin1(DingTalkSign(ATarget.secret, timestamp))));
        }
        break;
    }
    case TAlertFormat::Feishu: {
        QJsonObject body {{QStringLiteral("msg_type"), QStringLiteral("text")},
            {QStringLiteral("content"), QJsonObject {{QStringLiteral("text"), AlertText(AAlert)}}}};
        if (signing) {
            const qint64 timestamp = ANow.toSecsSinceEpoch();
            body[u"timestamp"] = QString::number(timestamp);
            body[u"sign"] = QString::fromLatin1(FeishuSign(ATarget.secret, timestamp));
        }
        request.body = Compact(body);
        break;
    }
    }
    return request;
}

QString AlertReplyError(TAlertFormat AFormat, const QString& AReply)
{
    if (AFormat == TAlertFormat::Json)
        return {};
    const QJsonObject reply = QJsonDocument::fromJson(AReply.toUtf8()).object();
    // WeCom and DingTalk answer {"errcode":0,"errmsg":"ok"}; Feishu {"code":0,"msg":"success"}.
    const bool feishu = AFormat == TAlertFormat::Feishu;
    const QJsonValue code = reply.value(feishu ? u"code" : u"errcode");
    if (!code.isDouble() || code.toInteger() == 0)
        return {};
    return (feishu ? QStringLiteral("code ") : QStringLiteral("errcode ")) + QString::number(code.toInteger())
        + QStringLiteral(": ") + reply.value(feishu ? u"msg" : u"errmsg").toString();
}
