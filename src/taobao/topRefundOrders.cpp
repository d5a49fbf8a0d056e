#include "taobao/topRefundOrders.h"

#include "foundation/qerror.h"
#include "foundation/qjson.h"
#include "foundation/textutil.h"
#include "store/udb.h"
#include "taobao/topClient.h"

#include <algorithm>

namespace {

constexpr QStringView kResponse = u"tbk_sc_order_refund_get_response";
constexpr QStringView kSucceeded = u"2"; // refund_status of a refund that went through
const QString kTimeFormat = QStringLiteral("yyyy-MM-dd HH:mm:ss");

double AmountOf(const TQJson& ARecord, QStringView AName)
{
    const TQJson* node = ARecord.ItemByName(AName);
    return node == nullptr ? 0.0 : node->AsFloat();
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
    info.tkOrderRole = ARecord.MemberText(u"tk_order_role");
    return info;
}

void TTopRefundOrders::AddNewSuccessful(const TQJson* AResult, std::vector<TWeiQuanOrderInfo>& AList)
{
    if (AResult == nullptr)
        return;
    // Only the successful ones are looked up, all of the page over one connection.
    std::vector<const TQJson*> succeeded;
    std::vector<TDBCacheClass::TOrderKey> lookups;
    std::vector<int> lookupOf; // index into lookups per succeeded record, -1: not looked up
    for (int i = 0; i < AResult->Count(); ++i) {
        const TQJson& record = *AResult->Items(i);
        if (Trim(record.MemberText(u"refund_status")) != kSucceeded)
            continue;
        succeeded.push_back(&record);
        QString parentId = Trim(record.MemberText(u"tb_trade_parent_id"));
        QString childId = Trim(record.MemberText(u"tb_trade_id"));
        if (parentId.isEmpty() || childId.isEmpty()) {
            lookupOf.push_back(-1);
            continue;
        }
        lookupOf.push_back(static_cast<int>(lookups.size()));
        lookups.emplace_back(std::move(parentId), std::move(childId));
    }
    const TDBCacheClass* cache = DBCache();
    const std::vector<bool> cached = cache != nullptr ? cache->existOrders(lookups, 1) : std::vector<bool>();
    for (size_t i = 0; i < succeeded.size(); ++i) {
        const int lookup = lookupOf[i];
        if (lookup >= 0 && size_t(lookup) < cached.size() && cached[size_t(lookup)])
            continue;
        AList.push_back(RecordOf(*succeeded[i]));
    }
}

std::vector<TWeiQuanOrderInfo> TTopRefundOrders::getRefundOrders(const QDateTime& ABegin, const QDateTime& AEnd)
{
    std::vector<TWeiQuanOrderInfo> list;
    if (FToken.isEmpty()) {
        FPages.Failed(QStringLiteral("没有淘宝开放平台授权"));
        return list;
    }
    const QDateTime begin(ABegin.date(), QTime(0, 0));
    for (QDateTime cursor = begin; cursor < AEnd && !FPages.StopRequested();) {
        if (FPages.Abandoned())
            break;
        if (FPages.QuotaSpent()) {
            FPages.Failed(QStringLiteral("淘宝开放平台应用今日调用次数已用完"));
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
    return FPages.Read(
        request, [this](const TTopReply& AReply) { return Refused(AReply); }, u"维权订单");
}

TTopPages::TOutcome TTopRefundOrders::Refused(const TTopReply& AReply)
{
    // 11 and 12: the app or the user is not granted the method; 26 and 27: the session is gone. Every further
    // request would be refused the same way.
    FPermissionRefused = AReply.code == 11 || AReply.code == 12;
    if (FPermissionRefused || AReply.code == 26 || AReply.code == 27)
        FPages.Abandon();
    if (!FPermissionRefused) {
        FPages.LogOnce(QStringLiteral("联盟账号 ") + FPages.accountName()
            + QStringLiteral(" 维权订单请求被淘宝开放平台拒绝,") + TTopPages::RefusalText(AReply));
    }
    return FPages.Failed(QStringLiteral("淘宝开放平台拒绝维权订单请求,") + TTopPages::RefusalText(AReply));
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
    client.add_Param(QStringLiteral("start_time"), ABegin.toString(kTimeFormat));
    client.add_Param(QStringLiteral("end_time"), AEnd.toString(kTimeFormat));
    client.add_Param(QStringLiteral("query_type"), QStringLiteral("1")); // by the refund's opening, as the report
    client.add_Param(QStringLiteral("page_no"), QString::number(APageNo));
    client.add_Param(QStringLiteral("page_size"), QString::number(kPageSize));
    client.add_Param(QStringLiteral("member_type"), QStringLiteral("4"));
    client.add_Param(QStringLiteral("order_scene"), QStringLiteral("1"));
    client.add_Param(QStringLiteral("jump_type"), QStringLiteral("1"));
    if (!APosition.isEmpty())
        client.add_Param(QStringLiteral("position_index"), APosition);

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
    AddNewSuccessful(data->ItemByName(u"result"), AList);
    return hasNext;
}
