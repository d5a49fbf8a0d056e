#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <functional>
#include <optional>

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

// The TLS settings an owner attaches to its exchanges. The peer is verified against the system store plus the
// certificates of caFile. A connection kept open (THttpConnectionScope) and a TLS session resumed on a new one
// carry over only to exchanges that trust the same caFile.
struct THttpTls {
    QString caFile;
};

// The user agents the outside services see, one per kind of client, each as those services have always seen it.
namespace UserAgents {
inline constexpr QStringView kApiClient = u"Mozilla/5.0 (Windows NT 10.0; WOW64; rv:53.0) Gecko/20100101 Firefox/53.0";
inline constexpr QStringView kReportPage = u"Mozilla/5.0 (Windows NT 10.0; WOW64) AppleWebKit/537.36 (KHTML, like "
                                           u"Gecko) Chrome/56.0.2924.87 Safari/537.36";
inline constexpr QStringView kSessionProbe = u"Mozilla/5.0 (Windows NT 6.1; WOW64) AppleWebKit/537.36 (KHTML, like "
                                             u"Gecko) Chrome/67.0.3396.99 Safari/537.36";
} // namespace UserAgents

// One blocking exchange. The caller's thread runs it from start to end.
struct THttpRequest {
    enum class TMethod { Get, Post };
    // Refuse: a 3xx reply is a failed exchange. SameOrigin: a GET follows a redirect to the same scheme, host and
    // port (15 at most); one elsewhere fails, so neither the body nor the URL's tokens reach another host.
    enum class TRedirects { Refuse, SameOrigin };
    static constexpr qint64 kOperatorReplyCap = 4LL << 20;
    static constexpr qint64 kPageReplyCap = 64LL << 20;
    TMethod method = TMethod::Get;
    QString url; // sent unchanged
    QStringList form; // POST: the field lines
    QByteArray body; // POST: sent as it is instead of the form when not empty (with its contentType)
    QString userAgent;
    QString contentType; // POST only; empty sends "application/x-www-form-urlencoded"
    QString accept; // empty sends the default text
    QString connection; // sent only when not empty
    QString cookie; // trimmed; "Cookie: " line only when the trimmed text is not empty
    int connectTimeoutMs = 10000;
    int readTimeoutMs = 10000; // inactivity: no byte for that long once connected
    // Besides, fewer than kLowSpeedBytes a second on average over a read time-out (whole seconds, at least one)
    // fails the exchange, so a server trickling bytes cannot hold it much longer than that.
    static constexpr long kLowSpeedBytes = 256;
    qint64 maxReplyBytes = kOperatorReplyCap; // a longer body fails the exchange (empty reply)
    TRedirects redirects = TRedirects::Refuse;
    std::optional<THttpTls> tls; // without it only plain-HTTP URLs (and redirects) are allowed
    // Whether the request may reach the server twice without harm (a query). libcurl sends a request once more on
    // a new connection when a kept-open one turns out closed by the server before any of the reply arrived; the
    // server may have received and applied it all the same. A GET always may; a POST that may not (an order
    // batch) goes out on a connection of its own, closed after it, which libcurl never repeats a request on.
    bool idempotent = false;
    // Asked on the calling thread before the request and at least every 50 ms while it runs, connecting included;
    // true ends the exchange at once as a failure (empty reply). Empty: only the time-outs end it.
    std::function<bool()> stopCheck;

    // What every request of the program sets: the method, the address, the agent and one time-out for the connect
    // and for the read. The rest (redirects, caps, TLS, headers) each caller says.
    static THttpRequest ForGet(const QString& AUrl, QStringView AUserAgent, int ATimeoutMs);
    static THttpRequest ForPost(const QString& AUrl, const QStringList& AForm, QStringView AUserAgent, int ATimeoutMs);

    bool MaySendTwice() const { return method == TMethod::Get || idempotent; }
};

// Runs the request on the calling thread. Returns the reply body decoded as UTF-8 with every U+FEFF removed; empty
// or partial when the exchange failed, empty for a final status outside 2xx, a refused redirect, a body over the
// cap or when stopped. Never throws for
// network failures. Needs a live THttpGlobal.
QString HttpExchange(const THttpRequest& ARequest, QString* AError = nullptr);

// Connections kept open between the exchanges of the thread that makes this. While one lives on a thread, that
// thread's exchanges leave their connection to each host open (with libcurl's DNS cache and TLS sessions) for the
// next exchange to the same host, instead of closing it at the end of each; one idle for longer than a server keeps
// it is not used again. The last scope to end on the thread closes them. The job scheduler opens one for every job
// and a pass's extra workers one each, so a pass uses one connection per worker and host and nothing stays open
// between passes. A scope is never moved to or shared with another thread, so no connection is ever used by two
// threads at once. Scopes nest. Every scope ends before THttpGlobal goes, as every exchange does.
class THttpConnectionScope {
public:
    THttpConnectionScope();
    ~THttpConnectionScope();
    THttpConnectionScope(const THttpConnectionScope&) = delete;
    THttpConnectionScope& operator=(const THttpConnectionScope&) = delete;
};

// The HTTP library's process-wide state, set up before the first exchange and torn down after the last. The
// program entry creates it first and destroys it last; no exchange may run outside its lifetime.
class THttpGlobal {
public:
    THttpGlobal();
    ~THttpGlobal();
    THttpGlobal(const THttpGlobal&) = delete;
    THttpGlobal& operator=(const THttpGlobal&) = delete;
};
