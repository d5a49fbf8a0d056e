#include "browser/webEngineSetup.h"

#include <QCoreApplication>
#include <QDir>
#include <QLoggingCategory>

#include <vector>

#include <unistd.h>

void PrepareWebEngine()
{
    QByteArray flags = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS");
    std::vector<const char*> wanted {"--disable-background-networking", "--disable-component-update", "--disable-sync",
        "--no-first-run", "--disable-domain-reliability", "--disable-breakpad"};
    // The engine's start-up report and the pages' console lines would land in the program's stderr, which under a
    // service is the journal: kept out unless asked for.
    const bool diagnostics = qEnvironmentVariableIsSet("QUENLAR_BROWSER_DIAGNOSTICS");
    if (!diagnostics) {
        wanted.push_back("--log-level=3");
        QLoggingCategory::setFilterRules(QStringLiteral("qt.webenginecontext.info=false\njs=false"));
    }
    for (const char* flag : wanted) {
        const QByteArray name = QByteArray(flag).split('=').front();
        if (!flags.contains(name))
            flags += (flags.isEmpty() ? "" : " ") + QByteArray(flag);
    }
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", flags);
    if (::geteuid() == 0 && !qEnvironmentVariableIsSet("QTWEBENGINE_DISABLE_SANDBOX"))
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
}

QString ProfileFolder(const QString& AProgramFolder, const QString& AUserId)
{
    // A user id is digits; anything else is spelled out in hex so it can never leave the folder.
    QString name;
    for (const QChar c : AUserId) {
        if (c.isLetterOrNumber() && c.unicode() < 128)
            name += c;
        else
            name += QStringLiteral("_%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
    }
    return QDir(AProgramFolder)
        .filePath(QStringLiteral("browser-profile/") + (name.isEmpty() ? QStringLiteral("_") : name));
}
