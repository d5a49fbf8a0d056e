#include "taobao/ReadRefoundOrderJSON.h"

#include "foundation/qerror.h"
#include "foundation/qjson.h"
#include "foundation/textutil.h"
#include "taobao/orderAmount.h"

namespace {

constexpr qsizetype kShownReply = 80;

double AmountOf(const TQJson& AOrder, QStringView AName)
{
    return AmountValue(AOrder.ItemByName(AName));
}

TWeiQuanOrderInfo RecordOf(const TQJson& AOrder)
{
    TWeiQuanOrderInfo info;
    info.tbTradeId = AOrder.MemberText(u"tbTradeId");
    info.tbTradeParentId = AOrder.MemberText(u"tbTradeParentId");
    info.itemTitle = AOrder.MemberText(u"itemTitle");
    info.itemImg = AOrder.MemberText(u"itemImg");
    info.showRefundStatus = AOrder.MemberText(u"showRefundStatus");
    info.earningTime = AOrder.MemberText(u"earningTime");
    info.refundCreateTime = AOrder.MemberText(u"refundCreateTime");
    info.refundFinishTime = AOrder.MemberText(u"refundFinishTime");
    info.refundFee = AmountOf(AOrder, u"refundFee");
    info.showReturnFee = AmountOf(AOrder, u"showReturnFee");
    info.alipayTotalPrice = AmountOf(AOrder, u"alipayTotalPrice");
    info.tkOrderRole = AOrder.MemberText(u"tkOrderRole");
    return info;
}

} // namespace

bool TReadRefoundOrderJSON::ReadOrders(std::vector<TWeiQuanOrderInfo>& List, QString* ANotReport)
{
    TQJson document;
    const bool json = document.TryParse(FJSONStr);
    const TQJson* data = json ? document.ItemByName(u"data") : nullptr;
    if (data == nullptr || !data->IsObject()) {
        if (ANotReport) {
            // The start of the reply tells a sign-in page or a refusal from an empty answer.
            *ANotReport = (json ? QStringLiteral("不是维权报表(没有 data)") : QStringLiteral("不是维权报表的 JSON"))
                + (FJSONStr.isEmpty() ? QStringLiteral(":空回复")
                                      : QStringLiteral(":") + Trim(FJSONStr.left(kShownReply)));
        }
        return false;
    }
    const TQJson* hasNextNode = document.ItemByPath(u"data.hasNext");
    const bool hasNext = hasNextNode != nullptr && hasNextNode->AsBoolean();
    const TQJson* orders = document.ItemByPath(u"data.result");
    if (orders == nullptr)
        return hasNext;
    for (int i = 0; i < orders->Count(); ++i) {
        const TQJson& order = *orders->Items(i);
        try {
            TWeiQuanOrderInfo info = RecordOf(order);
            if (Trim(info.showRefundStatus) == QStringView(u"维权成功"))
                List.push_back(std::move(info));
        } catch (const EQuenlarError&) {
            // One unreadable amount loses its own refund, not the page nor the account's other pages.
            ++FLost;
            LogUnreadableAmount(QStringLiteral("维权报表订单"), Trim(order.MemberText(u"tbTradeParentId")),
                Trim(order.MemberText(u"tbTradeId")));
        }
    }
    return hasNext;
}
