#include "standin/toprecords.h"

#include "standin/beijing.h"

#include <QJsonDocument>
#include <QString>

namespace {

QString Text(const std::string& AText)
{
    return QString::fromStdString(AText);
}

QString Money(qint64 ACents)
{
    return Text(TDemoData::Money(ACents));
}

QString TimeText(qint64 AUnix)
{
    return Text(BeijingText(AUnix));
}

QString Percent(qint64 AHundredths)
{
    return QString::number(static_cast<double>(AHundredths) / 100.0, 'f', 2);
}

QString RoleText(int ARole)
{
    return ARole == 3 ? QStringLiteral("三方") : QStringLiteral("二方");
}

// The item: its id as encrypted text, never a number, and its picture and link as protocol-relative and https URLs.
QJsonObject ItemFields(const TDemoOrder& AOrder)
{
    static const char* const kCategories[] = {"女装", "食品", "家居用品", "数码家电"};
    return QJsonObject {{QStringLiteral("item_id"), Text(AOrder.itemKey)},
        {QStringLiteral("item_title"), Text(AOrder.title)}, {QStringLiteral("item_num"), 1},
        {QStringLiteral("item_price"), Money(AOrder.payCents)},
        {QStringLiteral("item_img"),
            QStringLiteral("//img.alicdn.com/bao/uploaded/i%1/O1CN01%2.jpg")
                .arg(AOrder.itemId % 4 + 1)
                .arg(Text(AOrder.itemKey.substr(7, 16)))},
        {QStringLiteral("item_link"),
            QStringLiteral("https://uland.taobao.com/item/edetail?id=") + Text(AOrder.itemKey)},
        {QStringLiteral("item_category_name"), QString::fromUtf8(kCategories[AOrder.itemId % 4])},
        {QStringLiteral("seller_nick"), QStringLiteral("演示卖家%1").arg(AOrder.itemId % 97)},
        {QStringLiteral("seller_shop_title"), QStringLiteral("演示店铺%1").arg(AOrder.itemId % 97)}};
}

// Beijing times; the settlement time "" until the order is settled, the deposit times "--" (no presale).
QJsonObject TimeFields(const TDemoOrder& AOrder, int AShown, qint64 ANow)
{
    return QJsonObject {{QStringLiteral("click_time"), TimeText(AOrder.createTime - 37)},
        {QStringLiteral("tk_create_time"), TimeText(AOrder.createTime)},
        {QStringLiteral("tb_paid_time"), TimeText(AOrder.paidTime)},
        {QStringLiteral("tk_paid_time"), TimeText(AOrder.paidTime)},
        {QStringLiteral("tk_earning_time"), AShown == 3 ? TimeText(AOrder.finalTime) : QString()},
        {QStringLiteral("modified_time"), TimeText(AOrder.ModifiedAt(ANow))},
        {QStringLiteral("tk_deposit_time"), QStringLiteral("--")},
        {QStringLiteral("tb_deposit_time"), QStringLiteral("--")}};
}

// The settled amount (pay_price) and income exist once the order is received; an invalid order's income is "0.00",
// or now and then "--".
QJsonObject AmountFields(const TDemoOrder& AOrder, int AShown)
{
    const bool received = AShown == 3 || AShown == 14;
    const QString ratePercent = Percent(AOrder.payCents > 0 ? AOrder.shareCents * 100 / AOrder.payCents * 100 : 0);
    const qint64 techCents = AOrder.shareCents / 10;
    QString share = Money(received ? AOrder.shareCents : 0);
    if (AShown == 13 && AOrder.itemId % 3 == 0)
        share = QStringLiteral("--");
    QJsonObject amounts {{QStringLiteral("alipay_total_price"), Money(AOrder.payCents)},
        {QStringLiteral("pub_share_pre_fee"), Money(AOrder.shareCents)}, {QStringLiteral("pub_share_fee"), share},
        {QStringLiteral("deposit_price"), QStringLiteral("--")}, {QStringLiteral("total_commission_rate"), ratePercent},
        {QStringLiteral("tk_total_rate"), ratePercent}, {QStringLiteral("income_rate"), ratePercent},
        {QStringLiteral("pub_share_rate"), QStringLiteral("100.00")},
        {QStringLiteral("alimama_rate"), QStringLiteral("10.00")},
        {QStringLiteral("alimama_share_fee"), Money(AShown == 13 ? 0 : techCents)},
        {QStringLiteral("total_commission_fee"), Money(AShown == 13 ? 0 : AOrder.shareCents)},
        {QStringLiteral("subsidy_rate"), QStringLiteral("0.00")},
        {QStringLiteral("subsidy_fee"), QStringLiteral("0.00")}, {QStringLiteral("subsidy_type"), QStringLiteral("--")},
        {QStringLiteral("alimm_share_info_dto"),
            QJsonObject {{QStringLiteral("alimm_tech_service_rate"), 10.0},
                {QStringLiteral("alimm_tech_service_pre_fee"), static_cast<double>(techCents) / 100.0},
                {QStringLiteral("alimm_tech_service_fee"), received ? static_cast<double>(techCents) / 100.0 : 0.0}}}};
    if (received)
        amounts.insert(QStringLiteral("pay_price"), Money(AOrder.payCents));
    return amounts;
}

QJsonObject PromoterFields(const TDemoAccount& AAccount)
{
    return QJsonObject {{QStringLiteral("pub_id"), Text(AAccount.memberId).toLongLong()},
        {QStringLiteral("site_id"), 1000000 + AAccount.index},
        {QStringLiteral("site_name"), QStringLiteral("演示媒体")},
        {QStringLiteral("adzone_id"), 110000000000LL + AAccount.index},
        {QStringLiteral("adzone_name"), QStringLiteral("演示推广位")}, {QStringLiteral("tk_order_role"), 2}};
}

} // namespace

