#include "foundation/qhttp.h"

#include "foundation/qerror.h"
#include "foundation/textutil.h"

#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <QUrl>

#include <chrono>

namespace {

using TClock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kStopCheckPeriod {50};
constexpr int kMaxRedirects = 15;
// A kept connection idle for longer is not used again: servers commonly close theirs after a minute or so, and one
// closed while the request goes out costs a repeat (or, for a request that may not be repeated, a failure).
constexpr long kMaxIdleSeconds = 30;
// Connections a thread keeps: more than the hosts one thread talks to (operator, intake, TOP, publisher, media).
constexpr long kKeptConnections = 8;

const QString kDefaultAccept = QStringLiteral("text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8");
const QString kFormContentType = QStringLiteral("application/x-www-form-urlencoded");

bool KeptInForm(char16_t c)
{
    return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') || c == u'*' || c == u'-'
        || c == u'.' || c == u'_';
}

// CURL and CURLM are both void, hence one deleter each.
struct TEasyDeleter {
    void operator()(CURL* AHandle) const { curl_easy_cleanup(AHandle); }
};
struct TMultiDeleter {
    void operator()(CURLM* AHandle) const { curl_multi_cleanup(AHandle); }
};
struct TListDeleter {
    void operator()(curl_slist* AList) const { curl_slist_free_all(AList); }
};

// A libcurl easy handle and the multi handle it runs in, whose connection cache outlives each transfer: the
// connections, the DNS cache (the multi's) and the TLS sessions (the easy handle's) of the exchanges run on it.
struct TCurlHandles {
    TCurlHandles()
        : easy(curl_easy_init())
        , multi(curl_multi_init())
    {
        if (multi)
            curl_multi_setopt(multi.get(), CURLMOPT_MAXCONNECTS, kKeptConnections);
    }
    bool Valid() const { return easy && multi; }

    // The multi handle goes first: its cache closes the connections, then the easy handle and its TLS sessions.
    std::unique_ptr<CURL, TEasyDeleter> easy;
    std::unique_ptr<CURLM, TMultiDeleter> multi;
    std::optional<QString> trust; // the caFile its TLS connections were verified with; none made yet without it
    bool busy = false; // an exchange runs on it
};

// The handles a thread keeps while it has a connection scope. Per thread, because a libcurl handle may only ever
// be used by one thread at a time; owned here so that they go at the latest when the thread ends.
struct TThreadConnections {
    int scopes = 0;
    std::unique_ptr<TCurlHandles> kept;
};

TThreadConnections& ThisThread()
{
    thread_local TThreadConnections connections;
    return connections;
}

// The handles one exchange runs on: the thread's kept ones inside a scope (started afresh when they were verified
// against another trust), else a pair of its own that go with the exchange, and its connection with them.
class THandleLease {
public:
    explicit THandleLease(const THttpRequest& ARequest)
    {
        TThreadConnections& thread = ThisThread();
        // Busy only when an exchange runs inside another one's callback: that one gets handles of its own.
        if (thread.scopes > 0 && !(thread.kept && thread.kept->busy)) {
            const std::optional<QString> trust
                = ARequest.tls ? std::optional<QString>(ARequest.tls->caFile) : std::nullopt;
            if (!thread.kept || !thread.kept->Valid() || (trust && thread.kept->trust && *thread.kept->trust != *trust))
                thread.kept = std::make_unique<TCurlHandles>();
            if (trust)
                thread.kept->trust = trust;
            FHandles = thread.kept.get();
        } else {
            FOwn = std::make_unique<TCurlHandles>();
            FHandles = FOwn.get();
        }
        FHandles->busy = true;
    }
    ~THandleLease() { FHandles->busy = false; }
    THandleLease(const THandleLease&) = delete;
    THandleLease& operator=(const THandleLease&) = delete;

