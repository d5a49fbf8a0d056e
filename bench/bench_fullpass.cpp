// One invalid-order pass over 50 accounts (2-day window, 16 three-hour slices each, one page per slice) against the
// stand-in services answering every request 5 ms late. Quenlar's pass (the download, the cache look-ups, the batch
// posts, the pauses between pages) against its floor: the same requests sent back to back by a bare libcurl loop,
// with the same pause after each page.
#include "app/processObjects.h"
#include "foundation/globals.h"
#include "operator/uapiApp.h"
#include "standInFolder.h"
#include "standin/standin.h"
#include "store/udb.h"
#include "sync/accountHealth.h"
#include "sync/agedOutOrders.h"
#include "sync/delivery.h"
#include "taobao/topApiGetOrders.h"

#include <QDateTime>
#include <QDir>

#include <benchmark/benchmark.h>
#include <curl/curl.h>

#include <atomic>
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
        : FFolder(StandInOptions(FEnd), "syncysh=0\nopenLarge=0\n")
        , FObjects(FFolder.ProcessObjects())
    {
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

    // The body of the program's invalid-order pass, over the 2-day window in 3-hour slices; with AHealth, the
    // pass's health bookkeeping as the pass runner does it, whose own time is added to AHealthSeconds.
    void QuenlarPass(TAccountHealth* AHealth = nullptr, double* AHealthSeconds = nullptr)
    {
        const QDateTime begin = FEnd.addSecs(-kWindowS);
        const auto timed = [AHealthSeconds](const auto& AStep) {
            const auto start = std::chrono::steady_clock::now();
            AStep();
            if (AHealthSeconds)
                *AHealthSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        };
        if (AHealth)
            timed([AHealth] { AHealth->PassStarted(TPassKind::Invalid); });
        for (const TDemoAccount& account : FFolder.StandIn().Data().Accounts()) {
            const QDateTime start = QDateTime::currentDateTime();
            std::vector<TInvalidOrder> read;
            TTopApiGetOrders orders(QString::fromStdString(account.accessToken), QString(), QString());
            orders.getOrdersToList(begin, FEnd, 13, read);
            const std::vector<TInvalidOrder> lines = TDelivery::Unsent(*FCache, read);
            FDelivery.PostInvalid(*FCache, *APIApp(), lines);
            if (AHealth) {
                TAccountPassOutcome outcome;
                outcome.found = outcome.delivered = static_cast<int>(lines.size());
                timed([&] {
                    AHealth->AccountPassEnded(
                        TPassKind::Invalid, QString::fromStdString(account.userId), start, outcome);
                });
            }
        }
        if (AHealth)
            timed([AHealth] { AHealth->PassEnded(TPassKind::Invalid, 300000); });
    }

    // The health model as the controller has it: every account listed, a change noted for the main thread.
    void ListAccounts(TAccountHealth& AHealth) const
    {
        std::vector<TAccountHealth::TListedAccount> listed;
        for (const TDemoAccount& account : FFolder.StandIn().Data().Accounts())
            listed.push_back({QString::fromStdString(account.userId), QString::fromStdString(account.userName),
                QDateTime::currentSecsSinceEpoch() + 86400 * 300, true});
        AHealth.SetAccounts(listed);
    }

    // After the first pass: what it sent becomes the floor's script, and the servers stop recording. The script
    // goes to the services' public addresses, as the program's requests do.
    void TakeScript()
    {
        const std::string top = "http://" + FFolder.StandIn().HostValue(TStandInHost::Top).toStdString();
        const std::string intake = "http://" + FFolder.StandIn().HostValue(TStandInHost::Intake).toStdString();
        for (const TRecordedRequest& request : FFolder.StandIn().Server(TStandInHost::Top).Requests())
            FPages.push_back(top + request.target + '\n' + request.body);
        for (const TRecordedRequest& request : FFolder.StandIn().Server(TStandInHost::Intake).Requests())
            FPosts.push_back(intake + request.target + '\n' + request.body);
        for (const TStandInHost host : {TStandInHost::Top, TStandInHost::Intake})
            FFolder.StandIn().Server(host).SetRecording(false);
        if (FPages.size() != static_cast<size_t>(kAccounts) * 16 || FPosts.empty())
            throw std::runtime_error("the pass did not send one page per slice and its batches");
    }

    const std::vector<std::string>& Pages() const { return FPages; }
    const std::vector<std::string>& Posts() const { return FPosts; }
    TStandIn& StandIn() { return FFolder.StandIn(); }

private:
    static TStandInOptions StandInOptions(const QDateTime& AEnd)
    {
        TStandInOptions options;
        options.accounts = kAccounts;
        options.seed = 3;
        options.record = true; // the first pass's requests are the floor's script
        options.clock = [now = AEnd.toSecsSinceEpoch()] { return now; };
        options.faults.latencyMs = kLatencyMs;
        return options;
    }

    const QDateTime FEnd = QDateTime::currentDateTime();
    TStandInFolder FFolder;
    std::unique_ptr<TProcessObjects> FObjects;
    std::unique_ptr<TDBCacheClass> FCache;
    int FCaches = 0;
    TAgedOutOrders FAgedOut;
    TDelivery FDelivery {FAgedOut};
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

// The same pass with the account health kept as the pass runner keeps it; health_share is the part of the pass's
// time that the bookkeeping took.
void BM_FullPass_health(benchmark::State& AState)
{
    const std::unique_ptr<TFullPassWorld> scripted = ScriptedWorld();
    TFullPassWorld& world = *scripted;
    TAccountHealth health;
    std::atomic<int> changes {0};
    health.SetOnChanged([&changes] { changes.fetch_add(1, std::memory_order_relaxed); });
    world.ListAccounts(health);
    double healthSeconds = 0;
    double passSeconds = 0;
    for (auto _ : AState) {
        AState.PauseTiming();
        world.FreshCache();
        AState.ResumeTiming();
        const auto start = std::chrono::steady_clock::now();
        world.QuenlarPass(&health, &healthSeconds);
        passSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    AState.counters["health_share"] = passSeconds > 0 ? healthSeconds / passSeconds : 0;
    AState.counters["health_us_per_pass"] = healthSeconds * 1e6 / static_cast<double>(AState.iterations());
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
            std::this_thread::sleep_for(std::chrono::milliseconds(TTopPages::kPagePauseMs));
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
BENCHMARK(BM_FullPass_health)
    ->Name("BM_FullPass/quenlar_health")
    ->UseRealTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FullPass_floor)->Name("BM_FullPass/floor")->UseRealTime()->Iterations(3)->Unit(benchmark::kMillisecond);

} // namespace
