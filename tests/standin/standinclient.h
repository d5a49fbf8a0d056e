#pragma once

#include "standin/signatures.h"
#include "standin/standin.h"

#include <QDateTime>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTimeZone>

#include <cctype>
#include <memory>
#include <optional>
#include <string>

// A stand-in on free ports with a fixed demo clock, and plain requests to it, signed (or not) by the test.
class TStandInFixture {
public:
    // The demo world's "now": every window the tests ask for lies well before it, so no order changes meanwhile.
    static qint64 DemoNow() { return BeijingClock(QDate(2026, 11, 20), QTime(12, 0)); }

    // Beijing time worked out apart from the stand-in's own conversions, so that a fault in those shows.
    static QTimeZone Beijing() { return QTimeZone(8 * 3600); }
    static qint64 BeijingClock(const QDate& ADate, const QTime& ATime = QTime(0, 0))
    {
        return QDateTime(ADate, ATime, Beijing()).toSecsSinceEpoch();
    }
    static std::string BeijingClockText(qint64 AUnix, const QString& AFormat = QStringLiteral("yyyy-MM-dd HH:mm:ss"))
    {
        return QDateTime::fromSecsSinceEpoch(AUnix, Beijing()).toString(AFormat).toStdString();
    }
    static QDate BeijingDate(qint64 AUnix) { return QDateTime::fromSecsSinceEpoch(AUnix, Beijing()).date(); }
    // A "yyyy-MM-dd HH:mm:ss" read as Beijing time; nothing for any other text.
    static std::optional<qint64> ReadBeijingClock(const QString& AText)
    {
        QDateTime value = QDateTime::fromString(AText, u"yyyy-MM-dd HH:mm:ss");
        if (!value.isValid())
            return std::nullopt;
        value.setTimeZone(Beijing());
        return value.toSecsSinceEpoch();
    }

    static TStandInOptions FreePorts(std::uint64_t ASeed = 7, int AAccounts = 2)
    {
        TStandInOptions options;
        options.ports.fill(0);
        options.controlPort = 0;
        options.seed = ASeed;
        options.accounts = AAccounts;
        options.record = true;
        options.clock = [] { return DemoNow(); };
        return options;
    }

    static std::string FormEncode(const TFormFields& AFields)
    {
        static const char* hex = "0123456789ABCDEF";
        std::string body;
        for (const auto& [name, value] : AFields) {
            if (!body.empty())
                body += '&';
            for (const std::string* part : {&name, &value}) {
                for (const unsigned char c : *part) {
                    if (std::isalnum(c) || c == '-' || c == '.' || c == '_' || c == '*')
                        body += static_cast<char>(c);
                    else if (c == ' ')
                        body += '+';
                    else
                        body += {'%', hex[c >> 4], hex[c & 15]};
                }
                if (part == &name)
                    body += '=';
            }
        }
        return body;
    }

    // Adds "timestamp" and a correct "sign" the way the operator back end expects them.
    static TFormFields OperatorSigned(TFormFields AFields)
    {
        AFields.emplace_back("timestamp", std::to_string(QDateTime::currentSecsSinceEpoch()));
        AFields.emplace_back("sign", OperatorSign(AFields, kOperatorSecret));
        return AFields;
    }

    static QJsonObject Json(const httplib::Result& AResult)
    {
        return AResult ? QJsonDocument::fromJson(QByteArray::fromStdString(AResult->body)).object() : QJsonObject();
    }

    static httplib::Result PostForm(int APort, const std::string& APath, const TFormFields& AFields)
    {
        httplib::Client client("127.0.0.1", APort);
        client.set_read_timeout(std::chrono::seconds(20));
        return client.Post(APath.c_str(), FormEncode(AFields), "application/x-www-form-urlencoded");
    }

    static std::unique_ptr<httplib::SSLClient> Https(const TStandIn& AStandIn, TStandInHost AHost)
    {
        auto client = std::make_unique<httplib::SSLClient>("127.0.0.1", AStandIn.Port(AHost));
        client->set_ca_cert_path(AStandIn.CertFile().toStdString().c_str());
        client->enable_server_certificate_verification(true);
        client->set_read_timeout(std::chrono::seconds(20));
        return client;
    }
};