    TCurlHandles& Handles() const { return *FHandles; }

private:
    std::unique_ptr<TCurlHandles> FOwn;
    TCurlHandles* FHandles = nullptr;
};

// What the callbacks track while the transfer runs.
struct TTransfer {
    CURL* easy = nullptr;
    QByteArray body;
    qint64 maxBody = 0;
    bool overCap = false;
    qint64 received = 0; // header and body bytes of every response
    bool connected = false; // the inactivity limit applies from the first request on a connection
    TClock::time_point lastActivity;
};

size_t OnBody(char* AData, size_t ASize, size_t ACount, void* AUser)
{
    auto* transfer = static_cast<TTransfer*>(AUser);
    const size_t bytes = ASize * ACount;
    transfer->received += static_cast<qint64>(bytes);
    long status = 0;
    curl_easy_getinfo(transfer->easy, CURLINFO_RESPONSE_CODE, &status);
    // The body of a reply outside 2xx is never delivered; it is read and dropped.
    if (status >= 200 && status < 300) {
        if (transfer->body.size() + static_cast<qint64>(bytes) > transfer->maxBody) {
            transfer->overCap = true;
            return CURL_WRITEFUNC_ERROR; // ends the transfer before the memory goes
        }
        transfer->body.append(AData, static_cast<qsizetype>(bytes));
    }
    return bytes;
}

size_t OnHeader(char*, size_t ASize, size_t ACount, void* AUser)
{
    static_cast<TTransfer*>(AUser)->received += static_cast<qint64>(ASize * ACount);
    return ASize * ACount;
}

int OnConnected(void* AUser, char*, char*, int, int)
{
    auto* transfer = static_cast<TTransfer*>(AUser);
    transfer->connected = true;
    transfer->lastActivity = TClock::now();
    return CURL_PREREQFUNC_OK;
}

// Runs after libcurl loaded the system store into the context: adds the extra trusted certificates.
CURLcode OnSslContext(CURL*, void* AContext, void* AUser)
{
    const auto* caFile = static_cast<const QByteArray*>(AUser);
    X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(AContext));
    if (store && X509_STORE_load_file(store, caFile->constData()) != 1)
        ERR_clear_error(); // an unreadable file only means fewer trusted roots
    return CURLE_OK;
}

// One transfer on borrowed handles; every option it sets is cleared again when it ends, so that nothing of it
// (callbacks, buffers, headers) reaches the next exchange on the same handles.
class TCurlExchange {
public:
    TCurlExchange(const THttpRequest& ARequest, const TCurlHandles& AHandles);
    ~TCurlExchange();
    TCurlExchange(const TCurlExchange&) = delete;
    TCurlExchange& operator=(const TCurlExchange&) = delete;
    // The reply body; empty when the exchange failed before a 2xx reply or was stopped.
    QByteArray Run();
    // Why the exchange failed; empty when it did not.
    const QString& Error() const { return FError; }
    long Status() const { return FStatus; }
    // Where a 3xx reply points; empty without one.
    const QString& RedirectUrl() const { return FRedirectUrl; }

private:
    void Configure();
    void AddHeader(const QString& AName, const QString& AValue);
    bool Transfer();
    bool StopAsked() const { return FRequest.stopCheck && FRequest.stopCheck(); }
    std::chrono::milliseconds InactivityLeft(TClock::time_point ANow) const;

    const THttpRequest& FRequest;
    std::unique_ptr<curl_slist, TListDeleter> FHeaders;
    QByteArray FBody;
    QByteArray FUrl;
    QByteArray FUserAgent;
    QByteArray FCaFile;
    TTransfer FTransfer;
    CURL* const FEasy;
    CURLM* const FMulti;
    bool FAdded = false; // the easy handle is in the multi handle
    QString FError;
    long FStatus = 0;
    QString FRedirectUrl;
};

TCurlExchange::TCurlExchange(const THttpRequest& ARequest, const TCurlHandles& AHandles)
    : FRequest(ARequest)
    , FEasy(AHandles.easy.get())
    , FMulti(AHandles.multi.get())
{
}

// Out of the multi handle before the reset: a transfer still running there (stopped, timed out, over its cap)
// loses its connection, as libcurl closes one whose reply was not read to the end.
TCurlExchange::~TCurlExchange()
{
    if (FAdded)
        curl_multi_remove_handle(FMulti, FEasy);
    if (FEasy)
        curl_easy_reset(FEasy);
}

