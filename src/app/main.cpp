#include "app/appOptions.h"
#include "app/headless.h"
#include "foundation/qhttp.h"

#ifdef QUENLAR_WITH_WINDOW
#include "app/windowed.h"

#include <QApplication>
#endif
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

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

#ifndef QUENLAR_WITH_WINDOW
// The window is a program of its own beside this one, so that a headless run never loads the widget libraries
// (a third of its start-up and a quarter of its memory). It replaces this process: same pid, same arguments, its
// exit code the caller's. Returns only when it cannot start.
int RunWindowProgram(char* argv[])
{
    const QFileInfo self(QStringLiteral("/proc/self/exe"));
    const QString program = QFileInfo(self.symLinkTarget()).dir().filePath(QStringLiteral("quenlar-window"));
    const QByteArray path = QFile::encodeName(program);
    if (::access(path.constData(), X_OK) != 0) {
        Print(stderr, QStringLiteral("quenlar: no window here (%1 is missing); run it with --headless\n").arg(program));
        return 2;
    }
    ::execv(path.constData(), argv);
    Print(stderr,
        QStringLiteral("quenlar: cannot start %1: %2\n").arg(program, QString::fromLocal8Bit(std::strerror(errno))));
    return 2;
}
#endif

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
        return RunWindowProgram(argv);
#endif
    }
    QCoreApplication app(argc, argv);
    [[maybe_unused]] const THttpGlobal http;
    return RunHeadless(options);
}
