#include "foundation/qjson.h"

#include <QByteArray>
#include <QString>

#include <benchmark/benchmark.h>
#include <nlohmann/json.hpp>
#include <rapidjson/document.h>
#include <simdjson.h>

#include <cstdint>
#include <string>

namespace {

// A page of the affiliate order download as the gateway sends it: 100 orders of about 30 fields with 18-19 digit
// id strings, a Chinese item title, amounts as decimal strings and time texts. Deterministic, so runs compare.
class TOrderPageWriter {
public:
    std::string Page()
    {
        std::string out = R"({"tbk_sc_order_details_get_response":{"data":{"has_next":true,"page_no":1,)"
                          R"("page_size":100,"position_index":"1714538096_24bQZuKDxxxxx","results":{)"
                          R"("publisher_order_dto":[)";
        for (int i = 0; i < 100; ++i) {
            if (i > 0)
                out += ',';
            Order(out, i);
        }
        out += R"(]}},"request_id":"15rwjr0e7hmdc"}})";
        return out;
    }

private:
    std::uint64_t Next()
    {
        FState = FState * 6364136223846793005ULL + 1442695040888963407ULL;
        return FState >> 17;
    }
    std::string Id(int ADigits)
    {
        std::string id = std::to_string(1 + Next() % 9);
        while (int(id.size()) < ADigits)
            id += char('0' + Next() % 10);
        return id;
    }
    std::string Amount()
    {
        const std::uint64_t fen = Next() % 100000;
        std::string cents = std::to_string(fen % 100);
        return std::to_string(fen / 100) + '.' + (cents.size() == 1 ? "0" + cents : cents);
    }
    std::string Time()
    {
        char text[32];
        std::snprintf(text, sizeof text, "2024-05-%02d %02d:%02d:%02d", int(1 + Next() % 28), int(Next() % 24),
            int(Next() % 60), int(Next() % 60));
        return text;
    }
    static void Text(std::string& AOut, const char* AName, const std::string& AValue)
    {
        AOut += '"';
        AOut += AName;
        AOut += "\":\"";
        AOut += AValue;
        AOut += "\",";
    }
    static void Number(std::string& AOut, const char* AName, std::uint64_t AValue)
    {
        AOut += '"';
        AOut += AName;
        AOut += "\":";
        AOut += std::to_string(AValue);
        AOut += ',';
    }

    void Order(std::string& AOut, int AIndex)
    {
        static const char* const kTitles[] = {
            "2024夏季新款纯棉短袖T恤男士宽松圆领半袖上衣潮流百搭",
            "【官方正品】保温杯女士高颜值316不锈钢便携水杯大容量",
            "儿童益智玩具积木拼装男孩女孩3-6岁生日礼物",
            "无线蓝牙耳机入耳式降噪运动跑步超长续航适用苹果华为",
        };
        const std::string trade = Id(19);
        AOut += '{';
        Text(AOut, "trade_id", trade);
        Text(AOut, "trade_parent_id", AIndex % 3 == 0 ? Id(18) : trade);
        Text(AOut, "item_title", kTitles[AIndex % 4]);
        Text(AOut, "item_id", "vr" + Id(12) + "-" + Id(12));
        Text(AOut, "item_img", "//img.alicdn.com/bao/uploaded/i4/" + Id(10) + "/O1CN01abcdEFgh_!!0-item_pic.jpg");
        Text(AOut, "item_link", "http://item.taobao.com/item.htm?id=" + Id(12));
        Text(AOut, "item_category_name", "服饰鞋包");
        Text(AOut, "seller_nick", "旗舰店" + std::to_string(AIndex));
        Number(AOut, "item_num", 1 + Next() % 3);
        Text(AOut, "item_price", Amount());
        Text(AOut, "alipay_total_price", Amount());
        Text(AOut, "pay_price", Amount());
        Text(AOut, "pub_share_pre_fee", Amount());
        Text(AOut, "pub_share_fee", Amount());
        Text(AOut, "pub_share_rate", "100.00");
        Text(AOut, "tk_total_rate", "5.50");
        Text(AOut, "total_commission_rate", "0.06");
        Text(AOut, "tk_create_time", Time());
        Text(AOut, "tk_paid_time", Time());
        Text(AOut, "tb_paid_time", Time());
        Text(AOut, "tk_earning_time", Time());
        Text(AOut, "order_type", "天猫");
        Text(AOut, "flow_source", "--");
        Text(AOut, "terminal_type", "无线");
        Number(AOut, "tk_status", AIndex % 5 == 0 ? 13 : 12);
        Number(AOut, "tk_order_role", 2);
        Number(AOut, "refund_tag", 0);
        Number(AOut, "adzone_id", 100000000000 + Next() % 1000000000);
        Text(AOut, "adzone_name", "推广位一");
        Number(AOut, "site_id", 1000000 + Next() % 1000000);
        Text(AOut, "site_name", "导购站点");
        Number(AOut, "pub_id", 100000 + Next() % 100000);
        AOut.pop_back();
        AOut += '}';
    }

