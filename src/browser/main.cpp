// The sign-in browser: started by Quenlar as "browser.exe 2 <userId> <port>" in the program folder, it shows the
// sign-in page and sends the session of the account, once signed in, to 127.0.0.1:<port> as one cmd-1000 datagram.

#include "browser/signInConfig.h"
#include "browser/signInWindow.h"
#include "browser/webEngineSetup.h"

#include <QApplication>
#include <QDir>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The one piece of state the signal handler touches: it only writes a byte, the event loop does the rest.
int GSignalPipe[2] = {-1, -1};

void OnSignal(int)
{
    const unsigned char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(GSignalPipe[0], &byte, 1);
}

// Quenlar ends the browser once it has the result; end cleanly so the profile keeps the session.
class TEndSignals {
public:
    explicit TEndSignals(std::function<void()> AOnSignal)
    {
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, GSignalPipe) != 0)
            return;
        FNotifier = std::make_unique<QSocketNotifier>(GSignalPipe[1], QSocketNotifier::Read);
        QObject::connect(FNotifier.get(), &QSocketNotifier::activated, std::move(AOnSignal));
        struct sigaction action = {};
        action.sa_handler = &OnSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        for (const int signal : {SIGTERM, SIGINT, SIGHUP})
            ::sigaction(signal, &action, nullptr);
    }
    ~TEndSignals()
    {
        for (const int signal : {SIGTERM, SIGINT, SIGHUP})
            std::signal(signal, SIG_DFL);
        FNotifier.reset();
        for (int& fd : GSignalPipe) {
            if (fd >= 0)
                ::close(fd);
            fd = -1;
        }
    }
    TEndSignals(const TEndSignals&) = delete;
    TEndSignals& operator=(const TEndSignals&) = delete;

private:
    std::unique_ptr<QSocketNotifier> FNotifier;
};

} // namespace

int main(int argc, char* argv[])
{
    // The profile holds the account's session: the owner's only, also when started by hand.
    ::umask(S_IRWXG | S_IRWXO);
    PrepareWebEngine();
    QApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    bool portOk = false;
    const uint port = args.size() == 4 ? args[3].toUInt(&portOk) : 0;
    if (args.size() != 4 || args[1] != u"2" || args[2].trimmed().isEmpty() || !portOk || port == 0 || port > 65535) {
        std::fprintf(stderr, "usage: browser.exe 2 <userId> <port>\n");
        return 2;
    }
    const QString folder = QDir::currentPath();
    const QString userId = args[2].trimmed();
    TSignInWindow window(
        TSignInConfig::Read(folder), userId, static_cast<quint16>(port), ProfileFolder(folder, userId));
    // Ended from outside, it has nothing to report.
    const TEndSignals endSignals([&window] {
        window.EndQuietly();
        QCoreApplication::exit(0);
    });
    window.show();
    window.Start();
    return app.exec();
}
