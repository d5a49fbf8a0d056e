#pragma once

#include "sync/accountHealth.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <optional>

struct TNotifySettings;

// How an alert is written: plain JSON for a receiver of one's own, or a group robot's text message.
enum class TAlertFormat { Json, WeCom, DingTalk, Feishu };

// Where alerts go, as section "notify" gives it once checked.
struct TAlertTarget {
    QString webhook;
    TAlertFormat format = TAlertFormat::Json;
    QString secret; // signs DingTalk and Feishu messages; empty: unsigned

    // The target the settings name; nullopt with the reason in AProblem when they are unusable, and with AProblem
    // empty when no webhook is set.
    static std::optional<TAlertTarget> From(const TNotifySettings& ASettings, QString& AProblem);
    // Scheme, host and port of the webhook: what a log line may show of it (its path and query may hold a token).
    QString Host() const;
};

// One alert as it goes out: a JSON POST to that address.
struct TAlertRequest {
    QString url;
    QByteArray body;
};

// The message. ANow is when it goes: the robots' signatures carry it and refuse one an hour old.
TAlertRequest BuildAlertRequest(const TAlertTarget& ATarget, const THealthAlert& AAlert, const QDateTime& ANow);
// The text a robot shows, within the 2048 bytes a WeCom text message may hold.
QString AlertText(const THealthAlert& AAlert);
// "unhealthy", "recovered" or "failed".
QString AlertStateName(THealthAlert::TState AState);

// Base64 of HMAC-SHA256: DingTalk keys it with the secret over "timestamp\nsecret" (milliseconds), Feishu keys it
// with "timestamp\nsecret" (seconds) over nothing.
QByteArray DingTalkSign(const QString& ASecret, qint64 ATimestampMs);
QByteArray FeishuSign(const QString& ASecret, qint64 ATimestampS);

// Empty when the receiver took the message (a 2xx reply whose robot code, if any, is 0); otherwise what it said.
QString AlertReplyError(TAlertFormat AFormat, const QString& AReply);
