// quenlar-standin: the outside services of Quenlar on 127.0.0.1, for trying the program without production.

#include "standin/standin.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFileInfo>
#include <QJsonDocument>

#include <climits>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <optional>

#include <pthread.h>

namespace {

struct TPortOption {
    TStandInHost host;
    const char* name;
    const char* label;
};

const TPortOption kPortOptions[] = {
    {TStandInHost::Operator, "operator-port", "operator service"},
    {TStandInHost::Intake, "intake-port", "operator order intake"},
    {TStandInHost::Top, "top-port", "TOP gateway"},
    {TStandInHost::Publisher, "publisher-port", "Alimama publisher (HTTPS)"},
    {TStandInHost::Media, "media-port", "Alimama media (HTTPS)"},
    {TStandInHost::SignIn, "signin-port", "sign-in endpoint"},
};

[[noreturn]] void Fail(const QString& AMessage)
{
    std::cerr << "quenlar-standin: " << AMessage.toStdString() << "\n";
    std::exit(2);
}

long long Integer(const QCommandLineParser& AParser, const QString& AName, long long AMin, long long AMax)
{
    bool ok = false;
    const long long value = AParser.value(AName).toLongLong(&ok);
    if (!ok || value < AMin || value > AMax)
        Fail(QStringLiteral("--%1 wants a whole number from %2 to %3").arg(AName).arg(AMin).arg(AMax));
    return value;
}

double Share(const QCommandLineParser& AParser, const QString& AName)
{
    bool ok = false;
    const double value = AParser.value(AName).toDouble(&ok);
    if (!ok || value < 0 || value > 1)
        Fail(QStringLiteral("--%1 wants a share from 0 to 1").arg(AName));
    return value;
}

TStandInOptions ParseOptions(QCoreApplication& AApp, bool& APrintConfig)
{
    const TStandInOptions defaults;
    QCommandLineParser parser;
    const auto addValue = [&parser](const QString& AName, const QString& ADescription, const QString& AValueName,
                              const QString& ADefault) {
        parser.addOption({AName, ADescription + QStringLiteral(" Default: %1.").arg(ADefault), AValueName, ADefault});
    };
    parser.setApplicationDescription(QStringLiteral(
        "Stand-in operator back end, TOP gateway, Alimama hosts and sign-in endpoint on 127.0.0.1 for Quenlar."));
    parser.addHelpOption();
    for (const TPortOption& port : kPortOptions) {
        addValue(QString::fromLatin1(port.name),
            QStringLiteral("Port of the %1 (0: a free one).").arg(QString::fromLatin1(port.label)),
            QStringLiteral("port"), QString::number(defaults.ports[static_cast<size_t>(port.host)]));
    }
    addValue(QStringLiteral("control-port"),
        QStringLiteral("Port of the control host (status, switches, 0: a free one)."), QStringLiteral("port"),
        QString::number(defaults.controlPort));
    addValue(QStringLiteral("accounts"), QStringLiteral("Number of demo affiliate accounts."), QStringLiteral("n"),
        QString::number(defaults.accounts));
    addValue(QStringLiteral("seed"), QStringLiteral("Seed of the demo accounts, orders and refunds."),
        QStringLiteral("n"), QString::number(defaults.seed));
    addValue(QStringLiteral("orders-per-hour"), QStringLiteral("Mean orders per account and hour."),
        QStringLiteral("n"), QString::number(defaults.ordersPerHour));
    addValue(QStringLiteral("refunds-per-day"), QStringLiteral("Mean refunds per account and day."),
        QStringLiteral("n"), QString::number(defaults.refundsPerDay));
    addValue(QStringLiteral("phone"), QStringLiteral("Demo operator phone."), QStringLiteral("text"),
        QString::fromStdString(defaults.phone));
    addValue(QStringLiteral("password"), QStringLiteral("Demo client password."), QStringLiteral("text"),
        QString::fromStdString(defaults.password));
    addValue(QStringLiteral("cert"), QStringLiteral("Where to write the HTTPS hosts' certificate (PEM)."),
        QStringLiteral("path"), QStringLiteral("standin-ca.pem"));
    addValue(QStringLiteral("latency-ms"), QStringLiteral("Delay added to every service reply."), QStringLiteral("ms"),
        QStringLiteral("0"));
    addValue(QStringLiteral("rtt-ms"),
        QStringLiteral("The network's round trip: one for every new connection to a service, one for every exchange."),
        QStringLiteral("ms"), QStringLiteral("0"));
    parser.addOption({QStringLiteral("close-after-reply"),
        QStringLiteral("Every service reply says Connection: close, so no connection carries a second request.")});
    addValue(QStringLiteral("error-share"), QStringLiteral("Share of service requests answered 500."),
        QStringLiteral("0..1"), QStringLiteral("0"));
    addValue(QStringLiteral("drop-share"), QStringLiteral("Share of service connections dropped unanswered."),
        QStringLiteral("0..1"), QStringLiteral("0"));
    addValue(QStringLiteral("non-json-share"), QStringLiteral("Share of service replies that are an HTML page."),
        QStringLiteral("0..1"), QStringLiteral("0"));
    parser.addOption({QStringLiteral("silent"), QStringLiteral("Accept service requests and never answer them.")});
    addValue(QStringLiteral("fault-hosts"),
        QStringLiteral("Hosts the faults apply to: operator,intake,top,publisher,media,signin or all."),
        QStringLiteral("list"), QStringLiteral("operator,intake,top,publisher,media"));
    addValue(QStringLiteral("top-call-limit"),
        QStringLiteral("TOP calls allowed per second before the call-limit error (0: no limit)."), QStringLiteral("n"),
        QStringLiteral("0"));
    addValue(QStringLiteral("top-refuse-accounts"),
        QStringLiteral("User ids (comma-separated, or all) whose downloads TOP refuses as a revoked session (27)."),
        QStringLiteral("list"), QString());
    addValue(QStringLiteral("top-ban-after"), QStringLiteral("TOP requests before a ban of --top-ban-seconds."),
        QStringLiteral("n"), QStringLiteral("0"));
    addValue(QStringLiteral("top-ban-seconds"), QStringLiteral("Length of that ban in seconds (0: no ban)."),
        QStringLiteral("n"), QStringLiteral("0"));
    addValue(QStringLiteral("top-daily-quota"),
        QStringLiteral("TOP requests allowed per day (00:00 to 00:00 in UTC+8) before the quota error (0: none)."),
        QStringLiteral("n"), QStringLiteral("0"));
    addValue(QStringLiteral("top-refund-refused"),
        QStringLiteral("Accounts (user ids, comma-separated, or all) refused the TOP refund method as not granted."),
        QStringLiteral("list"), QStringLiteral("none"));
    addValue(QStringLiteral("top-refund-biz-error"),
        QStringLiteral("The TOP refund method answers with this business error (101, 102 or 103) instead of a page: "
                       "CODE for every account, CODE:LIST for some user ids (0: off)."),
        QStringLiteral("code[:list]"), QStringLiteral("0"));
    parser.addOption({QStringLiteral("top-order-error"),
        QStringLiteral("The TOP order method answers these accounts with this error instead of a page: CODE=LIST "
                       "(user ids, comma-separated, or all); CODE is 27 (revoked session), 11 (permission), 2007 "
                       "(window too long), 3001 (busy), 3000 or 9100 (account rate limits). Repeatable."),
        QStringLiteral("code=list")});
    addValue(QStringLiteral("top-clock-skew-s"),
        QStringLiteral("Seconds the TOP gateway's clock runs ahead of the real one (negative: behind); it refuses "
                       "timestamps more than 600 s off its clock."),
        QStringLiteral("s"), QStringLiteral("0"));
    addValue(QStringLiteral("session-ttl"), QStringLiteral("Seconds an Alimama web session lives (0: until ended)."),
        QStringLiteral("s"), QStringLiteral("0"));
    parser.addOption({QStringLiteral("probe-limited"), QStringLiteral("The session probe answers \"访问受限了\".")});
    addValue(QStringLiteral("report-bad-amount"),
        QStringLiteral("Accounts (user ids, comma-separated, or all) whose refund report holds one successful refund "
                       "with an unreadable amount."),
        QStringLiteral("list"), QStringLiteral("none"));
    addValue(QStringLiteral("list-item-fault"),
        QStringLiteral("The account list's first item has unreadable times (times) or no userId (userid)."),
        QStringLiteral("kind"), QStringLiteral("none"));
    parser.addOption({QStringLiteral("print-config"), QStringLiteral("Print the conf.ini [hosts] section and exit.")});
    parser.process(AApp);
    if (!parser.positionalArguments().isEmpty())
        Fail(QStringLiteral("unexpected argument %1").arg(parser.positionalArguments().first()));

    TStandInOptions options;
    for (const TPortOption& port : kPortOptions)
        options.ports[static_cast<size_t>(port.host)]
            = static_cast<int>(Integer(parser, QString::fromLatin1(port.name), 0, 65535));
    options.controlPort = static_cast<int>(Integer(parser, QStringLiteral("control-port"), 0, 65535));
    options.accounts = static_cast<int>(Integer(parser, QStringLiteral("accounts"), 0, 100000));
    options.seed = static_cast<std::uint64_t>(Integer(parser, QStringLiteral("seed"), 0, LLONG_MAX));
    options.ordersPerHour = static_cast<int>(Integer(parser, QStringLiteral("orders-per-hour"), 0, 10000));
    options.refundsPerDay = static_cast<int>(Integer(parser, QStringLiteral("refunds-per-day"), 0, 10000));
    options.phone = parser.value(QStringLiteral("phone")).toStdString();
    options.password = parser.value(QStringLiteral("password")).toStdString();
    options.certFile = parser.value(QStringLiteral("cert"));
    options.faults.latencyMs = static_cast<int>(Integer(parser, QStringLiteral("latency-ms"), 0, 600000));
    options.faults.rttMs = static_cast<int>(Integer(parser, QStringLiteral("rtt-ms"), 0, 600000));
    options.faults.closeAfterReply = parser.isSet(QStringLiteral("close-after-reply"));
    options.faults.errorShare = Share(parser, QStringLiteral("error-share"));
    options.faults.dropShare = Share(parser, QStringLiteral("drop-share"));
    options.faults.nonJsonShare = Share(parser, QStringLiteral("non-json-share"));
    options.faults.silent = parser.isSet(QStringLiteral("silent"));
    if (!TFaultSettings::ParseHosts(parser.value(QStringLiteral("fault-hosts")).toStdString(), options.faults.hosts))
        Fail(QStringLiteral("--fault-hosts: unknown host name"));
    options.topCallLimit = static_cast<int>(Integer(parser, QStringLiteral("top-call-limit"), 0, 1000000));
    for (const QString& id : parser.value(QStringLiteral("top-refuse-accounts")).split(u',', Qt::SkipEmptyParts))
        options.topRefusedAccounts.insert(id.trimmed().toStdString());
    options.topBanAfter = static_cast<int>(Integer(parser, QStringLiteral("top-ban-after"), 0, INT_MAX));
    options.topBanSeconds = static_cast<int>(Integer(parser, QStringLiteral("top-ban-seconds"), 0, 86400));
    options.topDailyQuota = static_cast<int>(Integer(parser, QStringLiteral("top-daily-quota"), 0, INT_MAX));
    options.sessionTtl = static_cast<int>(Integer(parser, QStringLiteral("session-ttl"), 0, INT_MAX));
    options.probeLimited = parser.isSet(QStringLiteral("probe-limited"));
    if (const QString refused = parser.value(QStringLiteral("top-refund-refused")); refused != u"none")
        options.topRefundRefused = refused.toStdString();
    if (const QString bad = parser.value(QStringLiteral("report-bad-amount")); bad != u"none")
        options.reportBadAmount = bad.toStdString();
    if (const QString item = parser.value(QStringLiteral("list-item-fault")); item != u"none") {
        options.listItemFault = item.toStdString();
        if (!TOperatorBackend::ParseListItemFault(options.listItemFault))
            Fail(QStringLiteral("--list-item-fault wants times or userid"));
    }
    if (!TTopGateway::ParseRefundBizErrorSwitch(parser.value(QStringLiteral("top-refund-biz-error")).toStdString(),
            options.topRefundBizError, options.topRefundBizErrorAccounts))
        Fail(QStringLiteral("--top-refund-biz-error wants 101, 102 or 103, alone or as CODE:LIST, or 0"));
    for (const QString& value : parser.values(QStringLiteral("top-order-error"))) {
        TTopOrderError error = TTopOrderError::InvalidSession;
        std::set<std::string> ids;
        if (!TTopGateway::ParseOrderErrorSwitch(value.toStdString(), error, ids))
            Fail(QStringLiteral("--top-order-error wants CODE=LIST with CODE 27, 11, 2007, 3001, 3000 or 9100"));
        options.topOrderErrors[error] = std::move(ids);
    }
    options.topClockSkewS = Integer(parser, QStringLiteral("top-clock-skew-s"), -30LL * 86400, 30LL * 86400);
    APrintConfig = parser.isSet(QStringLiteral("print-config"));
    return options;
}

void PrintBanner(const TStandIn& AStandIn)
{
    std::cout << "quenlar-standin: serving on 127.0.0.1\n";
    for (const TPortOption& port : kPortOptions) {
        const bool https = port.host == TStandInHost::Publisher || port.host == TStandInHost::Media;
        std::printf("  %-28s %s://127.0.0.1:%d\n", port.label, https ? "https" : "http", AStandIn.Port(port.host));
    }
    std::printf("  %-28s http://127.0.0.1:%d/standin/\n", "control (status, received)", AStandIn.ControlPort());
    std::printf("  %-28s %s\n", "alerts ([notify] webhook)", AStandIn.WebhookUrl().toLocal8Bit().constData());
    std::printf("  %-28s %s\n", "certificate (caFile)", AStandIn.CertFile().toLocal8Bit().constData());
    const QJsonObject config = AStandIn.Config();
    std::cout << "demo operator phone: " << config[QStringLiteral("phone")].toString().toStdString() << "\n"
              << "demo client password: " << config[QStringLiteral("password")].toString().toStdString() << "\n"
              << "demo accounts: " << config[QStringLiteral("accounts")].toInt() << "\n"
              << "conf.ini section for Quenlar and the sign-in browser:\n"
              << AStandIn.HostsSection().toStdString()
              // One machine-readable line, last, once every server listens.
              << "READY " << QJsonDocument(config).toJson(QJsonDocument::Compact).toStdString() << std::endl;
}

} // namespace

