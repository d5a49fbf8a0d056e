#include "standin/demodata.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace {

std::uint64_t Mix(std::uint64_t AValue)
{
    // splitmix64's finaliser: cheap, and every input bit reaches every output bit.
    AValue += 0x9E3779B97F4A7C15ULL;
    AValue = (AValue ^ (AValue >> 30)) * 0xBF58476D1CE4E5B9ULL;
    AValue = (AValue ^ (AValue >> 27)) * 0x94D049BB133111EBULL;
    return AValue ^ (AValue >> 31);
}

enum TTag : std::uint64_t { tagAccount = 1, tagOrderCount, tagOrder, tagRefundCount, tagRefund };

std::int64_t FloorDiv(std::int64_t A, std::int64_t B)
{
    return A / B - ((A % B != 0) && ((A < 0) != (B < 0)) ? 1 : 0);
}

} // namespace

std::string TDemoRefund::StatusAt(qint64 ANow) const
{
    return FinishedAt(ANow) ? finalStatus : std::string("维权创建");
}

TDemoData::TDemoData(std::uint64_t ASeed, int AAccounts, int AOrdersPerHour, int ARefundsPerDay, qint64 AStartTime)
    : FSeed(ASeed)
    , FOrdersPerHour(std::max(0, AOrdersPerHour))
    , FRefundsPerDay(std::max(0, ARefundsPerDay))
{
    for (int i = 0; i < AAccounts; ++i) {
        TDemoAccount account;
        account.index = i;
        account.userId = "22" + Digits(Hash(tagAccount, i, 1, 0), 11);
        char name[32];
        std::snprintf(name, sizeof name, "%02d", i + 1);
        account.userName = std::string("演示账号") + name;
        account.memberId = "1" + Digits(Hash(tagAccount, i, 2, 0), 9);
        char token[64];
        std::snprintf(token, sizeof token, "6101%016llx%016llx",
            static_cast<unsigned long long>(Hash(tagAccount, i, 3, 0)),
            static_cast<unsigned long long>(Hash(tagAccount, i, 4, 0)));
        account.accessToken = token;
        account.authTime = AStartTime - 30 * 86400;
        account.expTime = AStartTime + 335 * 86400;
        FAccounts.push_back(std::move(account));
    }
}

const TDemoAccount* TDemoData::AccountByToken(const std::string& AToken) const
{
    for (const TDemoAccount& account : FAccounts) {
        if (account.accessToken == AToken)
            return &account;
    }
    return nullptr;
}

const TDemoAccount* TDemoData::AccountById(const std::string& AUserId) const
{
    for (const TDemoAccount& account : FAccounts) {
        if (account.userId == AUserId)
            return &account;
    }
    return nullptr;
}

std::uint64_t TDemoData::Hash(std::uint64_t A, std::uint64_t B, std::uint64_t C, std::uint64_t D) const
{
    return Mix(Mix(Mix(Mix(FSeed ^ A) ^ B) ^ C) ^ D);
}

std::string TDemoData::Digits(std::uint64_t AHash, int ACount) const
{
    std::string out;
    for (int i = 0; i < ACount; ++i) {
        out += static_cast<char>('0' + AHash % 10);
        AHash = Mix(AHash);
    }
    return out;
}

std::string TDemoData::Letters(std::uint64_t AHash, int ACount) const
{
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::string out;
    for (int i = 0; i < ACount; ++i) {
        out += kAlphabet[AHash % (sizeof kAlphabet - 1)];
        AHash = Mix(AHash);
    }
    return out;
}

