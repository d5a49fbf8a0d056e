#include "standin/faults.h"

#include <QJsonArray>
#include <QString>

#include <chrono>
#include <sstream>

namespace {

const char* const kHostNames[kStandInHostCount] = {"operator", "intake", "top", "publisher", "media", "signin"};

} // namespace

const char* HostName(TStandInHost AHost)
{
    return kHostNames[static_cast<int>(AHost)];
}

unsigned TFaultSettings::DefaultHosts()
{
    return ((1u << kStandInHostCount) - 1) & ~(1u << static_cast<unsigned>(TStandInHost::SignIn));
}

bool TFaultSettings::ParseHosts(const std::string& AList, unsigned& AHosts)
{
    unsigned hosts = 0;
    std::stringstream list(AList);
    std::string name;
    while (std::getline(list, name, ',')) {
        if (name.empty())
            continue;
        if (name == "all") {
            hosts = (1u << kStandInHostCount) - 1;
            continue;
        }
        bool known = false;
        for (int i = 0; i < kStandInHostCount; ++i) {
            if (name == kHostNames[i]) {
                hosts |= 1u << i;
                known = true;
            }
        }
        if (!known)
            return false;
    }
    AHosts = hosts;
    return true;
}

QJsonObject TFaultSettings::ToJson() const
{
    QJsonArray names;
    for (int i = 0; i < kStandInHostCount; ++i) {
        if (Covers(static_cast<TStandInHost>(i)))
            names.append(QString::fromLatin1(kHostNames[i]));
    }
    return QJsonObject {{QStringLiteral("latencyMs"), latencyMs}, {QStringLiteral("rttMs"), rttMs},
        {QStringLiteral("lostReplies"), lostReplies}, {QStringLiteral("keptDrops"), keptDrops},
        {QStringLiteral("closeAfterReply"), closeAfterReply}, {QStringLiteral("errorShare"), errorShare},
        {QStringLiteral("dropShare"), dropShare}, {QStringLiteral("nonJsonShare"), nonJsonShare},
        {QStringLiteral("silent"), silent}, {QStringLiteral("redirectStatus"), redirectStatus},
        {QStringLiteral("redirectTo"), QString::fromStdString(redirectTo)}, {QStringLiteral("hosts"), names}};
}

TFaultInjector::TFaultInjector(std::uint64_t ASeed)
    : FRandom(ASeed ^ 0xFA017ULL)
{
}

void TFaultInjector::Set(const TFaultSettings& ASettings)
{
    {
        const std::scoped_lock lock(FMutex);
        FSettings = ASettings;
    }
    FChanged.notify_all();
}

TFaultSettings TFaultInjector::Get() const
{
    const std::scoped_lock lock(FMutex);
    return FSettings;
}

void TFaultInjector::Shutdown()
{
    {
        const std::scoped_lock lock(FMutex);
        FShutdown = true;
    }
    FChanged.notify_all();
}

TFaultInjector::TFault TFaultInjector::Draw(const TFaultSettings& ASettings)
{
    std::uniform_real_distribution<double> share(0.0, 1.0);
    double draw = share(FRandom);
    if (draw < ASettings.errorShare)
        return TFault::Error;
    draw -= ASettings.errorShare;
    if (draw < ASettings.dropShare)
        return TFault::Drop;
    draw -= ASettings.dropShare;
    if (draw < ASettings.nonJsonShare)
        return TFault::NonJson;
    return TFault::None;
}

bool TFaultInjector::Intercept(TStandInHost AHost, httplib::Response& ARes)
{
    TFault fault = TFault::None;
    {
        std::unique_lock lock(FMutex);
        ++FRequests[static_cast<size_t>(AHost)];
        if (!FSettings.Covers(AHost))
            return false;
        if (FSettings.closeAfterReply) {
            ++FClosed;
            ARes.set_header("Connection", "close");
        }
        if (FSettings.silent) {
            ++FHeld;
            FChanged.wait(lock, [&] { return FShutdown || !FSettings.silent; });
        }
        if (FSettings.latencyMs > 0 && !FShutdown) {
            ++FDelayed;
            const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(FSettings.latencyMs);
            FChanged.wait_until(lock, until, [&] { return FShutdown; });
        }
        if (FShutdown) {
            ARes.status = 503;
            return true;
        }
        if (FSettings.redirectStatus != 0) {
            ++FRedirected;
            ARes.set_redirect(FSettings.redirectTo, FSettings.redirectStatus);
            return true;
        }
        fault = Draw(FSettings);
        FErrors += fault == TFault::Error;
        FDrops += fault == TFault::Drop;
        FNonJson += fault == TFault::NonJson;
    }
    switch (fault) {
    case TFault::None:
        return false;
    case TFault::Error:
        ARes.status = 500;
        ARes.set_content("Internal Server Error", "text/plain");
        return true;
    case TFault::Drop:
        // Headers go out first in this server library; announcing a body and then closing without any of it is
        // the nearest it comes to a dropped connection, and the client sees a failed exchange with no body.
        ARes.status = 200;
        ARes.set_header("Connection", "close");
        ARes.set_content_provider(
            64, "application/json;charset=UTF-8", [](size_t, size_t, httplib::DataSink&) { return false; });
        return true;
    case TFault::NonJson:
        ARes.status = 200;
        ARes.set_content(
            "<html><head><title>502 Bad Gateway</title></head><body>Tengine</body></html>", "text/html;charset=UTF-8");
        return true;
    }
    return false;
}

httplib::Server::Handler TFaultInjector::Guard(TStandInHost AHost, httplib::Server::Handler AHandler)
{
    return [this, AHost, handler = std::move(AHandler)](const httplib::Request& req, httplib::Response& res) {
        if (!Intercept(AHost, res))
            handler(req, res);
    };
}

QJsonObject TFaultInjector::Counters() const
{
    const std::scoped_lock lock(FMutex);
    return QJsonObject {{QStringLiteral("errors"), FErrors}, {QStringLiteral("dropped"), FDrops},
        {QStringLiteral("nonJson"), FNonJson}, {QStringLiteral("held"), FHeld}, {QStringLiteral("delayed"), FDelayed},
        {QStringLiteral("redirected"), FRedirected}, {QStringLiteral("closedAfterReply"), FClosed}};
}

int TFaultInjector::RoundTripMs(TStandInHost AHost) const
{
    const std::scoped_lock lock(FMutex);
    return FSettings.Covers(AHost) && !FShutdown ? FSettings.rttMs : 0;
}

bool TFaultInjector::TakeLostReply(TStandInHost AHost, bool AKeptConnection)
{
    const std::scoped_lock lock(FMutex);
    if (!FSettings.Covers(AHost))
        return false;
    int& count = AKeptConnection && FSettings.keptDrops > 0 ? FSettings.keptDrops : FSettings.lostReplies;
    if (count <= 0)
        return false;
    --count;
    return true;
}

long long TFaultInjector::Requests(TStandInHost AHost) const
{
    const std::scoped_lock lock(FMutex);
    return FRequests[static_cast<size_t>(AHost)];
}
