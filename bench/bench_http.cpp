// One operator form POST over a fresh loopback connection: through the program's transport (lock, form encoding,
// the exchange on the calling thread, reply decoding) against a bare libcurl easy handle. And how long an exchange
// that the server never answers takes to end once its stop check turns true.
#include "curlCollect.h"
#include "operator/APIHttpBase.h"
#include "standin/testservers.h"

#include <httplib.h>

#include <curl/curl.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

const char kReply[] = R"({"code":200,"msg":"ok","time":1700000000,"data":{"uid":"u1","token":"t1"}})";

class TLoopbackServer {
public:
    TLoopbackServer()
    {
        FServer.Post("/client/dbmove/login", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(kReply, "application/json;charset=UTF-8");
        });
        // Holds each request until the next Release(), then answers nothing useful.
        FServer.Get("/hang", [this](const httplib::Request&, httplib::Response& res) {
            std::unique_lock lock(FMutex);
            const int turn = ++FArrived;
            FChanged.notify_all();
            FChanged.wait(lock, [&] { return FReleased >= turn || FStopping; });
            res.status = 500;
        });
        BoundServerThreads(FServer);
        FPort = FServer.bind_to_any_port("127.0.0.1");
        if (FPort <= 0)
            throw std::runtime_error("no loopback port");
        FThread = std::thread([this] { FServer.listen_after_bind(); });
        while (!FServer.is_running())
            std::this_thread::yield();
    }
    ~TLoopbackServer()
    {
        {
            const std::scoped_lock lock(FMutex);
            FStopping = true;
        }
        FChanged.notify_all();
        FServer.stop();
        FThread.join();
    }
    TLoopbackServer(const TLoopbackServer&) = delete;
    TLoopbackServer& operator=(const TLoopbackServer&) = delete;

    std::string Url() const { return "http://127.0.0.1:" + std::to_string(FPort) + "/client/dbmove/login"; }
    std::string HangUrl() const { return "http://127.0.0.1:" + std::to_string(FPort) + "/hang"; }

    // Waits until the held requests number ACount.
    void WaitArrived(int ACount)
    {
        std::unique_lock lock(FMutex);
        FChanged.wait(lock, [&] { return FArrived >= ACount; });
    }
    // Lets every held request go.
    void Release()
    {
        {
            const std::scoped_lock lock(FMutex);
            FReleased = FArrived;
        }
        FChanged.notify_all();
    }
    int Arrived()
    {
        const std::scoped_lock lock(FMutex);
        return FArrived;
    }

private:
    std::mutex FMutex;
    std::condition_variable FChanged;
    int FArrived = 0; // guarded by FMutex
    int FReleased = 0; // guarded by FMutex
    bool FStopping = false; // guarded by FMutex

    httplib::Server FServer;
    int FPort = 0;
    std::thread FThread;
};

TLoopbackServer& Server()
{
    static TLoopbackServer server;
    return server;
}

TParamList LoginParams()
{
    TParamList params;
    params.SetValue(u"phone", QStringLiteral("13800000000"));
    params.SetValue(u"pwd", QStringLiteral(u"pass word 中"));
    params.SetValue(u"timestamp", QStringLiteral("1700000000"));
    params.SetValue(u"sign", QStringLiteral("0123456789abcdef0123456789abcdef"));
    return params;
}

void BM_FormPost_quenlar(benchmark::State& state)
{
    const QString url = QString::fromStdString(Server().Url());
    const TParamList params = LoginParams();
    TAPIHttpBase transport;
    for (auto _ : state) {
        const QString reply = transport.post(url, params);
        if (reply.isEmpty())
            state.SkipWithError("empty reply");
        benchmark::DoNotOptimize(reply.data());
    }
}

void BM_FormPost_curl(benchmark::State& state)
{
    const std::string url = Server().Url();
    const QByteArray body = FormEncodeLines(LoginParams().Lines());
    for (auto _ : state) {
        CURL* easy = curl_easy_init();
        curl_slist* headers = nullptr;
        headers = curl_slist_append(headers, "Accept: text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8");
        headers = curl_slist_append(headers, "Content-Type: application/x-www-form-urlencoded");
        headers = curl_slist_append(headers, "Expect:");
        std::string reply;
        curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
        curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
        curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(easy, CURLOPT_PROXY, "");
        curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(
            easy, CURLOPT_USERAGENT, "Mozilla/5.0 (Windows NT 10.0; WOW64; rv:53.0) Gecko/20100101 Firefox/53.0");
        curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.constData());
        curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Collect);
        curl_easy_setopt(easy, CURLOPT_WRITEDATA, &reply);
        if (curl_easy_perform(easy) != CURLE_OK || reply.empty())
            state.SkipWithError("request failed");
        curl_easy_cleanup(easy);
        curl_slist_free_all(headers);
        const QString text = QString::fromUtf8(reply.data(), static_cast<qsizetype>(reply.size()));
        benchmark::DoNotOptimize(text.data());
    }
}

// From the stop flag being set (on another thread, once the request is held by the server) to the exchange's
// return. The goal is 200 ms; the stop check is asked at least every 50 ms.
void BM_ExchangeStop_quenlar(benchmark::State& state)
{
    using TClock = std::chrono::steady_clock;
    TLoopbackServer& server = Server();
    double longest = 0;
    for (auto _ : state) {
        std::atomic<bool> stop {false};
        THttpRequest request;
        request.url = QString::fromStdString(server.HangUrl());
        request.connectTimeoutMs = 30000;
        request.readTimeoutMs = 30000;
        request.stopCheck = [&stop] { return stop.load(); };
        TClock::time_point stoppedAt;
        const int turn = server.Arrived() + 1;
        std::thread stopper([&] {
            server.WaitArrived(turn);
            stoppedAt = TClock::now();
            stop = true;
        });
        const QString reply = HttpExchange(request);
        const TClock::time_point ended = TClock::now();
        stopper.join();
        server.Release();
        if (!reply.isEmpty())
            state.SkipWithError("a stopped exchange gave a reply");
        const double seconds = std::chrono::duration<double>(ended - stoppedAt).count();
        longest = std::max(longest, seconds);
        state.SetIterationTime(seconds);
    }
    state.counters["longest_ms"] = longest * 1000;
}

} // namespace

BENCHMARK(BM_ExchangeStop_quenlar)->Name("BM_ExchangeStop/quenlar")->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FormPost_quenlar)->Name("BM_FormPost/quenlar")->UseRealTime();
BENCHMARK(BM_FormPost_curl)->Name("BM_FormPost/curl")->UseRealTime();
