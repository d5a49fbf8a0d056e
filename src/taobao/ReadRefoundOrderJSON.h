#pragma once

#include "store/weiquanorder.h"

#include <QString>

#include <vector>

// Reads one page of the publisher's refund report.
class TReadRefoundOrderJSON {
public:
    explicit TReadRefoundOrderJSON(QString jsonStr)
        : FJSONStr(std::move(jsonStr))
    {
    }

    // Appends the page's successful refund orders, delivered or not; answers whether the report has another page.
    // False, with nothing added, for a text that is not the report's JSON (no JSON, or no "data" object);
    // ANotReport, when given, then says so. A record whose amount is not a number is left out with an error line
    // naming it.
    bool ReadOrders(std::vector<TWeiQuanOrderInfo>& List, QString* ANotReport = nullptr);
    // The records the last ReadOrders left out because they could not be read.
    int lost() const { return FLost; }

private:
    QString FJSONStr;
    int FLost = 0;
};
