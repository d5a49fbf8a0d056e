#pragma once

#include <QtGlobal>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The stand-in's clock in Unix seconds; tests fix it.
using TStandInClock = std::function<qint64()>;

// One affiliate account of the demo operator.
struct TDemoAccount {
    int index = 0;
    std::string userId;
    std::string userName;
    std::string memberId;
    std::string accessToken;
    qint64 authTime = 0;
    qint64 expTime = 0;
};

// One affiliate order. Until its final time it shows as paid (12), then as its final status for good.
struct TDemoOrder {
    std::string tradeId;
    std::string parentId;
    int finalStatus = 12;
    qint64 createTime = 0;
    qint64 paidTime = 0;
    qint64 finalTime = 0;
    qint64 payCents = 0;
    qint64 shareCents = 0;
    qint64 itemId = 0;
    std::string itemKey; // the item id as the gateway shows it: encrypted text, never a number
    std::string title;

    int StatusAt(qint64 ANow) const { return ANow >= finalTime ? finalStatus : 12; }
    qint64 ModifiedAt(qint64 ANow) const { return ANow >= finalTime ? finalTime : paidTime; }
};

// One refund (rights-protection) order. Until it is finished it shows as opened, without a finish time.
struct TDemoRefund {
    std::string tradeId;
    std::string parentId;
    std::string suitId; // the refund's own number; an order refunded twice would have two
    std::string title;
    std::string image;
    std::string finalStatus; // "维权成功" or "维权失败"
    qint64 tradeCreateTime = 0; // when the order was placed
    qint64 earningTime = 0;
    qint64 createTime = 0;
    qint64 finishTime = 0;
    qint64 refundCents = 0;
    qint64 returnCents = 0;
    qint64 totalCents = 0;
    int orderRole = 2;

    bool FinishedAt(qint64 ANow) const { return ANow >= finishTime; }
    std::string StatusAt(qint64 ANow) const;
};

// The demo world, a pure function of the seed: the accounts, and per account its orders and refunds over time.
// Orders are drawn per hour and refunds per day of the account's timeline, so any window is computed on demand
// and two stand-ins with the same seed serve the same orders.
class TDemoData {
public:
    static constexpr qint64 kLongestSettle = 16 * 86400; // an order reaches its final status within this

    TDemoData(std::uint64_t ASeed, int AAccounts, int AOrdersPerHour, int ARefundsPerDay, qint64 AStartTime);

    const std::vector<TDemoAccount>& Accounts() const { return FAccounts; }
    const TDemoAccount* AccountByToken(const std::string& AToken) const;
    const TDemoAccount* AccountById(const std::string& AUserId) const;

    // Orders of the account created in [AFrom, ATo), by creation time.
    std::vector<TDemoOrder> OrdersCreated(int AAccount, qint64 AFrom, qint64 ATo) const;
    // Refunds of the account opened in [AFrom, ATo), by opening time.
    std::vector<TDemoRefund> RefundsCreated(int AAccount, qint64 AFrom, qint64 ATo) const;

    static std::string Money(qint64 ACents); // "12.50"

private:
    std::uint64_t Hash(std::uint64_t A, std::uint64_t B, std::uint64_t C, std::uint64_t D) const;
    std::string Digits(std::uint64_t AHash, int ACount) const;
    // Letters and digits, the look of the gateway's encrypted ids.
    std::string Letters(std::uint64_t AHash, int ACount) const;

    std::uint64_t FSeed;
    int FOrdersPerHour;
    int FRefundsPerDay;
    std::vector<TDemoAccount> FAccounts;
};