// An empty value makes "Name:", which tells libcurl to leave out a header of its own.
void TCurlExchange::AddHeader(const QString& AName, const QString& AValue)
{
    const QByteArray line = (AValue.isEmpty() ? AName + u':' : AName + QStringLiteral(": ") + AValue).toUtf8();
    if (curl_slist* list = curl_slist_append(FHeaders.get(), line.constData())) {
        (void)FHeaders.release(); // the same list, or a new head when it was empty
        FHeaders.reset(list);
    }
}

void TCurlExchange::Configure()
{
    CURL* easy = FEasy;
    const bool post = FRequest.method == THttpRequest::TMethod::Post;
    FUrl = FRequest.url.toUtf8();
    FUserAgent = FRequest.userAgent.toUtf8();
    curl_easy_setopt(easy, CURLOPT_URL, FUrl.constData());
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_PROXY, ""); // the program talks to its hosts directly
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L); // HttpExchange decides on each hop
    const char* protocols = FRequest.tls ? "http,https" : "http";
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, protocols);
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, protocols);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(qMax(1, FRequest.connectTimeoutMs)));
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, THttpRequest::kLowSpeedBytes);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, static_cast<long>(qMax(1, (FRequest.readTimeoutMs + 999) / 1000)));
    curl_easy_setopt(easy, CURLOPT_MAXAGE_CONN, kMaxIdleSeconds);
    if (!FRequest.MaySendTwice()) {
        // A new connection, closed after: libcurl repeats a request only on a connection it reused.
        curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L);
        curl_easy_setopt(easy, CURLOPT_FORBID_REUSE, 1L);
    }
    if (!FUserAgent.isEmpty())
        curl_easy_setopt(easy, CURLOPT_USERAGENT, FUserAgent.constData());

    // libcurl's own Accept and Expect are replaced; nothing else of its own beyond Host, Content-Length and
    // Content-Type is added, as no cookie engine and no content decoding are switched on.
    AddHeader(QStringLiteral("Accept"), FRequest.accept.isEmpty() ? kDefaultAccept : FRequest.accept);
    if (post)
        AddHeader(
            QStringLiteral("Content-Type"), FRequest.contentType.isEmpty() ? kFormContentType : FRequest.contentType);
    if (!FRequest.connection.isEmpty())
        AddHeader(QStringLiteral("Connection"), FRequest.connection);
    const QString cookie = Trim(FRequest.cookie);
    if (!cookie.isEmpty())
        AddHeader(QStringLiteral("Cookie"), cookie);
    AddHeader(QStringLiteral("Expect"), QString());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, FHeaders.get());

    if (post) {
        FBody = FRequest.body.isEmpty() ? FormEncodeLines(FRequest.form) : FRequest.body;
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(FBody.size()));
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, FBody.constData());
    }

    if (FRequest.tls) {
        curl_easy_setopt(easy, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
        FCaFile = FRequest.tls->caFile.toLocal8Bit();
        if (!FCaFile.isEmpty()) {
            curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, &OnSslContext);
            curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, &FCaFile);
        }
    }

    FTransfer.easy = easy;
    FTransfer.maxBody = FRequest.maxReplyBytes;
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &OnBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, &FTransfer);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &OnHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, &FTransfer);
    curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &OnConnected);
    curl_easy_setopt(easy, CURLOPT_PREREQDATA, &FTransfer);
}

std::chrono::milliseconds TCurlExchange::InactivityLeft(TClock::time_point ANow) const
{
    const auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(ANow - FTransfer.lastActivity);
    return std::chrono::milliseconds(qMax(1, FRequest.readTimeoutMs)) - idle;
}