    std::uint64_t FState = 20240501;
};

const std::string& OrderPage()
{
    static const std::string page = TOrderPageWriter().Page();
    return page;
}

void ParseQuenlar(benchmark::State& AState)
{
    const QByteArray bytes = QByteArray::fromStdString(OrderPage());
    for (auto _ : AState) {
        TQJson json;
        const bool ok = json.TryParse(QString::fromUtf8(bytes)); // the program decodes every reply first
        benchmark::DoNotOptimize(ok);
        if (!ok
            || json.ItemByPath(u"tbk_sc_order_details_get_response.data.results.publisher_order_dto")->Count() != 100)
            AState.SkipWithError("parse failed");
    }
    AState.SetBytesProcessed(std::int64_t(AState.iterations()) * bytes.size());
}

void ParseRapidJson(benchmark::State& AState)
{
    const std::string& page = OrderPage();
    for (auto _ : AState) {
        rapidjson::Document document;
        document.Parse(page.data(), page.size());
        benchmark::DoNotOptimize(document.HasParseError());
        if (document.HasParseError())
            AState.SkipWithError("parse failed");
    }
    AState.SetBytesProcessed(std::int64_t(AState.iterations()) * std::int64_t(page.size()));
}

// The fastest DOM reader there is, as it is meant to be used: one parser kept for every page (it keeps its buffers
// the way the program keeps its node chunks) and the text padded once, outside the loop.
void ParseSimdJson(benchmark::State& AState)
{
    const simdjson::padded_string page(OrderPage());
    simdjson::dom::parser parser;
    for (auto _ : AState) {
        simdjson::dom::element document;
        const simdjson::error_code error = parser.parse(page).get(document);
        benchmark::DoNotOptimize(document);
        if (error != simdjson::SUCCESS)
            AState.SkipWithError("parse failed");
    }
    AState.SetBytesProcessed(std::int64_t(AState.iterations()) * std::int64_t(page.size()));
}

void ParseNlohmann(benchmark::State& AState)
{
    const std::string& page = OrderPage();
    for (auto _ : AState) {
        nlohmann::json document = nlohmann::json::parse(page, nullptr, false);
        benchmark::DoNotOptimize(document.is_discarded());
        if (document.is_discarded())
            AState.SkipWithError("parse failed");
    }
    AState.SetBytesProcessed(std::int64_t(AState.iterations()) * std::int64_t(page.size()));
}

// A short reply such as the operator back end and the sign-in datagrams send: the fixed cost of a parse.
const std::string kSmallReply = R"({"code":0,"msg":"success","time":1714538096,"data":{"mmNick":"tb_123456",)"
                                R"("userId":"2208123456789","cookies":"t=0f1e; _tb_token_=e5f3a1b2; cna=x"}})";

void ParseSmallQuenlar(benchmark::State& AState)
{
    const QByteArray bytes = QByteArray::fromStdString(kSmallReply);
    for (auto _ : AState) {
        TQJson json;
        const bool ok = json.TryParse(QString::fromUtf8(bytes));
        benchmark::DoNotOptimize(ok);
        if (!ok || json.ItemByPath(u"data.mmNick") == nullptr)
            AState.SkipWithError("parse failed");
    }
}

void ParseSmallRapidJson(benchmark::State& AState)
{
    for (auto _ : AState) {
        rapidjson::Document document;
        document.Parse(kSmallReply.data(), kSmallReply.size());
        benchmark::DoNotOptimize(document.HasParseError());
        if (document.HasParseError())
            AState.SkipWithError("parse failed");
    }
}

void ParseSmallNlohmann(benchmark::State& AState)
{
    for (auto _ : AState) {
        nlohmann::json document = nlohmann::json::parse(kSmallReply, nullptr, false);
        benchmark::DoNotOptimize(document.is_discarded());
        if (document.is_discarded())
            AState.SkipWithError("parse failed");
    }
}

[[maybe_unused]] const bool kRegistered = [] {
    benchmark::RegisterBenchmark("BM_ParseOrderPage/quenlar", ParseQuenlar);
    benchmark::RegisterBenchmark("BM_ParseOrderPage/rapidjson", ParseRapidJson);
    benchmark::RegisterBenchmark("BM_ParseOrderPage/simdjson", ParseSimdJson);
    benchmark::RegisterBenchmark("BM_ParseOrderPage/nlohmann", ParseNlohmann);
    benchmark::RegisterBenchmark("BM_ParseSmallReply/quenlar", ParseSmallQuenlar);
    benchmark::RegisterBenchmark("BM_ParseSmallReply/rapidjson", ParseSmallRapidJson);
    benchmark::RegisterBenchmark("BM_ParseSmallReply/nlohmann", ParseSmallNlohmann);
    return true;
}();

} // namespace
