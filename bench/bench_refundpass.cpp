// One refund download over the 90-day window for every account, against the stand-in answering every request 5 ms
// late: /report reads the publisher report with each account's web session, /api the TOP refund method with its
// token; both over the same demo refunds. The argument is the demo's refunds per account and day. Counters:
// requests per account-run, refunds per account-run, and the time per delivered refund.
#include "app/processObjects.h"
#include "foundation/globals.h"
#include "standInFolder.h"
#include "standin/standin.h"
#include "store/udb.h"
#include "taobao/topApiGetOrders.h"
#include "taobao/topRefundOrders.h"

#include <QDateTime>

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr int kAccounts = 5;
constexpr int kLatencyMs = 5;
constexpr int kRefundDays = 90;

class TRefundPassWorld {
public:
    explicit TRefundPassWorld(int ARefundsPerDay)
        : FFolder(StandInOptions(ARefundsPerDay, FEnd), "syncysh=0\n")
        , FObjects(FFolder.ProcessObjects())
    {
        // An empty cache: every refund is new to every pass.
        CreateOrderCache(FFolder.filePath(QStringLiteral("db.db")));
        FCache = std::make_unique<TDBCacheClass>(FFolder.path());
        TGlobal<TDBCacheClass>::Set(FCache.get());
        for (const TDemoAccount& account : FFolder.StandIn().Data().Accounts()) {
            const TAlimamaHosts::TSignIn signIn = FFolder.StandIn().Alimama().SignIn(account.userId);
            if (!signIn.ok)
                throw std::runtime_error("sign-in");
            FSessions.push_back({QString::fromStdString(signIn.cookies),
                QStringLiteral("_tb_token_=") + QString::fromStdString(signIn.tbToken),
                QString::fromStdString(account.accessToken)});
        }
    }
    ~TRefundPassWorld()
    {
        TGlobal<TDBCacheClass>::Set(nullptr);
        FCache.reset();
        FObjects->StopJobs();
        FObjects.reset();
    }

    // Every account's refunds through one source; the refunds found.
    size_t Pass(bool AApi) const
    {
        const QDateTime begin = FEnd.addDays(-kRefundDays);
        size_t found = 0;
        for (const TSession& session : FSessions) {
            if (AApi) {
                TTopRefundOrders api(session.token);
                found += api.getRefundOrders(begin, FEnd).size();
            } else {
                TTopApiGetOrders report(QString(), session.cookies, session.tbToken);
                found += report.getWeiquanOrders(begin, FEnd).size();
            }
        }
        return found;
    }

    long long Requests(bool AApi) const
    {
        return AApi ? FFolder.StandIn().Top().Counters().value(QStringLiteral("calls")).toInteger()
                    : FFolder.StandIn().Alimama().Counters().value(QStringLiteral("reportPages")).toInteger();
    }

private:
    static TStandInOptions StandInOptions(int ARefundsPerDay, const QDateTime& AEnd)
    {
        TStandInOptions options;
        options.accounts = kAccounts;
        options.seed = 5;
        options.ordersPerHour = 0;
        options.refundsPerDay = ARefundsPerDay;
        options.clock = [now = AEnd.toSecsSinceEpoch()] { return now; };
        options.faults.latencyMs = kLatencyMs;
        return options;
    }

    struct TSession {
        QString cookies;
        QString tbToken;
        QString token;
    };

    const QDateTime FEnd = QDateTime::currentDateTime();
    TStandInFolder FFolder;
    std::unique_ptr<TProcessObjects> FObjects;
    std::unique_ptr<TDBCacheClass> FCache;
    std::vector<TSession> FSessions;
};

void RefundPass(benchmark::State& AState, bool AApi)
{
    const TRefundPassWorld world(static_cast<int>(AState.range(0)));
    const long long requestsBefore = world.Requests(AApi);
    size_t refunds = 0;
    double seconds = 0;
    for (auto _ : AState) {
        const auto start = std::chrono::steady_clock::now();
        refunds += world.Pass(AApi);
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
    const double accountRuns = static_cast<double>(AState.iterations()) * kAccounts;
    AState.counters["requests_per_account"] = static_cast<double>(world.Requests(AApi) - requestsBefore) / accountRuns;
    AState.counters["refunds_per_account"] = static_cast<double>(refunds) / accountRuns;
    AState.counters["ms_per_refund"] = refunds > 0 ? seconds * 1000 / static_cast<double>(refunds) : 0;
    AState.counters["ms_per_account"] = seconds * 1000 / accountRuns;
}

void BM_RefundPass_report(benchmark::State& AState)
{
    RefundPass(AState, false);
}

void BM_RefundPass_api(benchmark::State& AState)
{
    RefundPass(AState, true);
}

} // namespace

BENCHMARK(BM_RefundPass_report)
    ->Name("BM_RefundPass/report")
    ->Arg(2)
    ->Arg(50)
    ->UseRealTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RefundPass_api)
    ->Name("BM_RefundPass/api")
    ->Arg(2)
    ->Arg(50)
    ->UseRealTime()
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond);
