#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

// Ordered "name=value" lines of a request. Names compare without regard to case; setting an empty value removes
// the line, so an empty parameter is never sent nor signed.
class TParamList {
public:
    // Replaces the whole matching line (the new name's letter case wins, the position stays) or appends one.
    void SetValue(QStringView AName, const QString& AValue);
    // The text after the first '=' of the first matching line; empty when there is none.
    QString Value(QStringView AName) const;
    int IndexOfName(QStringView AName) const;

    int Count() const { return static_cast<int>(FLines.size()); }
    const QStringList& Lines() const { return FLines; }
    void Clear() { FLines.clear(); }

    static QStringView NameOf(QStringView ALine); // text before the first '=' (the whole line without one)
    static QStringView ValueOf(QStringView ALine); // text after the first '=' (empty without one)

private:
    QStringList FLines;
};

// Form encoding of one name or value: letters, digits and "*-._" kept, space as '+', every other character as
// "%XX" of its UTF-8 bytes with upper-case hex. Written by hand because libcurl's escaping differs.
QByteArray FormEncode(QStringView AText);
// The body of a form POST: each line as encoded name '=' encoded value, joined with '&' in list order.
QByteArray FormEncodeLines(const QStringList& ALines);

// The TLS settings an owner attaches to its exchanges. Every exchange opens its own TLS session from them, so two
// exchanges never share TLS state. The peer is verified against the system store plus the certificates of caFile.
struct THttpTls {
    QString caFile;
};

// One blocking exchange: everything the exchange thread needs, copied, so the owner may go away meanwhile.
struct THttpRequest {
    enum class TMethod { Get, Post };
    TMethod method = TMethod::Get;
    QString url; // sent unchanged
    QStringList form; // POST: the field lines
    QString userAgent;
    QString contentType; // POST only; empty sends "application/x-www-form-urlencoded"
    QString accept; // empty sends the default text
    QString connection; // sent only when not empty
    QString cookie; // trimmed; "Cookie: " line only when the trimmed text is not empty
    int connectTimeoutMs = 10000;
    int readTimeoutMs = 10000; // inactivity: no byte for that long once connected
    std::optional<THttpTls> tls; // without it only plain-HTTP URLs (and redirects) are allowed
    bool processEvents = false; // on the main thread: process pending events while waiting
    std::function<bool()> stopCheck;
};

// curl's process-wide set-up, owned by the program entry.
class THttpGlobal {
public:
    THttpGlobal() = default;
};

// Runs the request on a thread of its own and waits for it: woken the moment it completes, processing events at
// least every 50 ms meanwhile when asked to and on the main thread. Returns the reply body decoded as UTF-8 with
// every U+FEFF removed; empty or partial when the exchange failed, empty for a final status outside 2xx. Never
// throws for network failures.
QString HttpExchange(const THttpRequest& ARequest, QString* AError = nullptr);

struct THttpExchangeState;

// An exchange thread that is kept parked between the exchanges of one owner and joined when it goes. Starting a
// thread costs about as much as a whole loopback request, so owners whose exchanges follow one another reuse one.
// One exchange at a time: callers serialise (THttpLock::TGuard is the way in).
class THttpExchangeThread {
public:
    THttpExchangeThread() = default;
    ~THttpExchangeThread();
    THttpExchangeThread(const THttpExchangeThread&) = delete;
    THttpExchangeThread& operator=(const THttpExchangeThread&) = delete;

    // As HttpExchange, on this thread (started at the first exchange).
    QString Exchange(const THttpRequest& ARequest);

private:
    void Loop();

    std::mutex FMutex;
    std::condition_variable FWake;
    std::shared_ptr<THttpExchangeState> FJob; // guarded by FMutex
    bool FStop = false; // guarded by FMutex
    std::thread FThread;
};

// The lock of an owner of exchanges (its FCS), with the exchange thread that its holder uses. Owners hold it
// through a shared pointer and every guard keeps a reference, so a wait that outlives its owner still finds a live
// lock and thread.
class THttpLock {
public:
    class TGuard {
    public:
        TGuard() = default;
        TGuard(TGuard&& AOther) noexcept = default;
        TGuard& operator=(TGuard&&) = delete;
        TGuard(const TGuard&) = delete;
        TGuard& operator=(const TGuard&) = delete;
        ~TGuard();
        explicit operator bool() const { return FLock != nullptr; }
        // The exchange, on the lock's own thread; an empty guard (a refused request) gives an empty reply.
        QString Exchange(const THttpRequest& ARequest) const
        {
            return FLock ? FLock->FThread.Exchange(ARequest) : QString();
        }

    private:
        friend class THttpLock;
        explicit TGuard(std::shared_ptr<THttpLock> ALock)
            : FLock(std::move(ALock))
        {
        }
        std::shared_ptr<THttpLock> FLock;
    };

    // Takes the lock. With AProcessEvents on the main thread it keeps processing events while it waits. Refused
    // (an empty guard) when the calling thread already holds or awaits this lock: a request started from an event
    // processed during that thread's own wait would otherwise deadlock on itself. Takes the pointer by value: the
    // owner holding it may be destroyed by an event processed during the wait.
    static TGuard Acquire(std::shared_ptr<THttpLock> ALock, bool AProcessEvents);

private:
    void Release();

    // A lock of our own rather than std::timed_mutex: it knows its holder and the thread waiting with events, and
    // ThreadSanitizer sees every acquisition.
    std::mutex FMutex;
    std::condition_variable FReleased;
    bool FHeld = false; // guarded by FMutex
    std::thread::id FHolder {}; // guarded by FMutex
    std::thread::id FWaiter {}; // guarded by FMutex; the main thread while it waits with events
    THttpExchangeThread FThread; // used only by the holder
};

// True on the thread of the application object (the thread that may process window events).
bool IsMainThread();
