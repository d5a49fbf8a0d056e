// One account's 15-day invalid-order pass (120 slices of 3 pages, 100 orders a page, none cached) against a
// zero-latency loopback gateway, and the floor: the same 360 requests from a bare libcurl loop with the same
// 5 ms pauses between pages.
#include "curlCollect.h"
#include "foundation/globals.h"
#include "standin/testservers.h"
#include "store/ucommon.h"
#include "store/udb.h"
#include "taobao/topApiGetOrders.h"

#include <QDateTime>
#include <QTemporaryDir>

#include <httplib.h>

#include <curl/curl.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

std::string OrderPage(int APage)
{
    std::string orders;
    for (int i = 0; i < 100; ++i) {
        const std::string id = std::to_string(1900000000000000000LL + APage * 1000 + i);
        if (!orders.empty())
            orders += ',';
        orders += R"({"trade_id":")" + id + R"(","trade_parent_id":")" + id
            + R"(","pay_price":"23.50","pub_share_fee":"1.17","tk_status":13,"item_title":"夏季新款连衣裙",)"
              R"("tk_create_time":"2026-12-01 10:11:12","alipay_total_price":"23.50","item_num":1})";
    }
    return R"({"tbk_sc_order_details_get_response":{"data":{"has_next":)" + std::string(APage < 3 ? "true" : "false")
        + R"(,"position_index":"pi)" + std::to_string(APage) + R"(","page_no":)" + std::to_string(APage)
        + R"(,"page_size":100,"results":{"publisher_order_dto":[)" + orders + "]}}}}";
}

// Gateway, settings and an empty order cache for the whole benchmark run.
class TAccountPassWorld {
public:
    TAccountPassWorld()
    {
        for (int page = 1; page <= 3; ++page)
            FPages[page - 1] = OrderPage(page);
        FServer.Post("/router/rest",
            [this](const httplib::Request&, httplib::Response& res, const httplib::ContentReader& reader) {
                std::string body;
                reader([&body](const char* AData, size_t ASize) {
                    body.append(AData, ASize);
                    return true;
                });
                const size_t at = body.find("page_no=");
                const int page = at == std::string::npos ? 1 : body[at + 8] - '0';
                res.set_content(FPages[std::clamp(page, 1, 3) - 1], "application/json;charset=UTF-8");
            });
        BoundServerThreads(FServer);
        FPort = FServer.bind_to_any_port("127.0.0.1");
        if (FPort <= 0)
            throw std::runtime_error("no loopback port");
        FThread = std::thread([this] { FServer.listen_after_bind(); });
        while (!FServer.is_running())
            std::this_thread::yield();

        if (!WriteConfIni(FFolder.path(), {{"topGateway", QStringLiteral("127.0.0.1:%1").arg(FPort)}},
                {{"openLarge", QStringLiteral("0")}}))
            throw std::runtime_error("no settings file");
        FCommon = std::make_unique<TCommon>(FFolder.path());
        TGlobal<TCommon>::Set(FCommon.get());
        CreateOrderCache(FFolder.filePath(QStringLiteral("db.db")));
        FCache = std::make_unique<TDBCacheClass>(FFolder.path());
        TGlobal<TDBCacheClass>::Set(FCache.get());
    }
    ~TAccountPassWorld()
    {
        TGlobal<TDBCacheClass>::Set(nullptr);
        TGlobal<TCommon>::Set(nullptr);
        FServer.stop();
        FThread.join();
    }
    TAccountPassWorld(const TAccountPassWorld&) = delete;
    TAccountPassWorld& operator=(const TAccountPassWorld&) = delete;

    std::string Url() const { return "http://127.0.0.1:" + std::to_string(FPort) + "/router/rest"; }

private:
    QTemporaryDir FFolder;
    std::string FPages[3];
    httplib::Server FServer;
    int FPort = 0;
    std::thread FThread;
    std::unique_ptr<TCommon> FCommon;
    std::unique_ptr<TDBCacheClass> FCache;
};

TAccountPassWorld& World()
{
    static TAccountPassWorld world;
    return world;
}

const QDateTime kEnd(QDate(2026, 12, 10), QTime(12, 0));

void BM_AccountPass_quenlar(benchmark::State& state)
{
    World();
    for (auto _ : state) {
        TTopApiGetOrders downloader(QStringLiteral("session-token"), QString(), QString());
        std::vector<TInvalidOrder> lines;
        downloader.getOrdersToList(kEnd.addDays(-15), kEnd, 13, lines);
        if (lines.size() != 120 * 300)
            state.SkipWithError("unexpected line count");
        benchmark::DoNotOptimize(lines.data());
    }
}

void BM_AccountPass_floor(benchmark::State& state)
{
    const std::string url = World().Url();
    for (auto _ : state) {
        for (int slice = 0; slice < 120; ++slice) {
            for (int page = 1; page <= 3; ++page) {
                const std::string body = "v=2.0&sign_method=md5&format=json&app_key=41852093&session=session-token"
                                         "&method=taobao.tbk.sc.order.details.get&query_type=1&page_no="
                    + std::to_string(page)
                    + "&page_size=100&tk_status=13&order_scene=1&start_time=2026-11-25+12%3A00%3A00"
                      "&end_time=2026-11-25+15%3A00%3A00&timestamp=2026-12-10+12%3A00%3A00"
                      "&sign=0123456789ABCDEF0123456789ABCDEF";
                std::string reply;
                CURL* easy = curl_easy_init();
                curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
                curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.c_str());
                curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Collect);
                curl_easy_setopt(easy, CURLOPT_WRITEDATA, &reply);
                curl_easy_perform(easy);
                curl_easy_cleanup(easy);
                benchmark::DoNotOptimize(reply.data());
                std::this_thread::sleep_for(std::chrono::milliseconds(TTopPages::kPagePauseMs));
            }
        }
    }
}

} // namespace

BENCHMARK(BM_AccountPass_quenlar)->Name("BM_AccountPass/quenlar")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AccountPass_floor)->Name("BM_AccountPass/floor")->Unit(benchmark::kMillisecond);
