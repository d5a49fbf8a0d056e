#include "app/appOptions.h"
#include "app/headless.h"
#include "foundation/qhttp.h"

#ifdef QUENLAR_WITH_WINDOW
#include "app/windowed.h"

#include <QApplication>
#endif
#include <QCoreApplication>
#include <QStringList>

#include <cstdio>

#include <sys/stat.h>

namespace {

void Print(std::FILE* AStream, const QString& AText)
{
    const QByteArray bytes = AText.toUtf8();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), AStream);
}

QStringList Arguments(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

} // namespace

int main(int argc, char* argv[])
{
    // Everything the program and its sign-in browsers create (settings, order cache, log, profiles, status) can hold
    // secrets: readable by its owner only from the moment it exists.
    ::umask(S_IRWXG | S_IRWXO);
    const TAppOptions options = TAppOptions::Parse(Arguments(argc, argv));
    switch (options.action) {
    case TAppOptions::TAction::Help:
        Print(stdout, TAppOptions::Usage());
        return 0;
    case TAppOptions::TAction::Version:
        Print(stdout, TAppOptions::VersionText());
        return 0;
    case TAppOptions::TAction::Error:
        Print(stderr, QStringLiteral("quenlar: ") + options.error + u'\n' + TAppOptions::Usage());
        return 2;
    case TAppOptions::TAction::Run:
        break;
    }
    if (!options.headless) {
#ifdef QUENLAR_WITH_WINDOW
        QApplication app(argc, argv);
        [[maybe_unused]] const THttpGlobal http;
        return RunWindowed(options);
#else
        Print(stderr, QStringLiteral("quenlar: this build has no window; run it with --headless\n"));
        return 2;
#endif
    }
    QCoreApplication app(argc, argv);
    [[maybe_unused]] const THttpGlobal http;
    return RunHeadless(options);
}
