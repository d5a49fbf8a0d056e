#include "taobao/topApiGetOrders.h"

#include "foundation/beijingtime.h"
#include "foundation/qerror.h"
#include "foundation/qjson.h"
#include "foundation/textutil.h"
#include "store/ucommon.h"
#include "taobao/ReadRefoundOrderJSON.h"
#include "taobao/orderAmount.h"
#include "taobao/topClient.h"

#include <QDateTime>

#include <cmath>
#include <optional>

namespace {

const QString kAppKey = TTopClient::kAppKey.toString();
const QString kAppSecret = TTopClient::kAppSecret.toString();
const QString kOrderMethod = QStringLiteral("taobao.tbk.sc.order.details.get");
const QString kWebAccept = QStringLiteral("text/html,application/xhtml+xml,application/xml;q=0.9,image/webp,*/*;q=0.8");
const QString kReportPath = QStringLiteral("/openapi/param2/1/gateway.unionpub/report.getTbkRefundOrderDetails.json");

QString TrimmedText(const TQJson* ANode)
{
    return ANode == nullptr ? QString() : Trim(ANode->AsString());
}

qint64 FenOf(const TQJson& AOrder, QStringView AName)
{
    const TQJson* amount = AOrder.ItemByName(AName);
    return amount == nullptr ? 0 : AmountToFen(*amount);
}

} // namespace

QDateTime NextSliceEnd(const QDateTime& ACursor, const QDateTime& ABegin, const QDateTime& AEnd, bool ALargeModel)
{
    if (ALargeModel)
        return ACursor.addSecs(20 * 60);
    if (std::abs(ABegin.secsTo(AEnd)) < 3 * 3600)
        return AEnd;
    return ACursor.addSecs(180 * 60);
}

TTopApiGetOrders::TTopApiGetOrders(
    const QString& accessToken, const QString& cookies, const QString& _tb_token_, TStopCheck AStopCheck)
    : FAccessToken(accessToken)
    , FCookies(cookies)
    , F_tb_token_(_tb_token_)
    , FStopCheck(std::move(AStopCheck))
    , FPages([this] { return FClose.load() || (FStopCheck && FStopCheck()); })
{
}

bool TTopApiGetOrders::StopRequested() const
{
    return FPages.StopRequested();
}

bool TTopApiGetOrders::getOrdersToList(
    const QDateTime& beginTime, const QDateTime& endTime, int AStauts, std::vector<TInvalidOrder>& List, int AQueryType)
{
    if (Trim(FAccessToken).isEmpty()) {
        FPages.Failed(QStringLiteral("没有淘宝开放平台授权"));
        return false;
    }
    bool whole = true;
    QDateTime cursor = beginTime;
    while (cursor < endTime) {
        // A spent daily quota ends the pass: no slice may ask before the gateway's day ends.
        if (StopRequested())
            return false;
        if (FPages.Abandoned())
            return false;
        if (const QString blocked = FPages.Blocked(); !blocked.isEmpty()) {
            FPages.Failed(blocked);
            return false;
        }
        const QDateTime sliceBegin = cursor;
        const TCommon* common = Common();
        cursor = NextSliceEnd(cursor, beginTime, endTime, common != nullptr && common->openLargeModel());
        try {
            QString positionIndex;
            bool hasNext = false;
            int pageNo = 1;
            do {
                const TTopPages::TOutcome outcome
                    = ReadPage(pageNo, AQueryType, AStauts, positionIndex, sliceBegin, cursor, List, hasNext);
                if (outcome == TTopPages::TOutcome::Stopped)
                    return false;
                if (outcome == TTopPages::TOutcome::Failed) {
                    whole = false;
                    break;
                }
                ++pageNo;
                if (StopRequested())
                    return false;
                FPages.PauseAfterPage();
            } while (hasNext);
        } catch (const std::exception&) {
            // A page that cannot be read ends its slice; the orders already added stay and the next run retries.
            FPages.Failed(QStringLiteral("订单页无法读取:") + ErrorMessageOf(std::current_exception()));
            whole = false;
        }
    }
    return whole;
}

TTopPages::TOutcome TTopApiGetOrders::ReadPage(int APageNo, int AQueryType, int AStauts, QString& APositionIndex,
    const QDateTime& ABegin, const QDateTime& AEnd, std::vector<TInvalidOrder>& List, bool& AHasNext)
{
    const auto request = [&] {
        TTopReply reply;
        AHasNext = getOrdersPage(APageNo, AQueryType, AStauts, 1, APositionIndex, ABegin, AEnd, List, reply);
        return reply;
    };
    const auto refused = [&](const TTopReply& AReply) {
        return FPages.Refused(AReply, u"订单", Beijing::Text(ABegin) + QStringLiteral(" 至 ") + Beijing::Text(AEnd));
    };
    return FPages.Read(request, refused, {});
}

