#pragma once

#include <httplib.h>

#include <QJsonObject>

#include <array>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>

// The stand-in's outside services, as fault switches name them.
enum class TStandInHost { Operator, Intake, Top, Publisher, Media, SignIn };
inline constexpr int kStandInHostCount = 6;
const char* HostName(TStandInHost AHost);

// What goes wrong, and where. Shares are probabilities from 0 to 1, drawn per request.
struct TFaultSettings {
    int latencyMs = 0; // added before every answer
    // The network's round trip: one for each new connection and one for each exchange on it, charged by the
    // service's front (see netfront.h), so a kept-open connection saves what a real one saves.
    int rttMs = 0;
    // The next this many exchanges reach the server, which applies them, and lose the reply: the connection is
    // reset instead. keptDrops does the same to exchanges on a kept-open connection only (one that has carried an
    // exchange before; on the plain-HTTP services, a request after the first), as when a server closes a kept
    // connection under a request.
    int lostReplies = 0;
    int keptDrops = 0;
    bool closeAfterReply = false; // every answer says "Connection: close": no connection serves a second request
    double errorShare = 0; // answered 500
    double dropShare = 0; // the connection closes before a byte of the body
    double nonJsonShare = 0; // answered 200 with an HTML page
    bool silent = false; // requests are accepted and never answered while this is on
    int redirectStatus = 0; // when not 0, every request is answered with this 3xx status pointing at redirectTo
    std::string redirectTo;
    unsigned hosts = DefaultHosts(); // bit per TStandInHost

    static unsigned DefaultHosts(); // every service host except the sign-in host
    bool Covers(TStandInHost AHost) const { return (hosts & (1u << static_cast<unsigned>(AHost))) != 0; }
    // "operator,intake,…"; false for an unknown name.
    static bool ParseHosts(const std::string& AList, unsigned& AHosts);
    QJsonObject ToJson() const;
};

// Applies the fault settings in front of the service handlers. A request that a fault answers is never applied,
// so whatever the program sends again is a genuine second delivery.
class TFaultInjector {
public:
    explicit TFaultInjector(std::uint64_t ASeed);

    void Set(const TFaultSettings& ASettings);
    TFaultSettings Get() const;

    // Waits the latency (holding the request while the server is silent) and draws the faults; true when the
    // request has been answered with a fault and must not reach its handler.
    bool Intercept(TStandInHost AHost, httplib::Response& ARes);
    // Wraps a service handler with Intercept.
    httplib::Server::Handler Guard(TStandInHost AHost, httplib::Server::Handler AHandler);
    // Releases every held request for good; called before the servers stop.
    void Shutdown();

    QJsonObject Counters() const;

    // The network's round trip to AHost now; 0 for a host the faults do not cover.
    int RoundTripMs(TStandInHost AHost) const;
    // True when an exchange with AHost beginning now is to lose its reply (one of lostReplies, or of keptDrops
    // for one on a kept-open connection, taken).
    bool TakeLostReply(TStandInHost AHost, bool AKeptConnection);
    // Requests that reached AHost's handlers, faulted or not.
    long long Requests(TStandInHost AHost) const;

private:
    enum class TFault { None, Error, Drop, NonJson };
    TFault Draw(const TFaultSettings& ASettings);

    mutable std::mutex FMutex;
    std::condition_variable FChanged;
    TFaultSettings FSettings; // guarded by FMutex
    std::mt19937_64 FRandom; // guarded by FMutex
    bool FShutdown = false; // guarded by FMutex
    long long FErrors = 0; // the counters: guarded by FMutex
    long long FDrops = 0;
    long long FNonJson = 0;
    long long FHeld = 0;
    long long FDelayed = 0;
    long long FRedirected = 0;
    long long FClosed = 0;
    std::array<long long, kStandInHostCount> FRequests {};
};
