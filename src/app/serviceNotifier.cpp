#include "app/serviceNotifier.h"

#ifdef QUENLAR_WITH_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdint>

TServiceNotifier::TServiceNotifier()
{
#ifdef QUENLAR_WITH_SYSTEMD
    // WATCHDOG_USEC (and WATCHDOG_PID, when set, naming this process) ask for pings; twice per interval leaves a
    // late one room before the manager gives up on us.
    std::uint64_t intervalUs = 0;
    if (::sd_watchdog_enabled(0, &intervalUs) <= 0 || intervalUs == 0)
        return;
    FWatchdog.setTimerType(Qt::PreciseTimer);
    FWatchdog.setInterval(std::chrono::milliseconds(std::max<std::uint64_t>(1, intervalUs / 2000)));
    connect(&FWatchdog, &QTimer::timeout, this, [this] { Send("WATCHDOG=1"); });
    FWatchdog.start();
    Send("WATCHDOG=1");
#endif
}

void TServiceNotifier::Ready()
{
    Send("READY=1");
}

void TServiceNotifier::Stopping()
{
    if (FStopping)
        return;
    FStopping = true;
    FWatchdog.stop();
    Send("STOPPING=1");
}

void TServiceNotifier::Send([[maybe_unused]] const char* AState)
{
#ifdef QUENLAR_WITH_SYSTEMD
    // Without NOTIFY_SOCKET this returns at once; a manager that went away is no reason to stop synchronising.
    ::sd_notify(0, AState);
#endif
}
