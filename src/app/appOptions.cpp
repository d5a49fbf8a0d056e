#include "app/appOptions.h"

#include "foundation/textutil.h"

namespace {

// Where a service's phone comes from, for the messages that find none.
const QString kPhoneHint = QStringLiteral(
    "under the service, set QUENLAR_PHONE in /etc/quenlar/quenlar.env (then systemctl restart quenlar)");

bool TakeValue(const QStringList& AArgs, qsizetype& AIndex, const QString& AName, QString& AValue, QString& AError)
{
    const QString& arg = AArgs.at(AIndex);
    const QString prefix = AName + u'=';
    if (arg.startsWith(prefix)) {
        AValue = arg.mid(prefix.size());
        return true;
    }
    if (AIndex + 1 >= AArgs.size()) {
        AError = QStringLiteral("option %1 needs a value").arg(AName);
        return false;
    }
    AValue = AArgs.at(++AIndex);
    return true;
}

// A pass interval in seconds: a decimal, not below the bound, so a slip cannot spin the passes back to back.
bool TakeInterval(const QString& AName, const QString& AValue, double& AInterval, QString& AError)
{
    bool ok = false;
    const double seconds = AValue.toDouble(&ok);
    if (!ok || !(seconds >= TAppOptions::kMinIntervalS) || seconds > 7 * 24 * 3600.0) {
        AError = QStringLiteral("%1 needs a number of seconds from %2 to 604800")
                     .arg(AName)
                     .arg(TAppOptions::kMinIntervalS);
        return false;
    }
    AInterval = seconds;
    return true;
}

bool Named(const QString& AArg, const QString& AName)
{
    return AArg == AName || AArg.startsWith(AName + u'=');
}

} // namespace

TAppOptions TAppOptions::Parse(const QStringList& AArguments)
{
    TAppOptions options;
    const auto fail = [&options](const QString& AError) {
        options.action = TAction::Error;
        options.error = AError;
        return options;
    };
    for (qsizetype i = 1; i < AArguments.size(); ++i) {
        const QString& arg = AArguments.at(i);
        QString value;
        if (arg == u"--help" || arg == u"-h") {
            options.action = TAction::Help;
            return options;
        }
        if (arg == u"--version" || arg == u"-v") {
            options.action = TAction::Version;
            return options;
        }
        if (arg == u"--headless") {
            options.headless = true;
        } else if (arg == u"--once") {
            options.once = true;
        } else if (arg == u"--alimama-login") {
            options.alimamaLogin = true;
        } else if (Named(arg, QStringLiteral("--phone"))) {
            if (!TakeValue(AArguments, i, QStringLiteral("--phone"), value, options.error))
                return fail(options.error);
            options.phone = Trim(value);
            // The service passes an empty QUENLAR_PHONE as nothing: the next option would be taken for the phone.
            if (options.phone.startsWith(u'-'))
                return fail(QStringLiteral("--phone needs the operator's phone, not the option %1; %2")
                                .arg(options.phone, kPhoneHint));
        } else if (Named(arg, QStringLiteral("--status-file"))) {
            if (!TakeValue(AArguments, i, QStringLiteral("--status-file"), value, options.error))
                return fail(options.error);
            if (value.isEmpty())
                return fail(QStringLiteral("--status-file needs a path"));
            options.statusFile = value;
        } else if (Named(arg, QStringLiteral("--data-dir"))) {
            if (!TakeValue(AArguments, i, QStringLiteral("--data-dir"), value, options.error))
                return fail(options.error);
            if (value.isEmpty())
                return fail(QStringLiteral("--data-dir needs a folder"));
            options.dataDir = value;
        } else if (Named(arg, QStringLiteral("--sync-interval")) || Named(arg, QStringLiteral("--refund-interval"))) {
            const QString name = arg.section(u'=', 0, 0);
            double& interval = name == u"--sync-interval" ? options.syncIntervalS : options.refundIntervalS;
            if (!TakeValue(AArguments, i, name, value, options.error)
                || !TakeInterval(name, value, interval, options.error))
                return fail(options.error);
        } else if (Named(arg, QStringLiteral("--alimama-login-timeout"))) {
            if (!TakeValue(AArguments, i, QStringLiteral("--alimama-login-timeout"), value, options.error))
                return fail(options.error);
            bool ok = false;
            options.alimamaLoginTimeoutS = value.toInt(&ok);
            if (!ok || options.alimamaLoginTimeoutS <= 0)
                return fail(QStringLiteral("--alimama-login-timeout needs a positive number of seconds"));
        } else {
            return fail(QStringLiteral("unknown option: %1").arg(arg));
        }
    }
    if (!options.headless
        && (options.once || options.alimamaLogin || !options.phone.isEmpty() || !options.statusFile.isEmpty()
            || options.syncIntervalS > 0 || options.refundIntervalS > 0))
        return fail(
            QStringLiteral("--phone, --once, --alimama-login, --status-file and the intervals belong to --headless"));
    if (options.headless && options.phone.isEmpty())
        return fail(QStringLiteral("--headless needs --phone; ") + kPhoneHint);
    return options;
}

