#pragma once

#include "foundation/qhttp.h"
#include "store/weiquanorder.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <vector>

class TQJson;

// Whether the running job was asked to stop; paging loops test it between pages and every page request while it
// runs, so that neither a server that always answers "there is a next page" nor one that stalls can hold a pass,
// the stop button or the process end.
using TStopCheck = std::function<bool()>;

// One account's downloads: its invalid and received orders through the TOP gateway, and its refund orders from
// the publisher report. One object per account and run.
class TTopApiGetOrders {
public:
    static constexpr int kPagePauseMs = 5;

    TTopApiGetOrders(
        const QString& accessToken, const QString& cookies, const QString& _tb_token_, TStopCheck AStopCheck = {});
    TTopApiGetOrders(const TTopApiGetOrders&) = delete;
    TTopApiGetOrders& operator=(const TTopApiGetOrders&) = delete;

    // Appends one invalid-order line per order of status AStauts (-1: any) that the cache does not hold yet.
    void getOrdersToList(const QDateTime& beginTime, const QDateTime& endTime, int AStauts, QStringList& List);

    // The successful refund orders of the window that the cache does not hold yet. Raises when a page cannot be
    // read (a cache failure, an amount that is not a number).
    std::vector<TWeiQuanOrderInfo> getWeiquanOrders(const QDateTime& beginTime, const QDateTime& endTime);

    // GET with the session cookies; AOut is the reply text, empty on any failure of the exchange and when a stop
    // ended it.
    void Get(const QString& AUrl, QString& AOut);

    bool close() const { return FClose.load(); }
    void setClose(bool AValue) { FClose.store(AValue); }

    // Request time-outs of the report fetch (10 000 ms); tests shorten them.
    void setWebTimeoutMs(int AValue) { FWebTimeoutMs = AValue; }

private:
    bool getOrdersPage(int APageNo, int AQueryType, int AStauts, int AOrderScene, QString& APositionIndex,
        const QDateTime& ABegin, const QDateTime& AEnd, QStringList& List);
    bool getWeiquanPage(int APageNo, const QString& ABegin, const QString& AEnd, std::vector<TWeiQuanOrderInfo>& List);
    bool StopRequested() const;

    QString FAccessToken;
    QString FCookies;
    QString F_tb_token_;
    std::mutex FCS; // one report fetch at a time
    std::atomic<bool> FClose {false};
    TStopCheck FStopCheck;
    std::chrono::steady_clock::time_point FReplyAt; // when the last order page arrived
    int FWebTimeoutMs = 10000;
};

// The end of the download slice that starts at ACursor: 20 minutes on with the large-promotion switch on,
// otherwise the window's end for a window under 3 hours, else 180 minutes on. It may reach past the window.
QDateTime NextSliceEnd(const QDateTime& ACursor, const QDateTime& ABegin, const QDateTime& AEnd, bool ALargeModel);

// One invalid-order line. Absent ids keep their placeholders; values are JSON-escaped.
QString InvalidOrderLine(
    const QString* ATradeId, const QString* ATradeParentId, int AStauts, qint64 APayPrice, qint64 APubShareFee);
