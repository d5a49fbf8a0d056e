#include "taobao/topRefundOrders.h"

#include "foundation/beijingtime.h"
#include "foundation/qerror.h"
#include "foundation/qjson.h"
#include "foundation/textutil.h"
#include "taobao/orderAmount.h"
#include "taobao/topClient.h"

#include <algorithm>

namespace {

constexpr QStringView kResponse = u"tbk_sc_order_refund_get_response";
constexpr QStringView kRecordName = u"publisher_refund_order_d_t_o";
constexpr QStringView kSucceeded = u"2"; // refund_status of a refund that went through

double AmountOf(const TQJson& ARecord, QStringView AName)
{
    return AmountValue(ARecord.ItemByName(AName));
}

// The method names the promoter's role in words; the report, and so the back end, knows it by number.
QString OrderRoleOf(const TQJson& ARecord)
{
    const QString role = Trim(ARecord.MemberText(u"tk_order_role"));
    if (role == u"二方")
        return QStringLiteral("2");
    if (role == u"三方")
        return QStringLiteral("3");
    return role;
}

// The query of one page, as the method takes it: one JSON object in one parameter.
QString QueryOption(int APageNo, const QString& APosition, const QDateTime& ABegin, const QDateTime& AEnd)
{
    TQJson option;
    option.Add(QStringLiteral("page_size"))->SetAsInteger(TTopRefundOrders::kPageSize);
    option.Add(QStringLiteral("page_no"))->SetAsInteger(APageNo);
    if (!APosition.isEmpty())
        option.Add(QStringLiteral("position_index"))->SetAsString(APosition);
    option.Add(QStringLiteral("jump_type"))->SetAsInteger(1); // forward
    option.Add(QStringLiteral("query_type"))->SetAsInteger(1); // by the refund's opening, as the report
    option.Add(QStringLiteral("order_scene"))->SetAsInteger(1);
    option.Add(QStringLiteral("member_type"))->SetAsInteger(4); // second and third party alike
    option.Add(QStringLiteral("start_time"))->SetAsString(Beijing::Text(ABegin));
    option.Add(QStringLiteral("end_time"))->SetAsString(Beijing::Text(AEnd));
    return option.Encode(false, false);
}

} // namespace

TTopRefundOrders::TTopRefundOrders(const QString& AToken, TStopCheck AStop)
    : FToken(Trim(AToken))
    , FPages(std::move(AStop))
{
}

TWeiQuanOrderInfo TTopRefundOrders::RecordOf(const TQJson& ARecord)
{
    TWeiQuanOrderInfo info;
    info.tbTradeId = ARecord.MemberText(u"tb_trade_id");
    info.tbTradeParentId = ARecord.MemberText(u"tb_trade_parent_id");
    info.itemTitle = ARecord.MemberText(u"item_title");
    // The method gives no picture; the back end gets the report's field empty.
    info.showRefundStatus = QStringLiteral("维权成功");
    info.earningTime = ARecord.MemberText(u"earning_time");
    info.refundCreateTime = ARecord.MemberText(u"tk_refund_time");
    info.refundFinishTime = ARecord.MemberText(u"tk_refund_suit_time");
    info.refundFee = AmountOf(ARecord, u"refund_fee");
    info.showReturnFee = AmountOf(ARecord, u"show_return_fee");
    info.alipayTotalPrice = AmountOf(ARecord, u"tb_trade_finish_price");
    info.tkOrderRole = OrderRoleOf(ARecord);
    return info;
}

int TTopRefundOrders::AddSuccessful(
    const std::vector<const TQJson*>& ARecords, std::vector<TWeiQuanOrderInfo>& AList, const QString& AAccountName)
{
    int lost = 0;
    for (const TQJson* record : ARecords) {
        if (Trim(record->MemberText(u"refund_status")) != kSucceeded)
            continue;
        try {
            AList.push_back(RecordOf(*record));
        } catch (const EQuenlarError&) {
            // One unreadable amount loses its own refund, not the page.
            ++lost;
            LogUnreadableAmount(QStringLiteral("联盟账号 ") + AAccountName + QStringLiteral(" 维权订单"),
                Trim(record->MemberText(u"tb_trade_parent_id")), Trim(record->MemberText(u"tb_trade_id")));
        }
    }
    return lost;
}

