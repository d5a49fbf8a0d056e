#include "sync/alertMessage.h"

#include "store/ucommon.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <string>

namespace {

// 2025-12-10 12:00 in UTC+8, whatever the test's zone.
const QDateTime kSent = QDateTime::fromSecsSinceEpoch(1765339200, QTimeZone(8 * 3600));
const QString kTime = QStringLiteral("2025-12-10T12:00:00+08:00");

THealthAlert Unhealthy()
{
    return {THealthAlert::TState::Unhealthy, kSent, QStringLiteral("2281"), QStringLiteral("演示账号01"), QString(),
        QStringLiteral("失效订单同步连续 2 次失败(授权已失效)"), QStringLiteral("在运营商后台重新授权该联盟账号")};
}

THealthAlert Recovered()
{
    return {THealthAlert::TState::Recovered, kSent, QStringLiteral("2281"), QStringLiteral("演示账号01"), QString(),
        QString(), QString()};
}

THealthAlert ClockRefused()
{
    return {THealthAlert::TState::Failed, kSent, QString(), QString(), QStringLiteral("clock"),
        QStringLiteral("失效订单同步失败: 本机时间与北京时间相差超过10分钟"), QStringLiteral("校准本机时间")};
}

const QString kUnhealthyText
    = QStringLiteral("[Quenlar] 联盟账号 演示账号01 (2281) 状态异常: 失效订单同步连续 2 次失败(授权已失效)\n"
                     "处理建议: 在运营商后台重新授权该联盟账号\n时间: 2025-12-10T12:00:00+08:00");
const QString kRecoveredText
    = QStringLiteral("[Quenlar] 联盟账号 演示账号01 (2281) 恢复正常\n时间: 2025-12-10T12:00:00+08:00");
const QString kClockText = QStringLiteral("[Quenlar] 运行失败: 失效订单同步失败: 本机时间与北京时间相差超过10分钟\n"
                                          "处理建议: 校准本机时间\n时间: 2025-12-10T12:00:00+08:00");

// The signatures below were computed apart from the program, with
//   printf '1765339200000\nSECtest' | openssl dgst -sha256 -hmac 'SECtest' -binary | base64
//   printf '' | openssl dgst -sha256 -hmac "$(printf '1765339200\nSECtest')" -binary | base64
const char* const kDingTalkSign = "PdgZrUSlzpGkMMA87AUlRJihC66Fw3XVu9oZ33B0+x4=";
const char* const kFeishuSign = "SNMYDzyt7k8r5xRx2whHb8Xw7Nkk9hM9VFfBaNx6ZLk=";

QJsonObject Json(const char* AText)
{
    return QJsonDocument::fromJson(AText).object();
}

QJsonObject RobotText(const QString& AText)
{
    return {{QStringLiteral("msgtype"), QStringLiteral("text")},
        {QStringLiteral("text"), QJsonObject {{QStringLiteral("content"), AText}}}};
}

QJsonObject FeishuText(const QString& AText, bool ASigned)
{
    QJsonObject body {{QStringLiteral("msg_type"), QStringLiteral("text")},
        {QStringLiteral("content"), QJsonObject {{QStringLiteral("text"), AText}}}};
    if (ASigned) {
        body[u"timestamp"] = QStringLiteral("1765339200");
        body[u"sign"] = QString::fromLatin1(kFeishuSign);
    }
    return body;
}

struct TMessageCase {
    const char* name;
    TAlertFormat format;
    const char* webhook;
    const char* secret;
    THealthAlert alert;
    QString url; // where it goes
    QJsonObject body;
};

class AlertMessages : public ::testing::TestWithParam<TMessageCase> { };

TEST_P(AlertMessages, AreTheReceiversOwnFormat)
{
    const TMessageCase& c = GetParam();
    const TAlertTarget target {QString::fromLatin1(c.webhook), c.format, QString::fromLatin1(c.secret)};
    const TAlertRequest request = BuildAlertRequest(target, c.alert, kSent);
    EXPECT_EQ(request.url, c.url);
    const QJsonDocument body = QJsonDocument::fromJson(request.body);
    ASSERT_TRUE(body.isObject()) << request.body.toStdString();
    EXPECT_EQ(body.object(), c.body) << request.body.toStdString();
}

const char* const kHook = "http://127.0.0.1:9/hook";
const char* const kDingTalkHook = "https://oapi.dingtalk.com/robot/send?access_token=abc";

INSTANTIATE_TEST_SUITE_P(Formats, AlertMessages,
    ::testing::Values(
        TMessageCase {"JsonUnhealthy", TAlertFormat::Json, kHook, "", Unhealthy(), QString::fromLatin1(kHook),
            Json(R"j({"account":"演示账号01","userId":"2281","state":"unhealthy","source":null,
                     "reason":"失效订单同步连续 2 次失败(授权已失效)","advice":"在运营商后台重新授权该联盟账号",
                     "time":"2025-12-10T12:00:00+08:00"})j")},
        TMessageCase {"JsonRecovered", TAlertFormat::Json, kHook, "secret unused", Recovered(),
            QString::fromLatin1(kHook),
            Json(R"j({"account":"演示账号01","userId":"2281","state":"recovered","source":null,"reason":"",
                     "advice":null,"time":"2025-12-10T12:00:00+08:00"})j")},
        TMessageCase {"JsonFailureOfTheRun", TAlertFormat::Json, kHook, "", ClockRefused(), QString::fromLatin1(kHook),
            Json(R"j({"account":null,"userId":null,"state":"failed","source":"clock",
                     "reason":"失效订单同步失败: 本机时间与北京时间相差超过10分钟","advice":"校准本机时间",
                     "time":"2025-12-10T12:00:00+08:00"})j")},
        TMessageCase {"WeCom", TAlertFormat::WeCom, "https://qyapi.weixin.qq.com/cgi-bin/webhook/send?key=k", "",
            Unhealthy(), QStringLiteral("https://qyapi.weixin.qq.com/cgi-bin/webhook/send?key=k"),
            RobotText(kUnhealthyText)},
        TMessageCase {"DingTalkSigned", TAlertFormat::DingTalk, kDingTalkHook, "SECtest", Recovered(),
            QString::fromLatin1(kDingTalkHook) + QStringLiteral("&timestamp=1765339200000&sign=")
                + QString::fromLatin1(kDingTalkSign)
                      .replace(u'+', QStringLiteral("%2B"))
                      .replace(u'=', QStringLiteral("%3D")),
            RobotText(kRecoveredText)},
        TMessageCase {"DingTalkUnsigned", TAlertFormat::DingTalk, kDingTalkHook, "", ClockRefused(),
            QString::fromLatin1(kDingTalkHook), RobotText(kClockText)},
        TMessageCase {"DingTalkSignedWithoutQuery", TAlertFormat::DingTalk, kHook, "SECtest", Recovered(),
            QString::fromLatin1(kHook) + QStringLiteral("?timestamp=1765339200000&sign=")
                + QString::fromLatin1(kDingTalkSign)
                      .replace(u'+', QStringLiteral("%2B"))
                      .replace(u'=', QStringLiteral("%3D")),
            RobotText(kRecoveredText)},
        TMessageCase {"FeishuSigned", TAlertFormat::Feishu, "https://open.feishu.cn/open-apis/bot/v2/hook/x", "SECtest",
            Unhealthy(), QStringLiteral("https://open.feishu.cn/open-apis/bot/v2/hook/x"),
            FeishuText(kUnhealthyText, true)},
        TMessageCase {"FeishuUnsigned", TAlertFormat::Feishu, "https://open.feishu.cn/open-apis/bot/v2/hook/x", "",
            ClockRefused(), QStringLiteral("https://open.feishu.cn/open-apis/bot/v2/hook/x"),
            FeishuText(kClockText, false)}),
    [](const ::testing::TestParamInfo<TMessageCase>& AInfo) { return std::string(AInfo.param.name); });

struct TSignCase {
    const char* name;
    bool feishu;
    const char16_t* secret;
    qint64 timestamp;
    const char* sign;
};

class RobotSignatures : public ::testing::TestWithParam<TSignCase> { };

TEST_P(RobotSignatures, MatchOpenSsl)
{
    const TSignCase& c = GetParam();
    const QString secret = QString::fromUtf16(c.secret);
    EXPECT_EQ(c.feishu ? FeishuSign(secret, c.timestamp) : DingTalkSign(secret, c.timestamp), QByteArray(c.sign));
}

// printf '1765339200000\n密钥' | openssl dgst -sha256 -hmac '密钥' -binary | base64 (the secret as UTF-8)
INSTANTIATE_TEST_SUITE_P(Cases, RobotSignatures,
    ::testing::Values(TSignCase {"DingTalk", false, u"SECtest", 1765339200000, kDingTalkSign},
        TSignCase {"DingTalkUtf8Secret", false, u"密钥", 1765339200000, "pf+jXl3sFy1NysDOm+iTRho4C7X2v7MT4/Qcbfhl4oQ="},
        TSignCase {"Feishu", true, u"SECtest", 1765339200, kFeishuSign}),
    [](const ::testing::TestParamInfo<TSignCase>& AInfo) { return std::string(AInfo.param.name); });

struct TSettingsCase {
    const char* name;
    const char* webhook;
    const char* format;
    bool usable;
    TAlertFormat expected;
    const char16_t* problem; // a part of the error line; empty: none
};

class AlertSettings : public ::testing::TestWithParam<TSettingsCase> { };

TEST_P(AlertSettings, AreCheckedOnce)
{
    const TSettingsCase& c = GetParam();
    QString problem = QStringLiteral("left over");
    const std::optional<TAlertTarget> target = TAlertTarget::From(
        {QString::fromLatin1(c.webhook), QString::fromLatin1(c.format), QStringLiteral("s")}, problem);
    ASSERT_EQ(target.has_value(), c.usable) << problem.toStdString();
    EXPECT_EQ(problem.isEmpty(), QString::fromUtf16(c.problem).isEmpty()) << problem.toStdString();
    EXPECT_TRUE(problem.contains(QString::fromUtf16(c.problem))) << problem.toStdString();
    if (target) {
        EXPECT_EQ(target->format, c.expected);
        EXPECT_EQ(target->secret, QStringLiteral("s"));
    }
    // The line names what is wrong, never the address and its token.
    EXPECT_FALSE(problem.contains(QStringLiteral("token"))) << problem.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Cases, AlertSettings,
    ::testing::Values(TSettingsCase {"NoWebhook", "", "wecom", false, TAlertFormat::Json, u""},
        TSettingsCase {"DefaultJson", "http://127.0.0.1:8/h", "", true, TAlertFormat::Json, u""},
        TSettingsCase {"AnyCase", "https://oapi.dingtalk.com/robot/send?access_token=x", "DingTalk", true,
            TAlertFormat::DingTalk, u""},
        TSettingsCase {
            "WeCom", "https://qyapi.weixin.qq.com/cgi-bin/webhook/send?key=x", "wecom", true, TAlertFormat::WeCom, u""},
        TSettingsCase {
            "Feishu", "https://open.feishu.cn/open-apis/bot/v2/hook/x", "feishu", true, TAlertFormat::Feishu, u""},
        TSettingsCase {"UnknownFormat", "http://127.0.0.1:8/h", "slack", false, TAlertFormat::Json, u"format=slack"},
        TSettingsCase {"OtherScheme", "ftp://127.0.0.1/h?token=x", "json", false, TAlertFormat::Json,
            u"不是 http:// 或 https:// 地址"},
        TSettingsCase {
            "NoScheme", "127.0.0.1:8/h?token=x", "json", false, TAlertFormat::Json, u"不是 http:// 或 https:// 地址"},
        TSettingsCase {
            "NoHost", "http:///h?token=x", "json", false, TAlertFormat::Json, u"不是 http:// 或 https:// 地址"}),
    [](const ::testing::TestParamInfo<TSettingsCase>& AInfo) { return std::string(AInfo.param.name); });

TEST(AlertTarget, ShowsOnlyTheWebhooksHostInTheLog)
{
    const TAlertTarget target {QStringLiteral("https://user:pw@qyapi.weixin.qq.com:8443/cgi-bin/webhook/send?key=k#f"),
        TAlertFormat::WeCom, QString()};
    EXPECT_EQ(target.Host(), QStringLiteral("https://qyapi.weixin.qq.com:8443"));
}

struct TReplyCase {
    const char* name;
    TAlertFormat format;
    const char* reply;
    const char16_t* error;
};

class AlertReplies : public ::testing::TestWithParam<TReplyCase> { };

TEST_P(AlertReplies, TellARefusalFromATakenMessage)
{
    const TReplyCase& c = GetParam();
    EXPECT_EQ(AlertReplyError(c.format, QString::fromUtf8(c.reply)), QString::fromUtf16(c.error));
}

INSTANTIATE_TEST_SUITE_P(Cases, AlertReplies,
    ::testing::Values(TReplyCase {"JsonAnything", TAlertFormat::Json, R"({"errcode":1})", u""},
        TReplyCase {"WeComOk", TAlertFormat::WeCom, R"({"errcode":0,"errmsg":"ok"})", u""},
        TReplyCase {"WeComRefused", TAlertFormat::WeCom, R"({"errcode":93000,"errmsg":"invalid webhook url"})",
            u"errcode 93000: invalid webhook url"},
        TReplyCase {"DingTalkSign", TAlertFormat::DingTalk, R"({"errcode":310000,"errmsg":"sign not match"})",
            u"errcode 310000: sign not match"},
        TReplyCase {"FeishuOk", TAlertFormat::Feishu, R"({"code":0,"msg":"success","data":{}})", u""},
        TReplyCase {"FeishuSign", TAlertFormat::Feishu, R"({"code":19021,"msg":"sign match fail"})",
            u"code 19021: sign match fail"},
        TReplyCase {"NotJson", TAlertFormat::Feishu, "ok", u""}),
    [](const ::testing::TestParamInfo<TReplyCase>& AInfo) { return std::string(AInfo.param.name); });

// A WeCom text holds 2048 bytes: a long reason is cut, the time line stays whole.
TEST(AlertText, FitsARobotsTextMessage)
{
    THealthAlert alert = Unhealthy();
    alert.reason = QString(3000, QChar(0x5931)) + QStringLiteral("😀");
    const QString text = AlertText(alert);
    EXPECT_LE(text.toUtf8().size(), 2048);
    EXPECT_TRUE(text.endsWith(QStringLiteral("\n时间: ") + kTime)) << text.right(60).toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("…"))) << text.right(60).toStdString();
}

} // namespace
