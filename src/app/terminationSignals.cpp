#include "app/terminationSignals.h"

#include <csignal>

#include <sys/socket.h>
#include <unistd.h>

namespace {

// The one piece of state a signal handler may touch; the instance owns both ends.
int GSignalPipe[2] = {-1, -1};

void OnSignal(int ASignal)
{
    const auto byte = static_cast<unsigned char>(ASignal);
    [[maybe_unused]] const ssize_t written = ::write(GSignalPipe[0], &byte, 1);
}

void Handle(int ASignal, void (*AHandler)(int))
{
    struct sigaction action = {};
    action.sa_handler = AHandler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(ASignal, &action, nullptr);
}

} // namespace

TTerminationSignals::TTerminationSignals(std::function<void(int)> AOnSignal)
    : FOnSignal(std::move(AOnSignal))
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, GSignalPipe) != 0)
        return;
    FNotifier = std::make_unique<QSocketNotifier>(GSignalPipe[1], QSocketNotifier::Read);
    connect(FNotifier.get(), &QSocketNotifier::activated, this, &TTerminationSignals::Read);
    Handle(SIGINT, &OnSignal);
    Handle(SIGTERM, &OnSignal);
}

TTerminationSignals::~TTerminationSignals()
{
    Handle(SIGINT, SIG_DFL);
    Handle(SIGTERM, SIG_DFL);
    FNotifier.reset();
    for (int& fd : GSignalPipe) {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
}

void TTerminationSignals::Read()
{
    unsigned char byte = 0;
    if (::read(GSignalPipe[1], &byte, 1) == 1 && FOnSignal)
        FOnSignal(byte);
}