// libcurl knows only a per-second low-speed limit, so the millisecond inactivity limit is kept here around the
// multi interface: every byte received or sent restarts it. The same loop asks the stop check between waits, which
// a stop check makes no longer than its period. False when the exchange was stopped.
bool TCurlExchange::Transfer()
{
    const int longestWaitMs = FRequest.stopCheck ? static_cast<int>(kStopCheckPeriod.count()) : 1000;
    qint64 seen = -1;
    for (;;) {
        int running = 0;
        if (curl_multi_perform(FMulti, &running) != CURLM_OK || running == 0)
            return true;
        if (StopAsked())
            return false;
        curl_off_t sent = 0;
        curl_easy_getinfo(FEasy, CURLINFO_SIZE_UPLOAD_T, &sent);
        const TClock::time_point now = TClock::now();
        if (FTransfer.received + sent != seen) {
            seen = FTransfer.received + sent;
            if (FTransfer.connected)
                FTransfer.lastActivity = now;
        }
        int waitMs = longestWaitMs; // until connected, libcurl's connect time-out bounds the wait
        if (FTransfer.connected) {
            const std::chrono::milliseconds left = InactivityLeft(now);
            if (left.count() <= 0) {
                FError = QStringLiteral("Read timed out after %1 ms").arg(FRequest.readTimeoutMs);
                return true;
            }
            waitMs = static_cast<int>(qMin<qint64>(left.count(), waitMs));
        }
        if (curl_multi_poll(FMulti, nullptr, 0, waitMs, nullptr) != CURLM_OK)
            return true;
    }
}

QByteArray TCurlExchange::Run()
{
    if (StopAsked()) {
        FError = QStringLiteral("Stopped");
        return {};
    }
    if (!FEasy || !FMulti) {
        FError = QStringLiteral("Out of memory");
        return {};
    }
    Configure();
    if (curl_multi_add_handle(FMulti, FEasy) != CURLM_OK) {
        FError = QStringLiteral("Out of memory");
        return {};
    }
    FAdded = true;
    const bool finished = Transfer();
    int queued = 0;
    while (const CURLMsg* message = curl_multi_info_read(FMulti, &queued)) {
        if (message->msg == CURLMSG_DONE && message->data.result != CURLE_OK && FError.isEmpty())
            FError = QString::fromUtf8(curl_easy_strerror(message->data.result));
    }
    long status = 0;
    curl_easy_getinfo(FEasy, CURLINFO_RESPONSE_CODE, &status);
    FStatus = status;
    const char* location = nullptr;
    if (curl_easy_getinfo(FEasy, CURLINFO_REDIRECT_URL, &location) == CURLE_OK && location)
        FRedirectUrl = QString::fromUtf8(location);
    if (FTransfer.overCap)
        FError = QStringLiteral("Reply larger than %1 bytes").arg(FRequest.maxReplyBytes);
    if (!finished)
        FError = QStringLiteral("Stopped");
    else if (FError.isEmpty() && (status < 200 || status >= 300))
        FError = QStringLiteral("HTTP status %1").arg(status);
    if (!finished || FTransfer.overCap || status < 200 || status >= 300)
        return {};
    // A transfer cut short after a 2xx status keeps what arrived; the caller sees the error besides.
    return std::move(FTransfer.body);
}

} // namespace

void TParamList::SetValue(QStringView AName, const QString& AValue)
{
    const int index = IndexOfName(AName);
    if (AValue.isEmpty()) {
        if (index >= 0)
            FLines.removeAt(index);
        return;
    }
    QString line = AName.toString() + u'=' + AValue;
    if (index >= 0)
        FLines[index] = std::move(line);
    else
        FLines.append(std::move(line));
}

QString TParamList::Value(QStringView AName) const
{
    const int index = IndexOfName(AName);
    return index >= 0 ? ValueOf(FLines.at(index)).toString() : QString();
}

int TParamList::IndexOfName(QStringView AName) const
{
    for (qsizetype i = 0; i < FLines.size(); ++i) {
        if (NameOf(FLines.at(i)).compare(AName, Qt::CaseInsensitive) == 0)
            return static_cast<int>(i);
    }
    return -1;
}

QStringView TParamList::NameOf(QStringView ALine)
{
    const qsizetype eq = ALine.indexOf(u'=');
    return eq >= 0 ? ALine.left(eq) : ALine;
}

QStringView TParamList::ValueOf(QStringView ALine)
{
    const qsizetype eq = ALine.indexOf(u'=');
    return eq >= 0 ? ALine.mid(eq + 1) : QStringView();
}