QString TAppOptions::Usage()
{
    return QStringLiteral(
        "Usage: quenlar [--data-dir DIR]\n"
        "               [--headless --phone PHONE [--once] [--alimama-login [--alimama-login-timeout SECONDS]]\n"
        "                [--status-file PATH] [--sync-interval SECONDS] [--refund-interval SECONDS]]\n"
        "\n"
        "Without --headless Quenlar opens its window: the program quenlar-window beside it.\n"
        "\n"
        "  --headless                   run without a window; every log line is printed on stdout\n"
        "  --phone PHONE                operator account to sign in with; the client password is read from\n"
        "                               the environment variable QUENLAR_PASSWORD\n"
        "  --once                       one invalid-order pass and one refund pass, then exit\n"
        "                               (default: keep synchronising until SIGINT or SIGTERM)\n"
        "  --alimama-login              start the sign-in browser for every account first and wait for each\n"
        "  --alimama-login-timeout S    how long to wait for the sign-ins (default 60 seconds)\n"
        "  --status-file PATH           after every pass and every change of an account's health, write the\n"
        "                               health of the process and of every account there as JSON (atomically);\n"
        "                               the health itself is kept across runs in health.json in the data folder\n"
        "  --sync-interval SECONDS      time between invalid-order passes (default 300, at least 0.1)\n"
        "  --refund-interval SECONDS    time between refund passes (default 18000, at least 0.1)\n"
        "  --data-dir DIR               the data folder: conf.ini, db.db, the log, browser-profile/; also the\n"
        "                               environment variable QUENLAR_DATA_DIR. Default: the executable's folder\n"
        "                               when it is writable and not an installed one, else\n"
        "                               $XDG_DATA_HOME/quenlar (~/.local/share/quenlar). One copy of Quenlar\n"
        "                               runs per data folder\n"
        "  --help                       this text\n"
        "  --version                    the version\n"
        "\n"
        "conf.ini in the data folder holds the settings and the addresses of the outside services.\n"
        "\n"
        "Exit codes of --headless --once (one line on stderr names each failure):\n"
        "  0  every pass complete and every batch accepted\n"
        "  1  the sign-in was refused or the operator back end unreachable\n"
        "  2  a bad command line, a data folder that cannot be made or written, or no quenlar-window\n"
        "     beside quenlar when the window is asked for\n"
        "  3  the account list was unreadable or empty\n"
        "  4  some account's pass did not complete (a TOP error after retries, a refused or failed batch, an\n"
        "     unusable order cache or an accepted batch it could not record, an unreadable refund report or\n"
        "     record, a sign-in browser that did not report or could not start, a clock more than 10 minutes\n"
        "     off Beijing time, a pass a stop cut short), or the run met another failure (an item of the\n"
        "     account list left out, a status file that cannot be written)\n"
        "  5  another copy of Quenlar runs on the same data folder (also without --once); it names that process\n"
        "  6  SIGINT or SIGTERM ended the run before its passes completed\n");
}

QString TAppOptions::VersionText()
{
    return QStringLiteral("Quenlar " QUENLAR_VERSION "\n");
}
