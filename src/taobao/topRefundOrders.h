#pragma once

#include "store/weiquanorder.h"
#include "taobao/topLimits.h"
#include "taobao/topPages.h"

#include <QDateTime>
#include <QString>

#include <vector>

class TQJson;

// One account's successful refund orders through the TOP gateway's refund method, with the account's token instead
// of a web session. The window is read in slices, each page by page with the position the previous page returned;
// the successful records come as the report's records, delivered or not. Bans,
// the daily quota and transient failures are handled as for the order download. One object per account and run.
class TTopRefundOrders {
public:
    static constexpr QStringView kMethod = u"taobao.tbk.sc.order.refund.get";
    // The longest window one request is given; the gateway does not say what it accepts.
    static constexpr qint64 kSliceSeconds = 86400;
    static constexpr int kPageSize = 100;

    explicit TTopRefundOrders(const QString& AToken, TStopCheck AStop = {});

    // The successful refunds opened in the window; the window starts at the midnight of ABegin's date, as the
    // report's whole days do, so both sources cover the same refunds. What was read before a failure or a stop is
    // kept.
    std::vector<TWeiQuanOrderInfo> getRefundOrders(const QDateTime& ABegin, const QDateTime& AEnd);

    // The first failure of this download, for the log and the account's health; empty when every slice was read
    // (a stop is no failure).
    const QString& failure() const { return FPages.failure(); }
    // Records left out because they could not be read (each named in an error line).
    int lostRecords() const { return FLostRecords; }
    // The gateway refused the method for this account's app or user (codes 11 and 12, isv.permission-*): no request
    // was repeated.
    // Not logged here: the caller either says so or turns to the report.
    bool permissionRefused() const { return FPermissionRefused; }
    // Requests sent, refused ones included.
    int requests() const { return FRequests; }

    void setAccountName(const QString& AValue) { FPages.setAccountName(AValue); }
    // The clock of the page pauses, bans and quota (the system clock unless set; not owned).
    void setClock(const TTopClock* AValue) { FPages.setClock(AValue); }
    // The app's standing with the gateway (the process-wide one unless set; not owned).
    void setGate(TTopGate* AValue) { FPages.setGate(AValue); }
    // Request time-outs (10 000 ms); tests shorten them.
    void setTimeoutMs(int AValue) { FTimeoutMs = AValue; }

    // One record of the reply as the report's record; absent fields stay empty or 0, amounts are read as the report
    // reads them (raises for one that is not a number).
    static TWeiQuanOrderInfo RecordOf(const TQJson& ARecord);
    // Appends the successful records of a page. A record whose amount cannot be read is left out with an error line
    // naming it (AAccountName's). Answers how many records it left out.
    static int AddSuccessful(
        const std::vector<const TQJson*>& ARecords, std::vector<TWeiQuanOrderInfo>& AList, const QString& AAccountName);

private:
    bool ReadSlice(const QDateTime& ABegin, const QDateTime& AEnd, std::vector<TWeiQuanOrderInfo>& AList);
    TTopPages::TOutcome ReadPage(int APageNo, QString& APosition, const QDateTime& ABegin, const QDateTime& AEnd,
        std::vector<TWeiQuanOrderInfo>& AList, bool& AHasNext);
    // One request; the reply's kind in AReply, the page's records appended when it is data.
    bool RequestPage(int APageNo, QString& APosition, const QDateTime& ABegin, const QDateTime& AEnd,
        std::vector<TWeiQuanOrderInfo>& AList, TTopReply& AReply);
    TTopPages::TOutcome Refused(const TTopReply& AReply, const QString& AWindow);

    QString FToken;
    int FTimeoutMs = 10000;
    bool FPermissionRefused = false;
    int FRequests = 0;
    int FLostRecords = 0;
    TTopPages FPages;
};
