#include "foundation/qhttp.h"

#include "foundation/qworker.h"
#include "standin/netfront.h"
#include "standin/testservers.h"
#include "testwait.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <thread>

namespace {

using namespace std::chrono_literals;

const QString kUserAgent = QStringLiteral("Mozilla/5.0 (Windows NT 10.0; WOW64; rv:53.0) Gecko/20100101 Firefox/53.0");
const char kDefaultAccept[] = "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8";

// ---- form encoding and parameter lists ------------------------------------------------------------------------

struct EncodeCase {
    const char16_t* text;
    const char* encoded;
};

class FormEncoding : public ::testing::TestWithParam<EncodeCase> { };

TEST_P(FormEncoding, EncodesLikeTheForm)
{
    EXPECT_EQ(FormEncode(QStringView(GetParam().text)), QByteArray(GetParam().encoded));
}

INSTANTIATE_TEST_SUITE_P(Http, FormEncoding,
    ::testing::Values(EncodeCase {u"", ""}, EncodeCase {u"AZaz09*-._", "AZaz09*-._"}, EncodeCase {u"a b", "a+b"},
        EncodeCase {u"x&y=z", "x%26y%3Dz"}, EncodeCase {u"~+/%", "%7E%2B%2F%25"},
        EncodeCase {u"\u4e2d\u6587", "%E4%B8%AD%E6%96%87"}, EncodeCase {u"\n\t", "%0A%09"},
        EncodeCase {u"\u00e9", "%C3%A9"}, EncodeCase {u"\U0001F600", "%F0%9F%98%80"}));

TEST(FormEncodingLines, JoinsNameAndValueInOrder)
{
    const QStringList lines {
        QStringLiteral("b=1 2"), QStringLiteral("a=x=y"), QStringLiteral("c="), QStringLiteral("plain word")};
    EXPECT_EQ(FormEncodeLines(lines), QByteArray("b=1+2&a=x%3Dy&c=&plain+word"));
    EXPECT_EQ(FormEncodeLines({}), QByteArray());
}

TEST(ParamList, SetReplaceAndDelete)
{
    TParamList list;
    list.SetValue(u"phone", QStringLiteral("1"));
    list.SetValue(u"pwd", QStringLiteral("a=b"));
    list.SetValue(u"PHONE", QStringLiteral("2")); // same name: the line keeps its place, takes the new spelling
    EXPECT_EQ(list.Lines(), QStringList({QStringLiteral("PHONE=2"), QStringLiteral("pwd=a=b")}));
    EXPECT_EQ(list.Value(u"Pwd"), QStringLiteral("a=b"));
    EXPECT_EQ(list.Value(u"missing"), QString());

    list.SetValue(u"uid", QString()); // empty and absent: nothing added
    EXPECT_EQ(list.Count(), 2);
    list.SetValue(u"phone", QString()); // empty: the line goes
    EXPECT_EQ(list.Lines(), QStringList({QStringLiteral("pwd=a=b")}));
    EXPECT_EQ(list.IndexOfName(u"phone"), -1);
}

// ---- the blocking exchange ------------------------------------------------------------------------------------

class Exchange : public ::testing::Test {
protected:
    THttpRequest Post(const QString& path, QStringList form) const
    {
        THttpRequest request;
        request.method = THttpRequest::TMethod::Post;
        request.url = FServer.BaseUrl() + path;
        request.form = std::move(form);
        request.userAgent = kUserAgent;
        request.connectTimeoutMs = 5000;
        request.readTimeoutMs = 5000;
        return request;
    }
    THttpRequest Get(const QString& url) const
    {
        THttpRequest request;
        request.url = url;
        request.userAgent = kUserAgent;
        request.connectTimeoutMs = 5000;
        request.readTimeoutMs = 5000;
        return request;
    }