std::vector<TDemoOrder> TDemoData::OrdersCreated(int AAccount, qint64 AFrom, qint64 ATo) const
{
    std::vector<TDemoOrder> orders;
    if (FOrdersPerHour == 0)
        return orders;
    for (qint64 hour = FloorDiv(AFrom, 3600); hour * 3600 < ATo; ++hour) {
        const std::uint64_t bucket = static_cast<std::uint64_t>(hour);
        const int count = static_cast<int>(Hash(tagOrderCount, AAccount, bucket, 0) % (2 * FOrdersPerHour + 1));
        std::string previousParent;
        for (int j = 0; j < count; ++j) {
            const std::uint64_t r = Hash(tagOrder, AAccount, bucket, j);
            TDemoOrder order;
            order.createTime = hour * 3600 + static_cast<qint64>(r % 3600);
            // About a third of the ids have 19 digits: more than a double holds exactly.
            const std::uint64_t idHash = Mix(r ^ 0x51);
            order.tradeId
                = (idHash % 3 == 0 ? std::string(1, static_cast<char>('1' + (idHash >> 8) % 3)) + Digits(idHash, 18)
                                   : std::string(1, static_cast<char>('1' + (idHash >> 8) % 9)) + Digits(idHash, 17));
            // Now and then the next item of the same purchase.
            order.parentId = (!previousParent.empty() && (r >> 20) % 4 == 0) ? previousParent : order.tradeId;
            previousParent = order.parentId;
            order.paidTime = order.createTime + static_cast<qint64>((r >> 8) % 60);
            const int draw = static_cast<int>((r >> 16) % 100);
            if (draw < 20) {
                order.finalStatus = 12;
                order.finalTime = order.paidTime;
            } else if (draw < 50) {
                order.finalStatus = 13;
                order.finalTime = order.paidTime + 600 + static_cast<qint64>((r >> 24) % (6 * 3600));
            } else if (draw < 75) {
                order.finalStatus = 14;
                order.finalTime = order.paidTime + 86400 + static_cast<qint64>((r >> 24) % (4 * 86400));
            } else {
                order.finalStatus = 3;
                order.finalTime = order.paidTime + 3 * 86400 + static_cast<qint64>((r >> 24) % (9 * 86400));
            }
            order.payCents = 100 + static_cast<qint64>((r >> 32) % 50000);
            order.shareCents = order.payCents * static_cast<qint64>(1 + (r >> 48) % 20) / 100;
            order.itemId = 500000000000 + static_cast<qint64>(Mix(r) % 100000000000);
            order.itemKey = Letters(Mix(r ^ 0x1D), 6) + "-" + Letters(Mix(r ^ 0x2E), 22);
            order.title = "演示商品 " + std::to_string(order.itemId % 100000);
            if (order.createTime >= AFrom && order.createTime < ATo)
                orders.push_back(std::move(order));
        }
    }
    return orders;
}

std::vector<TDemoRefund> TDemoData::RefundsCreated(int AAccount, qint64 AFrom, qint64 ATo) const
{
    std::vector<TDemoRefund> refunds;
    if (FRefundsPerDay == 0)
        return refunds;
    for (qint64 day = FloorDiv(AFrom, 86400); day * 86400 < ATo; ++day) {
        const std::uint64_t bucket = static_cast<std::uint64_t>(day);
        const int count = static_cast<int>(Hash(tagRefundCount, AAccount, bucket, 0) % (2 * FRefundsPerDay + 1));
        for (int j = 0; j < count; ++j) {
            const std::uint64_t r = Hash(tagRefund, AAccount, bucket, j);
            TDemoRefund refund;
            refund.createTime = day * 86400 + static_cast<qint64>(r % 86400);
            const std::uint64_t idHash = Mix(r ^ 0x77);
            refund.tradeId = std::string(1, static_cast<char>('1' + (idHash >> 8) % 3)) + Digits(idHash, 18);
            refund.parentId = (r >> 40) % 3 == 0
                ? refund.tradeId
                : std::string(1, static_cast<char>('1' + (idHash >> 16) % 3)) + Digits(Mix(idHash), 18);
            refund.suitId = "1" + Digits(Mix(r ^ 0x5A), 11);
            refund.title = "演示商品 " + std::to_string(Mix(r) % 100000);
            refund.image = "//img.alicdn.com/imgextra/demo/" + std::to_string(Mix(r) % 1000000) + ".jpg";
            refund.finalStatus = (r >> 16) % 100 < 65 ? "维权成功" : "维权失败";
            refund.earningTime = refund.createTime - 86400 - static_cast<qint64>((r >> 8) % (20 * 86400));
            refund.tradeCreateTime = refund.earningTime - 86400 - static_cast<qint64>(Mix(r ^ 0x3C) % (9 * 86400));
            refund.finishTime = refund.createTime + 3600 + static_cast<qint64>((r >> 24) % (5 * 86400));
            refund.totalCents = 500 + static_cast<qint64>((r >> 32) % 60000);
            refund.refundCents = refund.totalCents * static_cast<qint64>(30 + (r >> 48) % 71) / 100;
            refund.returnCents = refund.refundCents * static_cast<qint64>(1 + (r >> 56) % 20) / 100;
            refund.orderRole = (r >> 60) % 2 == 0 ? 2 : 3;
            if (refund.createTime >= AFrom && refund.createTime < ATo)
                refunds.push_back(std::move(refund));
        }
    }
    return refunds;
}

std::string TDemoData::Money(qint64 ACents)
{
    char text[40];
    std::snprintf(text, sizeof text, "%s%lld.%02lld", ACents < 0 ? "-" : "",
        static_cast<long long>(std::llabs(ACents) / 100), static_cast<long long>(std::llabs(ACents) % 100));
    return text;
}