// A '/' can only stand inside a string in JSON text, and "\/" is a valid escape there, so escaping every one keeps
// the text valid and its meaning.
std::string TopGatewayJson(const QJsonObject& AReply)
{
    const QByteArray compact = QJsonDocument(AReply).toJson(QJsonDocument::Compact);
    std::string text;
    text.reserve(static_cast<size_t>(compact.size()) + 64);
    for (const char c : compact) {
        if (c == '/')
            text += '\\';
        text += c;
    }
    return text;
}

QJsonObject TopList(const char* AItemName, const QJsonArray& AItems)
{
    return AItems.isEmpty() ? QJsonObject() : QJsonObject {{QString::fromLatin1(AItemName), AItems}};
}

// Amounts, rates and times are text; "" or "--" where the value is not known yet; no pay_price before the order is
// received.
QJsonObject TopOrderRecord(const TDemoOrder& AOrder, int AShown, qint64 ANow, const TDemoAccount& AAccount)
{
    QJsonObject record {{QStringLiteral("trade_id"), Text(AOrder.tradeId)},
        {QStringLiteral("trade_parent_id"), Text(AOrder.parentId)}, {QStringLiteral("tk_status"), AShown},
        {QStringLiteral("order_type"), AOrder.itemId % 2 == 0 ? QStringLiteral("天猫") : QStringLiteral("淘宝")},
        {QStringLiteral("flow_source"), QStringLiteral("--")},
        {QStringLiteral("terminal_type"), QStringLiteral("无线")}, {QStringLiteral("refund_tag"), 0}};
    for (const QJsonObject& part : {ItemFields(AOrder), TimeFields(AOrder, AShown, ANow), AmountFields(AOrder, AShown),
             PromoterFields(AAccount)}) {
        for (auto it = part.begin(); it != part.end(); ++it)
            record.insert(it.key(), it.value());
    }
    return record;
}

// Ids, times and amounts as text, the status a number (4 opened,
// 2 succeeded, 3 failed), the promoter's role as text.
QJsonObject TopRefundRecord(const TDemoRefund& ARefund, qint64 ANow)
{
    const bool finished = ARefund.FinishedAt(ANow);
    const bool succeeded = finished && ARefund.finalStatus == "维权成功";
    const qint64 commission = ARefund.returnCents * 9 / 10;
    const qint64 shareCents = ARefund.refundCents > 0 ? ARefund.returnCents * ARefund.totalCents / ARefund.refundCents
                                                      : ARefund.returnCents;
    QJsonObject record {{QStringLiteral("refund_suit_id"), Text(ARefund.suitId)},
        {QStringLiteral("tb_trade_parent_id"), Text(ARefund.parentId)},
        {QStringLiteral("tb_trade_id"), Text(ARefund.tradeId)},
        {QStringLiteral("tb_trade_create_time"), TimeText(ARefund.tradeCreateTime)},
        {QStringLiteral("earning_time"), TimeText(ARefund.earningTime)},
        {QStringLiteral("tk_refund_time"), TimeText(ARefund.createTime)},
        {QStringLiteral("modified_time"), TimeText(finished ? ARefund.finishTime : ARefund.createTime)},
        {QStringLiteral("item_title"), Text(ARefund.title)},
        {QStringLiteral("tk_order_role"), RoleText(ARefund.orderRole)},
        {QStringLiteral("tb_trade_finish_price"), Money(ARefund.totalCents)},
        {QStringLiteral("refund_fee"), Money(ARefund.refundCents)},
        {QStringLiteral("pub_share_fee"), Money(shareCents)},
        {QStringLiteral("tk_commission_fee_refund"), Money(commission)},
        {QStringLiteral("tk_subsidy_fee_refund"), Money(0)},
        {QStringLiteral("tk_commission_alimm_refund_fee"), Money(ARefund.returnCents - commission)},
        {QStringLiteral("tk_subsidy_alimm_refund_fee"), Money(0)},
        {QStringLiteral("tk_commission_agent_refund_fee"), Money(0)},
        {QStringLiteral("tk_subsidy_agent_refund_fee"), Money(0)},
        {QStringLiteral("show_return_fee"), Money(ARefund.returnCents)},
        {QStringLiteral("refund_status"), finished ? (succeeded ? 2 : 3) : 4}, {QStringLiteral("relation_id"), 0},
        {QStringLiteral("special_id"), 0}};
    if (finished)
        record.insert(QStringLiteral("tk_refund_suit_time"), TimeText(ARefund.finishTime));
    return record;
}
