#pragma once

#include "standin/faults.h"

#include <QJsonObject>

#include <atomic>
#include <mutex>
#include <thread>
#include <utility>

// A file descriptor closed when its owner goes.
class TOwnedFd {
public:
    TOwnedFd() = default;
    explicit TOwnedFd(int AFd)
        : FFd(AFd)
    {
    }
    TOwnedFd(TOwnedFd&& AOther) noexcept
        : FFd(std::exchange(AOther.FFd, -1))
    {
    }
    TOwnedFd& operator=(TOwnedFd&& AOther) noexcept;
    TOwnedFd(const TOwnedFd&) = delete;
    TOwnedFd& operator=(const TOwnedFd&) = delete;
    ~TOwnedFd() { Reset(); }

    int Get() const { return FFd; }
    explicit operator bool() const { return FFd >= 0; }
    void Reset();

private:
    int FFd = -1;
};

// The network between a client and one stand-in service, played on the service's public port. The front accepts
// the client's connections and relays each, byte for byte and unread, to the service's own server on another
// loopback port. On the way it behaves like a network one round trip long (the fault settings' rttMs, for the hosts
// they cover): a new connection carries nothing for one round trip (its set-up), and whenever the client speaks
// after the server has spoken (a request; a TLS handshake flight) its bytes reach the server one round trip later.
// Since nothing is parsed, a TLS handshake costs the round trips it costs on a real network. The front counts
// connections and exchanges (client turns), and can lose replies: the request reaches the server, which applies
// it, and the client's connection is reset instead of carrying the answer.
class TNetFront {
public:
    TNetFront(TStandInHost AHost, TFaultInjector& AFaults);
    ~TNetFront();
    TNetFront(const TNetFront&) = delete;
    TNetFront& operator=(const TNetFront&) = delete;

    // Listens on APort (0: a free port) and relays to 127.0.0.1:ABackendPort; throws std::runtime_error when the
    // port cannot be bound.
    void Start(int APort, int ABackendPort);
    // Closes every connection at once, so that a request held at the server does not hold the stop up.
    void Stop();

    int Port() const { return FPort; }
    // connections (accepted), open, exchanges (client turns: the requests, and on HTTPS hosts the TLS handshake
    // flights besides), lostReplies.
    QJsonObject Counters() const;

    // What the relay thread reports.
    void Accepted();
    void Closed();
    // A client turn began (AKept: on a connection that carried one before); true when its reply is to be lost.
    bool ExchangeBegins(bool AKept);
    // The round trip to charge now, in ms.
    int RoundTripMs() const { return FFaults.RoundTripMs(FHost); }

private:
    class TRelay;

    const TStandInHost FHost;
    TFaultInjector& FFaults;
    int FPort = 0;
    TOwnedFd FListener;
    TOwnedFd FWake; // an eventfd that tells the relay thread to end
    std::atomic<bool> FStopping {false};
    std::thread FThread;
    mutable std::mutex FMutex;
    long long FConnections = 0; // the counters: guarded by FMutex
    long long FOpen = 0;
    long long FExchanges = 0;
    long long FLostReplies = 0;
};