int main(int argc, char* argv[])
{
    // Blocked before any thread exists, so every server thread inherits the mask and only sigwait sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("quenlar-standin"));
    bool printConfig = false;
    TStandInOptions options = ParseOptions(app, printConfig);
    if (printConfig) {
        std::cout << QStringLiteral(
            "[hosts]\noperatorService=127.0.0.1:%1\noperatorIntake=127.0.0.1:%2\n"
            "topGateway=127.0.0.1:%3\nalimamaPublisher=127.0.0.1:%4\nalimamaMedia=127.0.0.1:%5\n"
            "signIn=127.0.0.1:%6\nsignInPage=http://127.0.0.1:%6/signin\ncaFile=%7\n")
                         .arg(options.ports[0])
                         .arg(options.ports[1])
                         .arg(options.ports[2])
                         .arg(options.ports[3])
                         .arg(options.ports[4])
                         .arg(options.ports[5])
                         .arg(QFileInfo(options.certFile).absoluteFilePath())
                         .toStdString();
        return 0;
    }

    TStandIn standIn(std::move(options));
    try {
        standIn.Start();
    } catch (const std::exception& e) {
        std::cerr << "quenlar-standin: " << e.what() << "\n";
        return 2;
    }
    PrintBanner(standIn);
    int signal = 0;
    sigwait(&stopSignals, &signal);
    std::cout << "quenlar-standin: stopping" << std::endl;
    return 0;
}