    TTestServer FServer;
};

TEST_F(Exchange, PostSendsOnlyUserAgentAcceptAndFormHeadersAndAFormEncodedBody)
{
    FServer.Post("/form", TTestServer::Reply(200, "ok"));
    FServer.Start();
    const QString reply = HttpExchange(
        Post(QStringLiteral("/form"), {QStringLiteral("orders=[1, 2]"), QStringLiteral("name=a b&c=d*~\u4e2d")}));
    EXPECT_EQ(reply, QStringLiteral("ok"));
    const TRecordedRequest req = FServer.LastRequest();
    EXPECT_EQ(req.method, "POST");
    EXPECT_EQ(req.target, "/form");
    EXPECT_EQ(req.version, "HTTP/1.1");
    EXPECT_EQ(req.body, "orders=%5B1%2C+2%5D&name=a+b%26c%3Dd*%7E%E4%B8%AD");
    EXPECT_EQ(req.HeaderNames(),
        (std::vector<std::string> {"accept", "content-length", "content-type", "host", "user-agent"}));
    EXPECT_EQ(req.Header("User-Agent"), kUserAgent.toStdString());
    EXPECT_EQ(req.Header("Accept"), kDefaultAccept);
    EXPECT_EQ(req.Header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(req.Header("Content-Length"), std::to_string(req.body.size()));
    EXPECT_EQ(req.Header("Host"), FServer.HostValue().toStdString());
}

TEST_F(Exchange, LargePostAsksForNoContinue)
{
    FServer.Post("/big", TTestServer::Reply(200, "ok"));
    FServer.Start();
    THttpRequest request = Post(QStringLiteral("/big"), {QStringLiteral("orders=") + QString(3 << 20, u'x')});
    request.contentType = QStringLiteral("text/plain; charset=utf-8");
    EXPECT_EQ(HttpExchange(request), QStringLiteral("ok"));
    const TRecordedRequest req = FServer.LastRequest();
    EXPECT_FALSE(req.HasHeader("Expect"));
    EXPECT_EQ(req.Header("Content-Type"), "text/plain; charset=utf-8");
    EXPECT_EQ(req.body.size(), (3u << 20) + 7);
}

struct GetHeaderCase {
    const char16_t* accept;
    const char16_t* connection;
    const char16_t* cookie;
    std::vector<std::string> names;
    const char* acceptSent;
    const char* cookieSent;
};

class GetHeaders : public Exchange, public ::testing::WithParamInterface<GetHeaderCase> { };

TEST_P(GetHeaders, SendsOnlyWhatIsSet)
{
    const GetHeaderCase& c = GetParam();
    FServer.Get("/page", TTestServer::Reply(200, "page"));
    FServer.Start();
    THttpRequest request = Get(FServer.BaseUrl() + QStringLiteral("/page?a=%20b"));
    request.accept = QString::fromUtf16(c.accept);
    request.connection = QString::fromUtf16(c.connection);
    request.cookie = QString::fromUtf16(c.cookie);
    EXPECT_EQ(HttpExchange(request), QStringLiteral("page"));
    const TRecordedRequest req = FServer.LastRequest();
    EXPECT_EQ(req.method, "GET");
    EXPECT_EQ(req.target, "/page?a=%20b");
    EXPECT_EQ(req.HeaderNames(), c.names);
    EXPECT_EQ(req.Header("Accept"), c.acceptSent);
    EXPECT_EQ(req.Header("Cookie"), c.cookieSent);
}

INSTANTIATE_TEST_SUITE_P(Http, GetHeaders,
    ::testing::Values(GetHeaderCase {u"", u"", u"", {"accept", "host", "user-agent"}, kDefaultAccept, ""},
        GetHeaderCase {u"*/*", u"Keep-Alive", u" \t a=1; b=2 \r\n",
            {"accept", "connection", "cookie", "host", "user-agent"}, "*/*", "a=1; b=2"},
        GetHeaderCase {u"*/*", u"", u"   \t ", {"accept", "host", "user-agent"}, "*/*", ""}));

TEST_F(Exchange, ReplyIsUtf8WithEveryByteOrderMarkRemoved)
{
    FServer.Get("/bom", TTestServer::Reply(200, "\xEF\xBB\xBF{\"a\":\"x\xEF\xBB\xBFy\xE4\xB8\xAD\"}"));
    FServer.Get("/latin", TTestServer::Reply(200, "caf\xC3\xA9", "text/plain; charset=ISO-8859-1"));
    FServer.Start();
    EXPECT_EQ(HttpExchange(Get(FServer.BaseUrl() + QStringLiteral("/bom"))), QStringLiteral("{\"a\":\"xy\u4e2d\"}"));
    EXPECT_EQ(HttpExchange(Get(FServer.BaseUrl() + QStringLiteral("/latin"))), QStringLiteral("caf\u00e9"));
}

struct StatusCase {
    int status;
    const char16_t* expected;
};

class StatusReply : public Exchange, public ::testing::WithParamInterface<StatusCase> { };

TEST_P(StatusReply, OnlyA2xxBodyIsDelivered)
{
    FServer.Post("/status", TTestServer::Reply(GetParam().status, "{\"code\":200,\"msg\":\"body\"}"));
    FServer.Start();
    EXPECT_EQ(HttpExchange(Post(QStringLiteral("/status"), {})), QString::fromUtf16(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(Http, StatusReply,
    ::testing::Values(StatusCase {200, u"{\"code\":200,\"msg\":\"body\"}"},
        StatusCase {201, u"{\"code\":200,\"msg\":\"body\"}"}, StatusCase {404, u""}, StatusCase {500, u""},
        StatusCase {302, u""}, StatusCase {304, u""}));

TEST_F(Exchange, FollowsFifteenSameHostRedirectsButNotSixteen)
{
    FServer.Get(R"(/hop/(\d+))", [this](const httplib::Request& req, httplib::Response& res) {
        const int left = std::stoi(req.matches[1]);
        if (left == 0)
            res.set_content("landed", "text/plain");
        else
            res.set_redirect(FServer.BaseUrl().toStdString() + "/hop/" + std::to_string(left - 1), 302);
    });
    FServer.Start();
    THttpRequest request = Get(FServer.BaseUrl() + QStringLiteral("/hop/15"));
    request.redirects = THttpRequest::TRedirects::SameOrigin;
    EXPECT_EQ(HttpExchange(request), QStringLiteral("landed"));
    request.url = FServer.BaseUrl() + QStringLiteral("/hop/16");
    EXPECT_EQ(HttpExchange(request), QString());
}

TEST_F(Exchange, SendsNoCookieItWasGiven)
{
    FServer.Get("/set", [](const httplib::Request&, httplib::Response& res) {
        res.set_header("Set-Cookie", "sid=1; Path=/");
        res.set_redirect("/check", 302);
    });
    FServer.Get("/check", TTestServer::Reply(200, "checked"));
    FServer.Start();
    THttpRequest request = Get(FServer.BaseUrl() + QStringLiteral("/set"));
    request.redirects = THttpRequest::TRedirects::SameOrigin;
    EXPECT_EQ(HttpExchange(request), QStringLiteral("checked"));
    EXPECT_EQ(FServer.LastRequest().target, "/check");
    EXPECT_FALSE(FServer.LastRequest().HasHeader("Cookie"));
}

// A redirect never carries a body or a URL's tokens to another host, and operator and TOP requests follow none.
struct RedirectCase {
    const char* name;
    THttpRequest::TMethod method;
    THttpRequest::TRedirects policy;
    int status;
    bool toOtherHost;
    const char16_t* expected;
};

class Redirect : public Exchange, public ::testing::WithParamInterface<RedirectCase> {
protected:
    TTestServer FOther;
};

TEST_P(Redirect, IsFollowedOnlyWhereThePolicyAllows)
{
    const RedirectCase& c = GetParam();
    FOther.Get("/landing", TTestServer::Reply(200, "{\"code\":200}"));
    FOther.Post("/landing", TTestServer::Reply(200, "{\"code\":200}"));
    FOther.Start();
    FServer.Get("/landing", TTestServer::Reply(200, "{\"code\":200}"));
    FServer.Post("/landing", TTestServer::Reply(200, "{\"code\":200}"));
    const auto redirect = [this, &c](const httplib::Request&, httplib::Response& res) {
        res.set_redirect((c.toOtherHost ? FOther : FServer).BaseUrl().toStdString() + "/landing", c.status);
    };
    FServer.Get("/start", redirect);
    FServer.Post("/start", redirect);
    FServer.Start();
    THttpRequest request = c.method == THttpRequest::TMethod::Post
        ? Post(QStringLiteral("/start"), {QStringLiteral("orders=[1]")})
        : Get(FServer.BaseUrl() + QStringLiteral("/start?_tb_token_=secret"));
    request.redirects = c.policy;
    QString error;
    EXPECT_EQ(HttpExchange(request, &error), QString::fromUtf16(c.expected));
    EXPECT_EQ(FOther.RequestCount(), 0u);
    if (QString::fromUtf16(c.expected).isEmpty()) {
        EXPECT_TRUE(error.contains(QStringLiteral("not followed"))) << error.toStdString();
    }
}

constexpr auto kGet = THttpRequest::TMethod::Get;
constexpr auto kPost = THttpRequest::TMethod::Post;
constexpr auto kRefuse = THttpRequest::TRedirects::Refuse;
constexpr auto kSameOrigin = THttpRequest::TRedirects::SameOrigin;

INSTANTIATE_TEST_SUITE_P(Http, Redirect,
    ::testing::Values(RedirectCase {"PostRefuse302Other", kPost, kRefuse, 302, true, u""},
        RedirectCase {"PostRefuse307Other", kPost, kRefuse, 307, true, u""},
        RedirectCase {"PostRefuse302Same", kPost, kRefuse, 302, false, u""},
        RedirectCase {"PostSameOrigin307Same", kPost, kSameOrigin, 307, false, u""},
        RedirectCase {"GetRefuse302Same", kGet, kRefuse, 302, false, u""},
        RedirectCase {"GetSameOrigin307Other", kGet, kSameOrigin, 307, true, u""},
        RedirectCase {"GetSameOrigin302Same", kGet, kSameOrigin, 302, false, u"{\"code\":200}"}),
    [](const auto& AInfo) { return std::string(AInfo.param.name); });

TEST_F(Exchange, ReplyOverItsCapFailsWithTheReason)
{
    const std::string big(2 << 20, 'x');
    FServer.Get("/big", TTestServer::Reply(200, big));
    FServer.Start();
    THttpRequest request = Get(FServer.BaseUrl() + QStringLiteral("/big"));
    request.maxReplyBytes = 1 << 20;
    QString error;
    EXPECT_EQ(HttpExchange(request, &error), QString());
    EXPECT_TRUE(error.contains(QStringLiteral("Reply larger than 1048576 bytes"))) << error.toStdString();
    request.maxReplyBytes = 2 << 20;
    EXPECT_EQ(HttpExchange(request, &error).size(), 2 << 20);
    EXPECT_TRUE(error.isEmpty());
}

// One byte every 100 ms never trips the inactivity limit; the low-speed limit ends it.
TEST_F(Exchange, TricklingServerCannotHoldTheExchange)
{
    FServer.Get("/trickle", [](const httplib::Request&, httplib::Response& res) {
        res.set_chunked_content_provider("text/plain", [](size_t, httplib::DataSink& sink) {
            for (int i = 0; i < 1200; ++i) { // two minutes at most, unless the client goes first
                if (!sink.write("x", 1))
                    return false;
                std::this_thread::sleep_for(100ms);
            }
            sink.done();
            return true;
        });
    });
    FServer.Start();
    THttpRequest request = Get(FServer.BaseUrl() + QStringLiteral("/trickle"));
    request.readTimeoutMs = 1000;
    auto exchange = std::async(std::launch::async, [&request] {
        QString error;
        HttpExchange(request, &error);
        return error;
    });
    ASSERT_EQ(exchange.wait_for(60s), std::future_status::ready);
    EXPECT_FALSE(exchange.get().isEmpty());
}

class Tls : public Exchange {
protected:
    THttpRequest TlsGet(const QString& url, const QString& caFile) const
    {
        THttpRequest request = Get(url);
        request.tls = THttpTls {caFile};
        return request;
    }
    TTestCertificate FCert;
    TTestServer FSecure {FCert};
};

TEST_F(Tls, RedirectFromHttpToHttpsIsNotFollowed)
{
    FSecure.Get("/landing", TTestServer::Reply(200, "secure"));
    FSecure.Start();
    FServer.Get("/to-tls", [this](const httplib::Request&, httplib::Response& res) {
        res.set_redirect(FSecure.BaseUrl().toStdString() + "/landing", 301);
    });
    FServer.Start();
    const QString start = FServer.BaseUrl() + QStringLiteral("/to-tls");
    THttpRequest request = TlsGet(start, FCert.CertFile());
    request.redirects = THttpRequest::TRedirects::SameOrigin;
    EXPECT_EQ(HttpExchange(request), QString()); // another scheme (and port) is another origin
    request.tls.reset();
    EXPECT_EQ(HttpExchange(request), QString());
    EXPECT_EQ(FSecure.RequestCount(), 0u);
}

TEST_F(Tls, UntrustedCertificateIsRefused)
{
    FSecure.Get("/page", TTestServer::Reply(200, "secure"));
    FSecure.Start();
    const TTestCertificate other;
    const QString url = FSecure.BaseUrl() + QStringLiteral("/page");
    EXPECT_EQ(HttpExchange(TlsGet(url, other.CertFile())), QString());
    EXPECT_EQ(HttpExchange(TlsGet(url, QString())), QString());
    EXPECT_EQ(HttpExchange(TlsGet(url, QStringLiteral("/nonexistent/ca.pem"))), QString());
    EXPECT_EQ(FSecure.RequestCount(), 0u);
    EXPECT_EQ(HttpExchange(TlsGet(url, FCert.CertFile())), QStringLiteral("secure"));
}

TEST_F(Exchange, ServerThatNeverAnswersEndsAfterTheReadTimeOut)
{
    FServer.Post("/hang", FServer.Hang());
    FServer.Get("/stall", FServer.Stall("partial"));
    FServer.Start();
    THttpRequest hang = Post(QStringLiteral("/hang"), {QStringLiteral("a=1")});
    hang.readTimeoutMs = 200;
    THttpRequest stall = Get(FServer.BaseUrl() + QStringLiteral("/stall"));
    stall.readTimeoutMs = 200;

    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(HttpExchange(hang), QString());
    // What arrived before the time-out is kept.
    EXPECT_EQ(HttpExchange(stall), QStringLiteral("partial"));
    // Generous: far below the 5 s connect time-out, so it was the read time-out that ended both.
    EXPECT_LT(std::chrono::steady_clock::now() - started, 4500ms);
}

TEST(ExchangeFailure, RefusedConnectionGivesAnEmptyReply)
{
    THttpRequest request;
    {
        TTestServer gone;
        gone.Start();
        request.url = gone.BaseUrl() + QStringLiteral("/x");
    }
    request.connectTimeoutMs = 5000;
    EXPECT_EQ(HttpExchange(request), QString());
}

TEST_F(Exchange, ParallelExchangesFromManyThreads)
{
    FServer.Post(R"(/echo/(\d+))", [](const httplib::Request& req, httplib::Response& res) {
        res.set_content(req.matches[1].str() + ":" + req.body, "text/plain");
    });
    FServer.Start();
    std::vector<std::future<QString>> replies;
    for (int i = 0; i < 8; ++i) {
        replies.push_back(std::async(std::launch::async, [this, i] {
            THttpRequest request = Post(QStringLiteral("/echo/%1").arg(i), {QStringLiteral("n=%1").arg(i)});
            return HttpExchange(request);
        }));
    }
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(replies[i].get(), QStringLiteral("%1:n=%1").arg(i));
}

// ---- the stop check -------------------------------------------------------------------------------------------

// A listening socket that never accepts: the kernel completes the TCP handshake, then nothing ever answers, so a
// TLS exchange waits in its handshake, which libcurl counts as connecting.
class TSilentListener {
public:
    TSilentListener()
        : FSocket(::socket(AF_INET, SOCK_STREAM, 0))
    {
        sockaddr_in address {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof(address);
        if (FSocket < 0 || ::bind(FSocket, reinterpret_cast<sockaddr*>(&address), length) != 0
            || ::listen(FSocket, 8) != 0 || ::getsockname(FSocket, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("no silent listener");
        FPort = ntohs(address.sin_port);
    }
    ~TSilentListener() { ::close(FSocket); }
    TSilentListener(const TSilentListener&) = delete;
    TSilentListener& operator=(const TSilentListener&) = delete;

    QString Url() const { return QStringLiteral("https://127.0.0.1:%1/x").arg(FPort); }

private:
    int FSocket = -1;
    int FPort = 0;
};

// Answers true from the moment its trigger does, and remembers when that was and on which threads it was asked.
class TStopRecorder {
public:
    explicit TStopRecorder(std::function<bool()> ATrigger)
        : FTrigger(std::move(ATrigger))
    {
    }
    std::function<bool()> Check()
    {
        return [this] {
            FThreads.insert(std::this_thread::get_id());
            if (!FStopped && FTrigger()) {
                FStopped = true;
                FStoppedAt = std::chrono::steady_clock::now();
            }
            return FStopped;
        };
    }
    bool Stopped() const { return FStopped; }
    std::chrono::steady_clock::duration SinceStop() const { return std::chrono::steady_clock::now() - FStoppedAt; }
    const std::set<std::thread::id>& Threads() const { return FThreads; }

private:
    std::function<bool()> FTrigger;
    bool FStopped = false;
    std::chrono::steady_clock::time_point FStoppedAt;
    std::set<std::thread::id> FThreads;
};

enum class TStall { Answer, Body, Handshake };

struct StopCase {
    const char* name;
    TStall stall;
};

class StopDuring : public Exchange, public ::testing::WithParamInterface<StopCase> { };

// Time-outs far beyond the test's bound: only the stop can end these exchanges.
TEST_P(StopDuring, ExchangeEndsEmptyOnTheCallingThreadSoonAfterTheStop)
{
    std::atomic<bool> prefixSent {false};
    const httplib::Server::Handler hang = FServer.Hang();
    FServer.Post("/hang", hang);
    FServer.Get("/stall", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content_provider(100, "text/plain", [&](size_t, size_t, httplib::DataSink& sink) {
            sink.write("partial", 7);
            prefixSent = true;
            hang(httplib::Request(), res); // until the server goes
            return false;
        });
    });
    FServer.Start();
    const TSilentListener silent;

    THttpRequest request;
    std::function<bool()> trigger;
    switch (GetParam().stall) {
    case TStall::Answer:
        request = Post(QStringLiteral("/hang"), {QStringLiteral("a=1")});
        trigger = [this] { return FServer.RequestCount() >= 1; };
        break;
    case TStall::Body:
        request = Get(FServer.BaseUrl() + QStringLiteral("/stall"));
        trigger = [&] { return prefixSent.load(); };
        break;
    case TStall::Handshake:
        request = Get(silent.Url());
        request.tls = THttpTls {};
        // Well into the handshake, which a check asked only between transfer steps would never see.
        trigger
            = [start = std::chrono::steady_clock::now()] { return std::chrono::steady_clock::now() - start >= 150ms; };
        break;
    }
    request.connectTimeoutMs = 60000;
    request.readTimeoutMs = 60000;
    TStopRecorder stop(trigger);
    request.stopCheck = stop.Check();

    EXPECT_EQ(HttpExchange(request), QString());
    ASSERT_TRUE(stop.Stopped());
    EXPECT_LT(stop.SinceStop(), 1500ms); // a hang guard only; the latency itself is a benchmark
    EXPECT_EQ(stop.Threads(), std::set<std::thread::id> {std::this_thread::get_id()});
}

INSTANTIATE_TEST_SUITE_P(Http, StopDuring,
    ::testing::Values(StopCase {"ServerThatNeverAnswers", TStall::Answer},
        StopCase {"BodyThatStallsHalfWay", TStall::Body}, StopCase {"TlsHandshake", TStall::Handshake}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Exchange, StopBeforeTheStartSendsNothing)
{
    FServer.Get("/page", TTestServer::Reply(200, "page"));
    FServer.Start();
    THttpRequest request = Get(FServer.BaseUrl() + QStringLiteral("/page"));
    request.stopCheck = [] { return true; };
    EXPECT_EQ(HttpExchange(request), QString());
    EXPECT_EQ(FServer.RequestCount(), 0u);

    request.stopCheck = [] { return false; }; // a check that never stops changes nothing
    EXPECT_EQ(HttpExchange(request), QStringLiteral("page"));
}

// ---- connections kept open ------------------------------------------------------------------------------------

// What a request is to the connection it rides: a GET, a POST that may reach the server twice (a TOP query), a
// POST that may not (an order batch).
enum class TKind { Get, QueryPost, BatchPost };

// The test server behind a network front that counts the connections and exchanges it carries, and can lose
// replies. The front goes first, closing the connections, so the server never waits for a kept one.
class KeptConnections : public Exchange {
protected:
    void SetUp() override
    {
        FServer.Get("/page", [this](const httplib::Request&, httplib::Response& res) { Answer("page", res); });
        FServer.Post("/query", [this](const httplib::Request&, httplib::Response& res) { Answer("query", res); });
        FServer.Post("/batch", [this](const httplib::Request&, httplib::Response& res) { Answer("batch", res); });
        FServer.Get("/big", TTestServer::Reply(200, std::string(1 << 20, 'x')));
        FServer.Get("/stall", FServer.Stall("partial")); // until the server goes
        FServer.Start();
        FFront.Start(0, FServer.Port());
    }

    void Answer(const std::string& ABody, httplib::Response& ARes) const
    {
        if (FCloseAfterReply.load())
            ARes.set_header("Connection", "close");
        ARes.set_content(ABody, "text/plain");
    }

    QString FrontUrl(const char* APath) const
    {
        return QStringLiteral("http://127.0.0.1:%1").arg(FFront.Port()) + QLatin1String(APath);
    }

    THttpRequest Request(TKind AKind) const
    {
        if (AKind == TKind::Get)
            return Get(FrontUrl("/page"));
        THttpRequest request = Post(QString(), {QStringLiteral("a=1")});
        request.url = FrontUrl(AKind == TKind::QueryPost ? "/query" : "/batch");
        request.idempotent = AKind == TKind::QueryPost;
        return request;
    }

    static QString Expected(TKind AKind)
    {
        return AKind == TKind::Get ? QStringLiteral("page")
                                   : (AKind == TKind::QueryPost ? QStringLiteral("query") : QStringLiteral("batch"));
    }

    // Those that reached the server, by path.
    size_t Arrivals(const std::string& APath) const
    {
        size_t count = 0;
        for (const TRecordedRequest& request : FServer.Requests())
            count += request.target == APath;
        return count;
    }

    int Count(const char* AName) const { return FFront.Counters()[QLatin1String(AName)].toInt(); }
    void LoseReplies(int AAny, int AOnKept)
    {
        TFaultSettings faults;
        faults.lostReplies = AAny;
        faults.keptDrops = AOnKept;
        FFaults.Set(faults);
    }
    bool AllClosed() const
    {
        return WaitForCondition([this] { return Count("open") == 0; });
    }

    std::atomic<bool> FCloseAfterReply {false};
    TFaultInjector FFaults {1};
    TNetFront FFront {TStandInHost::Top, FFaults};
};

struct TReuseCase {
    const char* name;
    bool scope;
    bool closeAfterReply;
    std::vector<TKind> requests;
    int connections;
};

class ConnectionReuse : public KeptConnections, public ::testing::WithParamInterface<TReuseCase> { };

TEST_P(ConnectionReuse, OneConnectionCarriesEveryExchangeThatMayShareIt)
{
    const TReuseCase& c = GetParam();
    FCloseAfterReply = c.closeAfterReply;
    {
        std::optional<THttpConnectionScope> scope;
        if (c.scope)
            scope.emplace();
        for (size_t i = 0; i < c.requests.size(); ++i) {
            QString error;
            EXPECT_EQ(HttpExchange(Request(c.requests[i]), &error), Expected(c.requests[i])) << i;
            EXPECT_TRUE(error.isEmpty()) << i << ' ' << error.toStdString();
        }
    }
    EXPECT_EQ(Count("connections"), c.connections);
    EXPECT_EQ(Count("exchanges"), static_cast<int>(c.requests.size()));
    EXPECT_EQ(FServer.RequestCount(), c.requests.size());
    // Whatever the scope kept is closed when it ends.
    EXPECT_TRUE(AllClosed());
}

INSTANTIATE_TEST_SUITE_P(Http, ConnectionReuse,
    ::testing::Values(TReuseCase {"WithoutScopeEachExchangeHasItsOwn", false, false,
                          {TKind::Get, TKind::Get, TKind::QueryPost, TKind::BatchPost}, 4},
        TReuseCase {"ScopeSharesOne", true, false, {TKind::Get, TKind::QueryPost, TKind::Get, TKind::QueryPost}, 1},
        TReuseCase {"BatchPostsGetOneEachAndLeaveTheKeptOneAlone", true, false,
            {TKind::Get, TKind::BatchPost, TKind::QueryPost, TKind::BatchPost, TKind::Get}, 3},
        TReuseCase {"ServerClosingAfterEachReplyStillServesEveryRequest", true, true,
            {TKind::Get, TKind::QueryPost, TKind::Get, TKind::BatchPost, TKind::Get}, 5}),
    [](const auto& AInfo) { return std::string(AInfo.param.name); });

TEST_F(KeptConnections, NestedScopesShareTheOutermostsConnections)
{
    {
        const THttpConnectionScope outer;
        EXPECT_EQ(HttpExchange(Request(TKind::Get)), QStringLiteral("page"));
        {
            const THttpConnectionScope inner;
            EXPECT_EQ(HttpExchange(Request(TKind::Get)), QStringLiteral("page"));
        }
        EXPECT_EQ(Count("open"), 1); // the inner scope's end closed nothing
        EXPECT_EQ(HttpExchange(Request(TKind::Get)), QStringLiteral("page"));
    }
    EXPECT_EQ(Count("connections"), 1);
    EXPECT_TRUE(AllClosed());
}

// A kept connection that the server drops under a request: libcurl sends a GET or a query again on a new
// connection, and the server sees it twice; a batch never rides a kept connection, and a batch whose reply is lost
// is a failed exchange that reached the server once.
struct TDropCase {
    const char* name;
    TKind kind;
    bool warmUp; // a GET first, so that a kept connection exists
    int lostReplies;
    int keptDrops;
    bool answered;
    size_t arrivals;
};

class DroppedConnection : public KeptConnections, public ::testing::WithParamInterface<TDropCase> { };

TEST_P(DroppedConnection, IsRepeatedOnlyForWhatMayArriveTwice)
{
    const TDropCase& c = GetParam();
    const THttpConnectionScope scope;
    if (c.warmUp) {
        ASSERT_EQ(HttpExchange(Request(TKind::Get)), QStringLiteral("page"));
    }
    LoseReplies(c.lostReplies, c.keptDrops);
    QString error;
    const QString reply = HttpExchange(Request(c.kind), &error);
    EXPECT_EQ(reply, c.answered ? Expected(c.kind) : QString());
    EXPECT_EQ(error.isEmpty(), c.answered) << error.toStdString();
    const std::string path = c.kind == TKind::Get ? "/page" : (c.kind == TKind::QueryPost ? "/query" : "/batch");
    EXPECT_EQ(Arrivals(path) - (c.warmUp && c.kind == TKind::Get ? 1 : 0), c.arrivals);
    // The next exchange finds a working connection.
    EXPECT_EQ(HttpExchange(Request(TKind::Get)), QStringLiteral("page"));
}

INSTANTIATE_TEST_SUITE_P(Http, DroppedConnection,
    ::testing::Values(TDropCase {"GetOnAKeptConnectionIsRepeated", TKind::Get, true, 0, 1, true, 2},
        TDropCase {"QueryOnAKeptConnectionIsRepeated", TKind::QueryPost, true, 0, 1, true, 2},
        TDropCase {"GetOnANewConnectionIsNot", TKind::Get, false, 1, 0, false, 1},
        TDropCase {"BatchNeverRidesAKeptConnection", TKind::BatchPost, true, 0, 1, true, 1},
        TDropCase {"BatchWhoseReplyIsLostIsNotSentAgain", TKind::BatchPost, true, 1, 0, false, 1}),
    [](const auto& AInfo) { return std::string(AInfo.param.name); });

// Everything an exchange set on the handles is gone for the next one on the same connection.
TEST_F(KeptConnections, EachExchangeOnAKeptConnectionSendsOnlyItsOwnHeadersAndBody)
{
    const THttpConnectionScope scope;
    THttpRequest post = Request(TKind::QueryPost);
    post.contentType = QStringLiteral("text/plain; charset=utf-8");
    post.cookie = QStringLiteral("sid=1");
    post.connection = QStringLiteral("Keep-Alive");
    post.accept = QStringLiteral("*/*");
    post.userAgent = QStringLiteral("other agent");
    ASSERT_EQ(HttpExchange(post), QStringLiteral("query"));
    THttpRequest get = Request(TKind::Get);
    get.userAgent.clear();
    ASSERT_EQ(HttpExchange(get), QStringLiteral("page"));
    const TRecordedRequest sent = FServer.LastRequest();
    EXPECT_EQ(sent.method, "GET");
    EXPECT_EQ(sent.HeaderNames(), (std::vector<std::string> {"accept", "host"}));
    EXPECT_EQ(sent.Header("Accept"), kDefaultAccept);
    EXPECT_TRUE(sent.body.empty());
    EXPECT_EQ(Count("connections"), 1);
}

// An exchange that ended before its reply did (over its cap, stopped) leaves nothing of it to the next.
struct TCutCase {
    const char* name;
    const char* path;
    std::function<void(THttpRequest&, const TTestServer&)> cut;
};

class CutExchange : public KeptConnections, public ::testing::WithParamInterface<TCutCase> { };

TEST_P(CutExchange, LeavesNothingOfItsReplyToTheNext)
{
    const THttpConnectionScope scope;
    ASSERT_EQ(HttpExchange(Request(TKind::Get)), QStringLiteral("page"));
    THttpRequest cut = Get(FrontUrl(GetParam().path));
    GetParam().cut(cut, FServer);
    QString error;
    EXPECT_EQ(HttpExchange(cut, &error), QString());
    EXPECT_FALSE(error.isEmpty());
    EXPECT_EQ(HttpExchange(Request(TKind::Get)), QStringLiteral("page"));
    EXPECT_EQ(HttpExchange(Request(TKind::QueryPost)), QStringLiteral("query"));
}

INSTANTIATE_TEST_SUITE_P(Http, CutExchange,
    ::testing::Values(TCutCase {"OverItsCap", "/big",
                          [](THttpRequest& ARequest, const TTestServer&) { ARequest.maxReplyBytes = 1000; }},
        // Stopped once the request reached the server, whose reply stalls after its first bytes.
        TCutCase {"StoppedHalfWay", "/stall",
            [](THttpRequest& ARequest, const TTestServer& AServer) {
                ARequest.stopCheck = [&AServer] { return AServer.RequestCount() >= 2; };
            }}),
    [](const auto& AInfo) { return std::string(AInfo.param.name); });

TEST_F(KeptConnections, EachThreadKeepsItsOwn)
{
    const auto work = [this] {
        const THttpConnectionScope scope;
        std::vector<QString> got;
        for (const TKind kind : {TKind::Get, TKind::QueryPost, TKind::Get})
            got.push_back(HttpExchange(Request(kind)));
        return got;
    };
    const std::vector<QString> expected {QStringLiteral("page"), QStringLiteral("query"), QStringLiteral("page")};
    auto first = std::async(std::launch::async, work);
    auto second = std::async(std::launch::async, work);
    EXPECT_EQ(first.get(), expected);
    EXPECT_EQ(second.get(), expected);
    EXPECT_EQ(Count("connections"), 2);
    EXPECT_EQ(FServer.RequestCount(), 6u);
    // Each thread's connection closed with its scope.
    EXPECT_TRUE(AllClosed());
}

TEST_F(KeptConnections, AJobsExchangesShareTheWorkersConnectionsUntilTheJobEnds)
{
    TQWorkers workers(1);
    std::promise<std::vector<QString>> replies;
    workers.Post([&](TQJob*) {
        std::vector<QString> got;
        for (const TKind kind : {TKind::Get, TKind::QueryPost, TKind::Get})
            got.push_back(HttpExchange(Request(kind)));
        replies.set_value(got);
    });
    EXPECT_EQ(replies.get_future().get(),
        (std::vector<QString> {QStringLiteral("page"), QStringLiteral("query"), QStringLiteral("page")}));
    EXPECT_EQ(Count("connections"), 1);
    EXPECT_TRUE(AllClosed());
}

// A kept TLS connection was verified against one trust: an exchange trusting something else starts afresh.
TEST_F(Tls, KeptConnectionServesOnlyExchangesOfTheSameTrust)
{
    FSecure.Get("/page", TTestServer::Reply(200, "secure"));
    FSecure.Start();
    const TTestCertificate other;
    const QString url = FSecure.BaseUrl() + QStringLiteral("/page");
    const THttpConnectionScope scope;
    EXPECT_EQ(HttpExchange(TlsGet(url, FCert.CertFile())), QStringLiteral("secure"));
    EXPECT_EQ(HttpExchange(TlsGet(url, other.CertFile())), QString());
    EXPECT_EQ(HttpExchange(TlsGet(url, QString())), QString());
    EXPECT_EQ(FSecure.RequestCount(), 1u);
    EXPECT_EQ(HttpExchange(TlsGet(url, FCert.CertFile())), QStringLiteral("secure"));
    EXPECT_EQ(FSecure.RequestCount(), 2u);
}

// A new connection inside a scope resumes the TLS session of the last one: no certificate is sent or checked again.
TEST_F(Tls, NewConnectionResumesTheSession)
{
    FSecure.Get("/page", [](const httplib::Request&, httplib::Response& res) {
        res.set_header("Connection", "close");
        res.set_content("secure", "text/plain");
    });
    FSecure.Start();
    const QString url = FSecure.BaseUrl() + QStringLiteral("/page");
    {
        const THttpConnectionScope scope;
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(HttpExchange(TlsGet(url, FCert.CertFile())), QStringLiteral("secure")) << i;
    }
    SSL_CTX* context = FSecure.TlsContext();
    EXPECT_EQ(SSL_CTX_sess_accept_good(context), 3);
    EXPECT_EQ(SSL_CTX_sess_hits(context), 2);
}

} // namespace