bool TTopApiGetOrders::getOrdersPage(int APageNo, int AQueryType, int AStauts, int AOrderScene, QString& APositionIndex,
    const QDateTime& ABegin, const QDateTime& AEnd, std::vector<TInvalidOrder>& List, TTopReply& AReply)
{
    TTopClient client;
    client.setAppkey(kAppKey);
    client.setAppSecret(kAppSecret);
    client.setSession(FAccessToken);
    client.setMethod(kOrderMethod);
    client.setStopCheck([this] { return StopRequested(); });
    client.add_Param(QStringLiteral("query_type"), QString::number(AQueryType));
    client.add_Param(QStringLiteral("page_no"), QString::number(APageNo));
    client.add_Param(QStringLiteral("page_size"), QStringLiteral("100"));
    if (!Trim(APositionIndex).isEmpty())
        client.add_Param(QStringLiteral("position_index"), APositionIndex);
    if (AStauts != -1)
        client.add_Param(QStringLiteral("tk_status"), QString::number(AStauts));
    client.add_Param(QStringLiteral("order_scene"), QString::number(AOrderScene));
    // Always the full "yyyy-MM-dd HH:mm:ss": the gateway takes no date alone, which a slice starting at midnight
    // would otherwise send.
    client.add_Param(QStringLiteral("start_time"), Beijing::Text(ABegin));
    client.add_Param(QStringLiteral("end_time"), Beijing::Text(AEnd));

    const std::unique_ptr<TQJson> reply = client.Response();
    FPages.ReplyArrived();
    AReply = ClassifyTopReply(*reply);
    if (AReply.kind != TTopReplyKind::Data)
        return false;
    const TQJson* hasNextNode = reply->ItemByPath(u"tbk_sc_order_details_get_response.data.has_next");
    const bool hasNext = hasNextNode != nullptr && hasNextNode->AsBoolean();
    if (const TQJson* position = reply->ItemByPath(u"tbk_sc_order_details_get_response.data.position_index"))
        APositionIndex = Trim(position->AsString());
    const std::vector<const TQJson*> orders
        = TopListItems(reply->ItemByPath(u"tbk_sc_order_details_get_response.data.results"), u"publisher_order_dto");

    for (const TQJson* order : orders) {
        const TQJson* tradeIdNode = order->ItemByName(u"trade_id");
        const TQJson* parentIdNode = order->ItemByName(u"trade_parent_id");
        TInvalidOrder record;
        if (tradeIdNode)
            record.tradeId = TrimmedText(tradeIdNode);
        if (parentIdNode)
            record.tradeParentId = TrimmedText(parentIdNode);
        record.tkStatus = AStauts;
        try {
            record.payPrice = FenOf(*order, u"pay_price");
            record.pubShareFee = FenOf(*order, u"pub_share_fee");
            List.push_back(std::move(record));
        } catch (const EQuenlarError&) {
            // One unreadable amount loses its own order, not the page: the page's others still go out.
            ++FLostRecords;
            LogUnreadableAmount(QStringLiteral("联盟账号 ") + FPages.accountName() + QStringLiteral(" 订单"),
                TrimmedText(parentIdNode), TrimmedText(tradeIdNode));
        }
    }
    return hasNext;
}

std::vector<TWeiQuanOrderInfo> TTopApiGetOrders::getWeiquanOrders(const QDateTime& beginTime, const QDateTime& endTime)
{
    std::vector<TWeiQuanOrderInfo> list;
    const QString begin = Beijing::DateText(beginTime);
    const QString end = Beijing::DateText(endTime);
    for (int pageNo = 1; getWeiquanPage(pageNo, begin, end, list) && !StopRequested(); ++pageNo) { }
    return list;
}

bool TTopApiGetOrders::getWeiquanPage(
    int APageNo, const QString& ABegin, const QString& AEnd, std::vector<TWeiQuanOrderInfo>& List)
{
    QString reply;
    QString error;
    try {
        const TCommon* common = Common();
        const QString base = common != nullptr ? common->hosts().alimamaPublisherUrl() : QString();
        const QString query = QStringLiteral("t=%1&%2&pageNo=%3&startTime=%4&endTime=%5&queryType=1&isFullRefund=0"
                                             "&memberType=&pageSize=40")
                                  .arg(QString::number(QDateTime::currentSecsSinceEpoch()), F_tb_token_,
                                      QString::number(APageNo), ABegin, AEnd);
        Get(base + kReportPath + u'?' + query, reply, &error);
    } catch (const std::exception&) {
        error = ErrorMessageOf(std::current_exception());
    }
    // A stop is no failure: the pass says it was stopped.
    if (StopRequested())
        return false;
    const QString page = QStringLiteral("维权报表第 ") + QString::number(APageNo) + QStringLiteral(" 页");
    if (!error.isEmpty()) {
        FPages.Failed(page + QStringLiteral("读取失败:") + error);
        return false;
    }
    QString notReport;
    TReadRefoundOrderJSON reader(reply);
    const bool hasNext = reader.ReadOrders(List, &notReport);
    FLostRecords += reader.lost();
    if (!notReport.isEmpty())
        FPages.Failed(page + notReport);
    return hasNext;
}

void TTopApiGetOrders::Get(const QString& AUrl, QString& AOut, QString* AError)
{
    THttpRequest request = THttpRequest::ForGet(AUrl, UserAgents::kReportPage, FWebTimeoutMs);
    request.accept = kWebAccept;
    request.cookie = Trim(FCookies);
    // The URL holds the session's _tb_token_: it may only move within the publisher host.
    request.redirects = THttpRequest::TRedirects::SameOrigin;
    request.maxReplyBytes = THttpRequest::kPageReplyCap;
    const TCommon* common = Common();
    request.tls = THttpTls {common != nullptr ? common->hosts().caFile : QString()};
    request.stopCheck = [this] { return StopRequested(); };
    const std::scoped_lock lock(FCS);
    AOut = HttpExchange(request, AError);
}