QByteArray FormEncode(QStringView AText)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    const QByteArray utf8 = AText.toUtf8();
    QByteArray out;
    out.reserve(utf8.size() * 3);
    for (const char ch : utf8) {
        const auto byte = static_cast<unsigned char>(ch);
        if (byte < 0x80 && KeptInForm(byte)) {
            out.append(ch);
        } else if (byte == ' ') {
            out.append('+');
        } else {
            out.append('%');
            out.append(kHex[byte >> 4]);
            out.append(kHex[byte & 0x0F]);
        }
    }
    return out;
}

QByteArray FormEncodeLines(const QStringList& ALines)
{
    QByteArray out;
    for (const QString& line : ALines) {
        if (!out.isEmpty())
            out.append('&');
        const qsizetype eq = line.indexOf(u'=');
        if (eq < 0) {
            out.append(FormEncode(line));
            continue;
        }
        out.append(FormEncode(QStringView(line).left(eq)));
        out.append('=');
        out.append(FormEncode(QStringView(line).mid(eq + 1)));
    }
    return out;
}

namespace {

bool SameOrigin(const QUrl& A, const QUrl& B)
{
    const int defaultPort = A.scheme().compare(u"https", Qt::CaseInsensitive) == 0 ? 443 : 80;
    return A.scheme().compare(B.scheme(), Qt::CaseInsensitive) == 0
        && A.host().compare(B.host(), Qt::CaseInsensitive) == 0 && A.port(defaultPort) == B.port(defaultPort);
}

// Why a redirect is not followed; empty when it may be.
QString RedirectRefusal(const THttpRequest& ARequest, long AStatus, const QString& AFrom, const QString& ATo, int AHops)
{
    if (ARequest.redirects != THttpRequest::TRedirects::SameOrigin || ARequest.method != THttpRequest::TMethod::Get)
        return QStringLiteral("HTTP status %1: redirect to %2 not followed").arg(AStatus).arg(ATo);
    if (AHops >= kMaxRedirects)
        return QStringLiteral("More than %1 redirects").arg(kMaxRedirects);
    const QUrl to(ATo);
    if (ATo.isEmpty() || !to.isValid() || !SameOrigin(QUrl(AFrom), to))
        return QStringLiteral("Redirect to another host not followed: ") + ATo;
    return {};
}

} // namespace

THttpRequest THttpRequest::ForGet(const QString& AUrl, QStringView AUserAgent, int ATimeoutMs)
{
    THttpRequest request;
    request.method = TMethod::Get;
    request.url = AUrl;
    request.userAgent = AUserAgent.toString();
    request.connectTimeoutMs = ATimeoutMs;
    request.readTimeoutMs = ATimeoutMs;
    return request;
}

THttpRequest THttpRequest::ForPost(
    const QString& AUrl, const QStringList& AForm, QStringView AUserAgent, int ATimeoutMs)
{
    THttpRequest request = ForGet(AUrl, AUserAgent, ATimeoutMs);
    request.method = TMethod::Post;
    request.form = AForm;
    return request;
}

QString HttpExchange(const THttpRequest& ARequest, QString* AError)
{
    QByteArray body;
    THttpRequest hop = ARequest;
    for (int hops = 0;; ++hops) {
        const THandleLease lease(hop);
        TCurlExchange exchange(hop, lease.Handles());
        body = exchange.Run();
        QString error = exchange.Error();
        const long status = exchange.Status();
        if (status >= 300 && status < 400 && error.startsWith(u"HTTP status")) {
            error = RedirectRefusal(ARequest, status, hop.url, exchange.RedirectUrl(), hops);
            if (error.isEmpty()) {
                hop.url = exchange.RedirectUrl();
                continue;
            }
        }
        if (AError)
            *AError = error;
        break;
    }
    QString text = QString::fromUtf8(body);
    text.remove(QChar(0xFEFF));
    return text;
}

THttpConnectionScope::THttpConnectionScope()
{
    ++ThisThread().scopes;
}

THttpConnectionScope::~THttpConnectionScope()
{
    TThreadConnections& thread = ThisThread();
    if (--thread.scopes == 0)
        thread.kept.reset();
}

THttpGlobal::THttpGlobal()
{
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK)
        throw EQuenlarError(QStringLiteral("HTTP library initialisation failed"));
}

THttpGlobal::~THttpGlobal()
{
    curl_global_cleanup();
}
