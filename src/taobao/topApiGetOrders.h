#pragma once

#include "foundation/qhttp.h"
#include "store/weiquanorder.h"
#include "taobao/invalidOrder.h"
#include "taobao/topLimits.h"
#include "taobao/topPages.h"

#include <QDateTime>
#include <QString>

#include <atomic>
#include <functional>
#include <mutex>
#include <vector>

class TQJson;

// One account's downloads: its invalid and received orders through the TOP gateway, and its refund orders from
// the publisher report. One object per account and run.
class TTopApiGetOrders {
public:
    TTopApiGetOrders(
        const QString& accessToken, const QString& cookies, const QString& _tb_token_, TStopCheck AStopCheck = {});
    TTopApiGetOrders(const TTopApiGetOrders&) = delete;
    TTopApiGetOrders& operator=(const TTopApiGetOrders&) = delete;

    // Appends every order of status AStauts (-1: any) the window holds, by order creation time (query type 1) or by
    // update time (4), delivered or not. True when every slice was read whole; false when a slice failed, the pass
    // was stopped, the app's daily quota is spent or there is no token.
    bool getOrdersToList(const QDateTime& beginTime, const QDateTime& endTime, int AStauts,
        std::vector<TInvalidOrder>& List, int AQueryType = 1);

    // The successful refund orders of the window, delivered or not, read page by page. A page that could not be
    // fetched (transport or HTTP error) or is not the report's JSON ends the reading and is this downloader's
    // failure(); the orders of the pages before it are kept. A record whose amount is not a number is left out with
    // an error line.
    std::vector<TWeiQuanOrderInfo> getWeiquanOrders(const QDateTime& beginTime, const QDateTime& endTime);

    // GET with the session cookies; AOut is the reply text, empty on any failure of the exchange and when a stop
    // ended it; AError, when given, receives why the exchange failed (empty when it did not).
    void Get(const QString& AUrl, QString& AOut, QString* AError = nullptr);

    // Why the last getOrdersToList did not read every slice, or getWeiquanOrders every page: the first failure of
    // this downloader, as a text for the log and the account's health; empty when none failed (a stop is no
    // failure).
    const QString& failure() const { return FPages.failure(); }
    // Records left out because they could not be read (each named in an error line): what was read is no whole.
    int lostRecords() const { return FLostRecords.load(); }

    bool close() const { return FClose.load(); }
    void setClose(bool AValue) { FClose.store(AValue); }

    // Request time-outs of the report fetch (10 000 ms); tests shorten them.
    void setWebTimeoutMs(int AValue) { FWebTimeoutMs = AValue; }

    // The account's name in log lines.
    void setAccountName(const QString& AValue) { FPages.setAccountName(AValue); }
    // The clock of the page pauses, bans and quota (the system clock unless set; not owned).
    void setClock(const TTopClock* AValue) { FPages.setClock(AValue); }
    // The app's standing with the gateway (the process-wide one unless set; not owned).
    void setGate(TTopGate* AValue) { FPages.setGate(AValue); }

private:
    // One page, asked again after a ban or a transient failure; the limits are recorded in the gate.
    TTopPages::TOutcome ReadPage(int APageNo, int AQueryType, int AStauts, QString& APositionIndex,
        const QDateTime& ABegin, const QDateTime& AEnd, std::vector<TInvalidOrder>& List, bool& AHasNext);
    bool getOrdersPage(int APageNo, int AQueryType, int AStauts, int AOrderScene, QString& APositionIndex,
        const QDateTime& ABegin, const QDateTime& AEnd, std::vector<TInvalidOrder>& List, TTopReply& AReply);
    bool getWeiquanPage(int APageNo, const QString& ABegin, const QString& AEnd, std::vector<TWeiQuanOrderInfo>& List);
    bool StopRequested() const;

    QString FAccessToken;
    QString FCookies;
    QString F_tb_token_;
    std::mutex FCS; // one report fetch at a time
    std::atomic<bool> FClose {false};
    TStopCheck FStopCheck;
    int FWebTimeoutMs = 10000;
    std::atomic<int> FLostRecords {0};
    TTopPages FPages; // stops on FClose or FStopCheck
};

// The end of the download slice that starts at ACursor: 20 minutes on with the large-promotion switch on,
// otherwise the window's end for a window under 3 hours, else 180 minutes on. It may reach past the window.
QDateTime NextSliceEnd(const QDateTime& ACursor, const QDateTime& ABegin, const QDateTime& AEnd, bool ALargeModel);
