#include "standin/webhooks.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>

#include <openssl/evp.h>
#include <openssl/hmac.h>

namespace {

// The robots' refusals of a signature that does not hold.
constexpr int kDingTalkSignRefused = 310000;
constexpr int kFeishuSignRefused = 19021;

std::string Reply(const QJsonObject& AObject)
{
    return QJsonDocument(AObject).toJson(QJsonDocument::Compact).toStdString();
}

} // namespace

std::string HmacSha256Base64(const std::string& AKey, const std::string& AMessage)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(EVP_sha256(), AKey.data(), static_cast<int>(AKey.size()),
        reinterpret_cast<const unsigned char*>(AMessage.data()), AMessage.size(), digest, &length);
    unsigned char encoded[4 * ((EVP_MAX_MD_SIZE + 2) / 3) + 1];
    const int size = EVP_EncodeBlock(encoded, digest, static_cast<int>(length));
    return std::string(reinterpret_cast<const char*>(encoded), static_cast<size_t>(size));
}

void TWebhookReceiver::Register(TTestServer& AServer)
{
    AServer.Post(R"(/standin/webhook(/.*)?)",
        [this](const httplib::Request& ARequest, httplib::Response& AResponse) { Receive(ARequest, AResponse); });
}

void TWebhookReceiver::SetSecret(std::string ASecret)
{
    const std::scoped_lock lock(FMutex);
    FSecret = std::move(ASecret);
}

QJsonArray TWebhookReceiver::Received() const
{
    const std::scoped_lock lock(FMutex);
    return FReceived;
}

void TWebhookReceiver::Clear()
{
    const std::scoped_lock lock(FMutex);
    FReceived = QJsonArray();
}

void TWebhookReceiver::Receive(const httplib::Request& ARequest, httplib::Response& AResponse)
{
    const std::string secret = [this] {
        const std::scoped_lock lock(FMutex);
        return FSecret;
    }();
    const QJsonDocument parsed = QJsonDocument::fromJson(QByteArray::fromStdString(ARequest.body));
    const QJsonObject body = parsed.object();
    const bool dingTalk = ARequest.path == "/standin/webhook/dingtalk";
    const bool feishu = ARequest.path == "/standin/webhook/feishu";
    QJsonValue held = QJsonValue::Null;
    QJsonObject reply {{QStringLiteral("errcode"), 0}, {QStringLiteral("errmsg"), QStringLiteral("ok")}};
    if (dingTalk && !secret.empty()) {
        // DingTalk: timestamp (ms) and sign in the query, sign = HmacSHA256(secret, timestamp "\n" secret).
        const std::string timestamp = ARequest.get_param_value("timestamp");
        held = !timestamp.empty()
            && ARequest.get_param_value("sign") == HmacSha256Base64(secret, timestamp + "\n" + secret);
        if (!held.toBool())
            reply = {{QStringLiteral("errcode"), kDingTalkSignRefused},
                {QStringLiteral("errmsg"), QStringLiteral("sign not match")}};
    } else if (feishu) {
        // Feishu: timestamp (s) and sign in the body, sign = HmacSHA256(key timestamp "\n" secret, nothing).
        reply = {{QStringLiteral("code"), 0}, {QStringLiteral("msg"), QStringLiteral("success")}};
        if (!secret.empty()) {
            const std::string timestamp = body.value(u"timestamp").toString().toStdString();
            held = !timestamp.empty()
                && body.value(u"sign").toString().toStdString() == HmacSha256Base64(timestamp + "\n" + secret, "");
            if (!held.toBool())
                reply = {{QStringLiteral("code"), kFeishuSignRefused},
                    {QStringLiteral("msg"), QStringLiteral("sign match fail or timestamp is not within one hour")}};
        }
    }
    std::string query;
    for (const auto& [name, value] : ARequest.params)
        query += (query.empty() ? "" : "&") + name + "=" + value;
    QJsonObject message {{QStringLiteral("path"), QString::fromStdString(ARequest.path)},
        {QStringLiteral("query"), QString::fromStdString(query)},
        {QStringLiteral("contentType"), QString::fromStdString(ARequest.get_header_value("Content-Type"))},
        {QStringLiteral("body"),
            parsed.isObject() ? QJsonValue(body) : QJsonValue(QString::fromStdString(ARequest.body))},
        {QStringLiteral("signed"), held}, {QStringLiteral("time"), QDateTime::currentMSecsSinceEpoch()}};
    {
        const std::scoped_lock lock(FMutex);
        FReceived.append(message);
    }
    AResponse.status = 200;
    AResponse.set_content(Reply(reply), "application/json;charset=UTF-8");
}
