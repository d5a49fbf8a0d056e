#include "standin/netfront.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;
// Bytes held per direction before the front stops reading that side: the sender then waits, as on a network.
constexpr size_t kBufferCap = 256 * 1024;
constexpr size_t kReadChunk = 64 * 1024;

sockaddr_in Loopback(int APort)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(APort));
    return address;
}

void NoDelay(int AFd)
{
    const int yes = 1;
    ::setsockopt(AFd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
}

// Closes with a reset instead of an orderly end, as a peer that vanished does.
void Reset(TOwnedFd& AFd)
{
    const linger abort {1, 0};
    ::setsockopt(AFd.Get(), SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    AFd.Reset();
}

bool WouldBlock()
{
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}

// One client connection and the front's connection to the service for it.
struct TLink {
    TOwnedFd client;
    TOwnedFd server;
    std::string toServer;
    std::string toClient;
    TClock::time_point setUpAt; // when a network would have finished setting the connection up
    TClock::time_point releaseAt; // when the bytes of the client's current turn reach the server
    bool serverSpoke = true; // since the client's turn began: the client's next bytes begin a new exchange
    int exchanges = 0; // client turns so far
    bool loseReply = false; // the current exchange's reply is lost
    bool connecting = true; // the connection to the service is under way
    bool clientEnded = false;
    bool serverEnded = false;
    bool serverShut = false; // the client's end passed on to the service
    bool dead = false;
};

} // namespace

TOwnedFd& TOwnedFd::operator=(TOwnedFd&& AOther) noexcept
{
    if (this != &AOther) {
        Reset();
        FFd = std::exchange(AOther.FFd, -1);
    }
    return *this;
}

void TOwnedFd::Reset()
{
    if (FFd >= 0)
        ::close(FFd);
    FFd = -1;
}

// The relay loop: one thread, every connection of the front in one poll.
class TNetFront::TRelay {
public:
    TRelay(TNetFront& AFront, int ABackendPort)
        : FFront(AFront)
        , FBackend(Loopback(ABackendPort))
    {
    }
    TRelay(const TRelay&) = delete;
    TRelay& operator=(const TRelay&) = delete;
    ~TRelay()
    {
        for (size_t i = 0; i < FLinks.size(); ++i)
            FFront.Closed();
    }

    void Run()
    {
        while (!FFront.FStopping.load()) {
            const int timeout = Prepare();
            if (::poll(FPoll.data(), FPoll.size(), timeout) < 0 && errno != EINTR)
                return;
            if (FPoll[0].revents != 0) {
                eventfd_t value = 0;
                ::eventfd_read(FFront.FWake.Get(), &value);
            }
            for (size_t i = 0; i < FLinks.size(); ++i)
                Serve(*FLinks[i], FPoll[2 + 2 * i].revents, FPoll[3 + 2 * i].revents);
            Bury();
            if ((FPoll[1].revents & POLLIN) != 0)
                Accept();
        }
    }

private:
    // The poll set for this turn; the wait in ms (-1: until something happens).
    int Prepare()
    {
        const TClock::time_point now = TClock::now();
        int timeout = -1;
        FPoll.clear();
        FPoll.push_back({FFront.FWake.Get(), POLLIN, 0});
        FPoll.push_back({FFront.FListener.Get(), POLLIN, 0});
        for (const auto& link : FLinks) {
            short client = 0;
            short server = 0;
            if (!link->clientEnded && link->toServer.size() < kBufferCap)
                client |= POLLIN;
            if (!link->toClient.empty())
                client |= POLLOUT;
            if (link->connecting) {
                server |= POLLOUT;
            } else {
                if (!link->serverEnded && link->toClient.size() < kBufferCap)
                    server |= POLLIN;
                if (!link->toServer.empty() && now >= link->releaseAt)
                    server |= POLLOUT;
                else if (!link->toServer.empty())
                    timeout = Sooner(timeout, link->releaseAt - now);
            }
            // A side with nothing to wait for stays out of the poll, or its hang-up would be reported every turn.
            FPoll.push_back({client != 0 ? link->client.Get() : -1, client, 0});
            FPoll.push_back({server != 0 ? link->server.Get() : -1, server, 0});
        }
        return timeout;
    }

    static int Sooner(int ATimeout, TClock::duration AWait)
    {
        const int ms = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(AWait).count());
        return ATimeout < 0 ? ms : std::min(ATimeout, ms);
    }

    void Accept()
    {
        for (;;) {
            TOwnedFd client(::accept4(FFront.FListener.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
            if (!client)
                return;
            auto link = std::make_unique<TLink>();
            link->client = std::move(client);
            link->server = TOwnedFd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
            if (!link->server)
                continue;
            NoDelay(link->client.Get());
            NoDelay(link->server.Get());
            const int connected
                = ::connect(link->server.Get(), reinterpret_cast<const sockaddr*>(&FBackend), sizeof FBackend);
            if (connected != 0 && errno != EINPROGRESS)
                continue;
            link->connecting = connected != 0;
            link->setUpAt = TClock::now() + std::chrono::milliseconds(FFront.RoundTripMs());
            FFront.Accepted();
            FLinks.push_back(std::move(link));
        }
    }

    void Serve(TLink& ALink, short AClient, short AServer)
    {
        if (((AClient | AServer) & (POLLERR | POLLNVAL)) != 0) {
            ALink.dead = true;
            return;
        }
        if (ALink.connecting && AServer != 0)
            FinishConnect(ALink);
        if ((AClient & (POLLIN | POLLHUP)) != 0)
            ReadClient(ALink);
        // Writable is not enough (it was asked for the connect too): the client's turn must have reached the server.
        if ((AServer & POLLOUT) != 0 && !ALink.connecting && TClock::now() >= ALink.releaseAt)
            WriteServer(ALink);
        if ((AServer & (POLLIN | POLLHUP)) != 0 && !ALink.connecting)
            ReadServer(ALink);
        if ((AClient & POLLOUT) != 0)
            WriteClient(ALink);
        // The service said its last: the connection ends once the client has it all.
        if (ALink.serverEnded && ALink.toClient.empty())
            ALink.dead = true;
    }

    static void FinishConnect(TLink& ALink)
    {
        int error = 0;
        socklen_t length = sizeof error;
        ::getsockopt(ALink.server.Get(), SOL_SOCKET, SO_ERROR, &error, &length);
        ALink.connecting = false;
        ALink.dead = error != 0;
    }

    void ReadClient(TLink& ALink)
    {
        char buffer[kReadChunk];
        const ssize_t got = ::recv(ALink.client.Get(), buffer, sizeof buffer, 0);
        if (got < 0) {
            ALink.dead = !WouldBlock();
            return;
        }
        if (got == 0) {
            ALink.clientEnded = true;
            PassOnEnd(ALink);
            return;
        }
        if (ALink.serverSpoke) {
            // The client's turn: its bytes reach the server a round trip from now, or from the end of the set-up.
            ALink.serverSpoke = false;
            const auto rtt = std::chrono::milliseconds(FFront.RoundTripMs());
            ALink.releaseAt = std::max(TClock::now(), ALink.setUpAt) + rtt;
            ALink.loseReply = FFront.ExchangeBegins(ALink.exchanges > 0);
            ++ALink.exchanges;
        }
        ALink.toServer.append(buffer, static_cast<size_t>(got));
    }

    static void WriteServer(TLink& ALink)
    {
        const ssize_t sent = ::send(ALink.server.Get(), ALink.toServer.data(), ALink.toServer.size(), MSG_NOSIGNAL);
        if (sent < 0) {
            ALink.dead = !WouldBlock();
            return;
        }
        ALink.toServer.erase(0, static_cast<size_t>(sent));
        PassOnEnd(ALink);
    }

    // A client that ended its side has it ended at the service too, once its last bytes went on.
    static void PassOnEnd(TLink& ALink)
    {
        if (ALink.clientEnded && ALink.toServer.empty() && !ALink.serverShut && !ALink.connecting) {
            ::shutdown(ALink.server.Get(), SHUT_WR);
            ALink.serverShut = true;
        }
    }

    void ReadServer(TLink& ALink)
    {
        char buffer[kReadChunk];
        const ssize_t got = ::recv(ALink.server.Get(), buffer, sizeof buffer, 0);
        if (got < 0) {
            ALink.dead = !WouldBlock();
            return;
        }
        if (got == 0) {
            ALink.serverEnded = true;
            return;
        }
        if (ALink.loseReply) {
            // The server has applied the request; its answer never arrives.
            Reset(ALink.client);
            ALink.dead = true;
            return;
        }
        ALink.serverSpoke = true;
        ALink.toClient.append(buffer, static_cast<size_t>(got));
    }

    static void WriteClient(TLink& ALink)
    {
        const ssize_t sent = ::send(ALink.client.Get(), ALink.toClient.data(), ALink.toClient.size(), MSG_NOSIGNAL);
        if (sent < 0) {
            ALink.dead = !WouldBlock();
            return;
        }
        ALink.toClient.erase(0, static_cast<size_t>(sent));
    }

    void Bury()
    {
        const auto dead = std::remove_if(FLinks.begin(), FLinks.end(), [](const auto& ALink) { return ALink->dead; });
        for (auto it = dead; it != FLinks.end(); ++it)
            FFront.Closed();
        FLinks.erase(dead, FLinks.end());
    }

    TNetFront& FFront;
    const sockaddr_in FBackend;
    std::vector<std::unique_ptr<TLink>> FLinks;
    std::vector<pollfd> FPoll;
};

TNetFront::TNetFront(TStandInHost AHost, TFaultInjector& AFaults)
    : FHost(AHost)
    , FFaults(AFaults)
{
}

TNetFront::~TNetFront()
{
    Stop();
}

void TNetFront::Start(int APort, int ABackendPort)
{
    const std::string where = APort > 0 ? "cannot listen on 127.0.0.1:" + std::to_string(APort) : "no free port";
    FListener = TOwnedFd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    FWake = TOwnedFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    if (!FListener || !FWake)
        throw std::runtime_error(where);
    // SO_REUSEADDR only, as the servers: a second stand-in must not share this port.
    const int yes = 1;
    ::setsockopt(FListener.Get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address = Loopback(APort);
    socklen_t length = sizeof address;
    if (::bind(FListener.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0
        || ::listen(FListener.Get(), SOMAXCONN) != 0
        || ::getsockname(FListener.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw std::runtime_error(where);
    FPort = ntohs(address.sin_port);
    FThread = std::thread([this, ABackendPort] {
        try {
            TRelay(*this, ABackendPort).Run();
        } catch (const std::exception&) {
            // Out of memory: the front's connections close, and the clients see a failed exchange.
        }
    });
}

void TNetFront::Stop()
{
    if (!FThread.joinable())
        return;
    FStopping = true;
    ::eventfd_write(FWake.Get(), 1);
    FThread.join();
    FListener.Reset();
}

void TNetFront::Accepted()
{
    const std::scoped_lock lock(FMutex);
    ++FConnections;
    ++FOpen;
}

void TNetFront::Closed()
{
    const std::scoped_lock lock(FMutex);
    --FOpen;
}

bool TNetFront::ExchangeBegins(bool AKept)
{
    const bool lose = FFaults.TakeLostReply(FHost, AKept);
    const std::scoped_lock lock(FMutex);
    ++FExchanges;
    FLostReplies += lose;
    return lose;
}

QJsonObject TNetFront::Counters() const
{
    const std::scoped_lock lock(FMutex);
    return QJsonObject {{QStringLiteral("connections"), FConnections}, {QStringLiteral("open"), FOpen},
        {QStringLiteral("exchanges"), FExchanges}, {QStringLiteral("lostReplies"), FLostReplies}};
}
