// One invalid-order pass over 50 accounts (2-day window, 16 three-hour slices each, one page per slice) against the
// stand-in services answering every request 5 ms late. Quenlar's pass (the download, the cache look-ups, the batch
// posts, the pauses between pages) against its floor: the same requests sent back to back by a bare libcurl loop,
// with the same pause after each page.
#include "foundation/globals.h"
#include "operator/uapiApp.h"
#include "standin/standin.h"
#include "store/udb.h"
#include "sync/processObjects.h"
#include "taobao/topApiGetOrders.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kAccounts = 50;
constexpr int kLatencyMs = 5;
constexpr qint64 kWindowS = 2 * 86400;

// The stand-in, a program folder pointing at it, and Quenlar's process objects. The window ends at a fixed time so
// that every pass asks for the same slices.
class TFullPassWorld {
public:
    TFullPassWorld()
    {
        TStandInOptions options;
        options.ports.fill(0);
        options.controlPort = 0;
        options.accounts = kAccounts;
        options.seed = 3;
        options.record = true; // the first pass's requests are the floor's script
        options.clock = [now = FEnd.toSecsSinceEpoch()] { return now; };
        options.faults.latencyMs = kLatencyMs;
        FStandIn = std::make_unique<TStandIn>(std::move(options));
        FStandIn->Start();
        QFile ini(FFolder.filePath(QStringLiteral("conf.ini")));
        if (!ini.open(QIODevice::WriteOnly))
            throw std::runtime_error("conf.ini");
        ini.write(FStandIn->HostsSection().toUtf8() + "[setting]\nsyncysh=0\nopenLarge=0\n");
        ini.close();
        TProcessObjects::TOptions objects;
        objects.programFolder = FFolder.path();
        objects.moduleFileName = FFolder.filePath(QStringLiteral("quenlar"));
        FObjects = std::make_unique<TProcessObjects>(objects);
    }
    ~TFullPassWorld()
    {
        TGlobal<TDBCacheClass>::Set(nullptr);
        FCache.reset();
        FObjects->StopJobs();
        FObjects.reset();
    }

    // A fresh order cache, so that every pass finds every order new.
    void FreshCache()
    {
        TGlobal<TDBCacheClass>::Set(nullptr);
        FCache.reset();
        const QString folder = FFolder.filePath(QStringLiteral("cache%1").arg(++FCaches));
        QDir().mkpath(folder);
        CreateOrderCache(folder + QStringLiteral("/db.db"));
        FCache = std::make_unique<TDBCacheClass>(folder);
        TGlobal<TDBCacheClass>::Set(FCache.get());
    }

    // The body of the program's invalid-order pass, over the 2-day window in 3-hour slices.
    void QuenlarPass()
    {
        const QDateTime begin = FEnd.addSecs(-kWindowS);
        for (const TDemoAccount& account : FStandIn->Data().Accounts()) {
            QStringList lines;
            TTopApiGetOrders orders(QString::fromStdString(account.accessToken), QString(), QString());
            orders.getOrdersToList(begin, FEnd, 13, lines);
            APIApp()->postOrderData(lines);
        }
        APIApp()->WaitForPosts();
    }

    // After the first pass: what it sent becomes the floor's script, and the servers stop recording.
    void TakeScript()
    {
        for (const TRecordedRequest& request : FStandIn->Server(TStandInHost::Top).Requests())
            FPages.push_back(
                FStandIn->Server(TStandInHost::Top).BaseUrl().toStdString() + request.target + '\n' + request.body);
        for (const TRecordedRequest& request : FStandIn->Server(TStandInHost::Intake).Requests())
            FPosts.push_back(
                FStandIn->Server(TStandInHost::Intake).BaseUrl().toStdString() + request.target + '\n' + request.body);
        for (const TStandInHost host : {TStandInHost::Top, TStandInHost::Intake})
            FStandIn->Server(host).SetRecording(false);
        if (FPages.size() != static_cast<size_t>(kAccounts) * 16 || FPosts.empty())
            throw std::runtime_error("the pass did not send one page per slice and its batches");
    }

    const std::vector<std::string>& Pages() const { return FPages; }
    const std::vector<std::string>& Posts() const { return FPosts; }
    TStandIn& StandIn() { return *FStandIn; }

private:
    const QDateTime FEnd = QDateTime::currentDateTime();
    QTemporaryDir FFolder;
    std::unique_ptr<TStandIn> FStandIn;
    std::unique_ptr<TProcessObjects> FObjects;
    std::unique_ptr<TDBCacheClass> FCache;
    int FCaches = 0;
    std::vector<std::string> FPages; // "url\nbody"
    std::vector<std::string> FPosts;
};

// A world whose first pass (untimed) has written the floor's script. One per case: it must end while the
// application object is still there.
std::unique_ptr<TFullPassWorld> ScriptedWorld()
{
    auto world = std::make_unique<TFullPassWorld>();
    world->FreshCache();
    world->QuenlarPass();
    world->TakeScript();
    return world;
}

size_t Discard(char*, size_t ASize, size_t ACount, void*)
{
    return ASize * ACount;
}

// One form POST on a kept-alive handle.
void CurlPost(CURL* ACurl, const std::string& AScripted)
{
    const size_t cut = AScripted.find('\n');
    const std::string url = AScripted.substr(0, cut);
    const std::string body = AScripted.substr(cut + 1);
    curl_easy_setopt(ACurl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(ACurl, CURLOPT_POSTFIELDS, body.c_str());
    curl_easy_setopt(ACurl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
    if (curl_easy_perform(ACurl) != CURLE_OK)
        throw std::runtime_error("curl");
}

void BM_FullPass_quenlar(benchmark::State& AState)
{
    const std::unique_ptr<TFullPassWorld> scripted = ScriptedWorld();
    TFullPassWorld& world = *scripted;
    for (auto _ : AState) {
        AState.PauseTiming();
        world.FreshCache();
        AState.ResumeTiming();
        world.QuenlarPass();
    }
}

void BM_FullPass_floor(benchmark::State& AState)
{
    const std::unique_ptr<TFullPassWorld> scripted = ScriptedWorld();
    const TFullPassWorld& world = *scripted;
    const std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
    // The program's own request headers: no Expect, so a larger body goes out without waiting for 100 Continue.
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/x-www-form-urlencoded;charset=UTF-8");
    headers = curl_slist_append(headers, "Expect:");
    const std::unique_ptr<curl_slist, void (*)(curl_slist*)> headerList(headers, curl_slist_free_all);
    curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, Discard);
    curl_easy_setopt(curl.get(), CURLOPT_NOPROXY, "*");
    for (auto _ : AState) {
        for (const std::string& page : world.Pages()) {
            CurlPost(curl.get(), page);
            std::this_thread::sleep_for(std::chrono::milliseconds(TTopApiGetOrders::kPagePauseMs));
        }
        for (const std::string& post : world.Posts())
            CurlPost(curl.get(), post);
    }
}

BENCHMARK(BM_FullPass_quenlar)
    ->Name("BM_FullPass/quenlar")
    ->UseRealTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FullPass_floor)->Name("BM_FullPass/floor")->UseRealTime()->Iterations(3)->Unit(benchmark::kMillisecond);

} // namespace