std::vector<TWeiQuanOrderInfo> TTopRefundOrders::getRefundOrders(const QDateTime& ABegin, const QDateTime& AEnd)
{
    std::vector<TWeiQuanOrderInfo> list;
    if (FToken.isEmpty()) {
        FPages.Failed(QStringLiteral("没有淘宝开放平台授权"));
        return list;
    }
    const QDateTime begin = Beijing::DayStart(ABegin);
    for (QDateTime cursor = begin; cursor < AEnd && !FPages.StopRequested();) {
        if (FPages.Abandoned())
            break;
        if (const QString blocked = FPages.Blocked(); !blocked.isEmpty()) {
            FPages.Failed(blocked);
            break;
        }
        const QDateTime sliceEnd = std::min(cursor.addSecs(kSliceSeconds), AEnd);
        if (!ReadSlice(cursor, sliceEnd, list))
            break;
        cursor = sliceEnd;
    }
    return list;
}

// False when the download ends here (a stop); a failed slice leaves the next one to be read.
bool TTopRefundOrders::ReadSlice(const QDateTime& ABegin, const QDateTime& AEnd, std::vector<TWeiQuanOrderInfo>& AList)
{
    QString position;
    bool hasNext = false;
    int pageNo = 1;
    try {
        do {
            const TTopPages::TOutcome outcome = ReadPage(pageNo, position, ABegin, AEnd, AList, hasNext);
            if (outcome == TTopPages::TOutcome::Stopped)
                return false;
            if (outcome == TTopPages::TOutcome::Failed)
                return true;
            ++pageNo;
            if (FPages.StopRequested())
                return false;
            FPages.PauseAfterPage();
        } while (hasNext);
    } catch (const std::exception&) {
        // A page that cannot be read ends its slice; what was read stays and the next run asks again.
        FPages.Failed(QStringLiteral("维权订单页无法读取:") + ErrorMessageOf(std::current_exception()));
    }
    return true;
}

TTopPages::TOutcome TTopRefundOrders::ReadPage(int APageNo, QString& APosition, const QDateTime& ABegin,
    const QDateTime& AEnd, std::vector<TWeiQuanOrderInfo>& AList, bool& AHasNext)
{
    const auto request = [&] {
        TTopReply reply;
        AHasNext = RequestPage(APageNo, APosition, ABegin, AEnd, AList, reply);
        return reply;
    };
    const QString window = Beijing::Text(ABegin) + QStringLiteral(" 至 ") + Beijing::Text(AEnd);
    return FPages.Read(
        request, [&](const TTopReply& AReply) { return Refused(AReply, window); }, u"维权订单");
}

TTopPages::TOutcome TTopRefundOrders::Refused(const TTopReply& AReply, const QString& AWindow)
{
    // Not granted: not logged here, since the caller either says so or turns to the report.
    FPermissionRefused = AReply.kind == TTopReplyKind::Permission;
    return FPages.Refused(AReply, u"维权订单", AWindow, !FPermissionRefused);
}

bool TTopRefundOrders::RequestPage(int APageNo, QString& APosition, const QDateTime& ABegin, const QDateTime& AEnd,
    std::vector<TWeiQuanOrderInfo>& AList, TTopReply& AReply)
{
    TTopClient client;
    client.setAppkey(TTopClient::kAppKey.toString());
    client.setAppSecret(TTopClient::kAppSecret.toString());
    client.setSession(FToken);
    client.setMethod(kMethod.toString());
    client.setTimeoutMs(FTimeoutMs);
    client.setStopCheck([this] { return FPages.StopRequested(); });
    client.add_Param(
        QStringLiteral("publisher_refund_order_query_option"), QueryOption(APageNo, APosition, ABegin, AEnd));

    ++FRequests;
    const std::unique_ptr<TQJson> reply = client.Response();
    FPages.ReplyArrived();
    AReply = ClassifyTopReply(*reply, kResponse);
    if (AReply.kind != TTopReplyKind::Data)
        return false;
    const TQJson* data = reply->ItemByName(kResponse)->ItemByName(u"data");
    const TQJson* hasNextNode = data->ItemByName(u"has_next");
    const bool hasNext = hasNextNode != nullptr && hasNextNode->AsBoolean();
    const QString previous = APosition;
    if (const TQJson* position = data->ItemByName(u"position_index"))
        APosition = position->AsString();
    // A page asked with a position that comes back unchanged is the same page again: its records are in, and
    // following its "next page" would ask it for ever.
    if (!previous.isEmpty() && APosition == previous) {
        if (hasNext)
            FPages.Failed(QStringLiteral("淘宝开放平台维权订单翻页位置未变"));
        return false;
    }
    FLostRecords += AddSuccessful(TopListItems(data->ItemByName(u"result"), kRecordName), AList, FPages.accountName());
    return hasNext;
}
