#pragma once

#include <QString>

// One refund order of the publisher report, as the report gives it; times stay texts. The report reader makes these
// and the order posting sends them, so the record sits below both.
struct TWeiQuanOrderInfo {
    QString tbTradeId;
    QString tbTradeParentId;
    QString itemTitle;
    QString itemImg;
    QString showRefundStatus;
    QString earningTime;
    QString refundCreateTime;
    QString refundFinishTime;
    double refundFee = 0;
    double showReturnFee = 0;
    double alipayTotalPrice = 0;
    QString tkOrderRole;
};
