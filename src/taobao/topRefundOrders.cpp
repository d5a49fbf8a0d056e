#include "taobao/topRefundOrders.h"

#include "foundation/qerror.h"
#include "foundation/qjson.h"
#include "foundation/qworker.h"
#include "foundation/textutil.h"
#include "log/QLog.h"
#include "store/udb.h"
#include "taobao/topApiGetOrders.h"
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

QString RefusalText(const TTopReply& AReply)
{
    return QStringLiteral("code:") + QString::number(AReply.code) + QStringLiteral(",sub_code:") + AReply.subCode
        + QStringLiteral(",msg:") + AReply.message;
}

} // namespace

TTopRefundOrders::TTopRefundOrders(const QString& AToken, TStopCheck AStop)
    : FToken(Trim(AToken))
    , FStop(std::move(AStop))
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

bool TTopRefundOrders::StopRequested() const
{
    if (const TQWorkers* workers = JobScheduler(); workers != nullptr && workers->Terminating())
        return true;
    return FStop && FStop();
}

TTopGate& TTopRefundOrders::Gate()
{
    if (FGate != nullptr)
        return *FGate;
    TTopGate* shared = TopGate();
    return shared != nullptr ? *shared : FOwnGate;
}

TTopRefundOrders::TPageOutcome TTopRefundOrders::Failed(const QString& AReason)
{
    if (FFailure.isEmpty())
        FFailure = AReason;
    return TPageOutcome::Failed;
}

bool TTopRefundOrders::QuotaSpent()
{
    return Gate().QuotaSpentUntil() > FClock->NowMs();
}

bool TTopRefundOrders::WaitForGate()
{
    return Gate().AwaitTurn(*FClock, [this] { return StopRequested(); });
}

std::vector<TWeiQuanOrderInfo> TTopRefundOrders::getRefundOrders(const QDateTime& ABegin, const QDateTime& AEnd)
{
    std::vector<TWeiQuanOrderInfo> list;
    if (FToken.isEmpty()) {
        Failed(QStringLiteral("没有淘宝开放平台授权"));
        return list;
    }
    const QDateTime begin(ABegin.date(), QTime(0, 0));
    for (QDateTime cursor = begin; cursor < AEnd && !StopRequested();) {
        if (FAbandoned)
            break;
        if (QuotaSpent()) {
            Failed(QStringLiteral("淘宝开放平台应用今日调用次数已用完"));
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
            const TPageOutcome outcome = ReadPage(pageNo, position, ABegin, AEnd, AList, hasNext);
            if (outcome == TPageOutcome::Stopped)
                return false;
            if (outcome == TPageOutcome::Failed)
                return true;
            ++pageNo;
            if (StopRequested())
                return false;
            FClock->Wait(FReplyAtMs + TTopApiGetOrders::kPagePauseMs - FClock->NowMs(), {});
        } while (hasNext);
    } catch (const std::exception&) {
        // A page that cannot be read ends its slice; what was read stays and the next run asks again.
        Failed(QStringLiteral("维权订单页无法读取:") + ErrorMessageOf(std::current_exception()));
    }
    return true;
}

TTopRefundOrders::TPageOutcome TTopRefundOrders::ReadPage(int APageNo, QString& APosition, const QDateTime& ABegin,
    const QDateTime& AEnd, std::vector<TWeiQuanOrderInfo>& AList, bool& AHasNext)
{
    const QString account = QStringLiteral("联盟账号 ") + FAccountName;
    int bans = 0;
    int transients = 0;
    for (;;) {
        if (!WaitForGate())
            return StopRequested() ? TPageOutcome::Stopped
                                   : Failed(QStringLiteral("淘宝开放平台应用今日调用次数已用完"));
        TTopReply reply;
        AHasNext = RequestPage(APageNo, APosition, ABegin, AEnd, AList, reply);
        if (StopRequested())
            return TPageOutcome::Stopped;
        switch (reply.kind) {
        case TTopReplyKind::Data:
            FGatewayDown = false;
            return TPageOutcome::Read;
        case TTopReplyKind::Ban: {
            if (++bans > TTopApiGetOrders::kBansPerPage)
                return Failed(QStringLiteral("淘宝开放平台限流(") + reply.subCode + QStringLiteral(")未解除"));
            const qint64 seconds = std::min(std::max<qint64>(reply.banSeconds, 0) + 1, TTopApiGetOrders::kBanWaitCapS);
            Gate().Ban(FClock->NowMs() + seconds * 1000);
            LogLine(llWarning,
                account + QStringLiteral(" 调用淘宝开放平台被限流(") + reply.subCode + QStringLiteral("),等待 ")
                    + QString::number(seconds) + QStringLiteral(" 秒后重新请求..."));
            continue;
        }
        case TTopReplyKind::Quota:
            if (Gate().SpendQuota(FClock->NowMs())) {
                const QDateTime resume = QDateTime::fromMSecsSinceEpoch(Gate().QuotaSpentUntil());
                LogLine(llError,
                    QStringLiteral("淘宝开放平台应用今日调用次数已用完(") + account
                        + QStringLiteral("),所有账号暂停订单同步,") + resume.toString(kTimeFormat)
                        + QStringLiteral(" 后恢复"));
            }
            return Failed(QStringLiteral("淘宝开放平台应用今日调用次数已用完"));
        case TTopReplyKind::Transient: {
            const QString what = reply.subCode.isEmpty() ? QStringLiteral("网络错误") : reply.subCode;
            if (FGatewayDown || transients == TTopApiGetOrders::kTransientRetries) {
                if (!FGatewayDown && !FLogged) {
                    FLogged = true;
                    LogLine(llError,
                        account + QStringLiteral(" 请求淘宝开放平台维权订单失败(") + what + QStringLiteral("),重试 ")
                            + QString::number(TTopApiGetOrders::kTransientRetries)
                            + QStringLiteral(" 次后放弃,下次同步再取"));
                }
                FGatewayDown = true;
                return Failed(QStringLiteral("请求淘宝开放平台失败(") + what + u')');
            }
            if (!FClock->Wait(TTopApiGetOrders::kTransientBackOffMs[transients++], [this] { return StopRequested(); }))
                return TPageOutcome::Stopped;
            continue;
        }
        case TTopReplyKind::Refused:
            return Refused(reply);
        case TTopReplyKind::Unknown:
            return Failed(QStringLiteral("淘宝开放平台的回复无法识别"));
        }
        return Failed(QStringLiteral("淘宝开放平台的回复无法识别"));
    }
}

TTopRefundOrders::TPageOutcome TTopRefundOrders::Refused(const TTopReply& AReply)
{
    // 11 and 12: the app or the user is not granted the method; 26 and 27: the session is gone. Every further
    // request would be refused the same way.
    FPermissionRefused = AReply.code == 11 || AReply.code == 12;
    FAbandoned = FPermissionRefused || AReply.code == 26 || AReply.code == 27;
    if (!FPermissionRefused && !FLogged) {
        FLogged = true;
        LogLine(llError,
            QStringLiteral("联盟账号 ") + FAccountName + QStringLiteral(" 维权订单请求被淘宝开放平台拒绝,")
                + RefusalText(AReply));
    }
    return Failed(QStringLiteral("淘宝开放平台拒绝维权订单请求,") + RefusalText(AReply));
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
    client.setStopCheck([this] { return StopRequested(); });
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
    FReplyAtMs = FClock->NowMs();
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
            Failed(QStringLiteral("淘宝开放平台维权订单翻页位置未变"));
        return false;
    }
    AddNewSuccessful(data->ItemByName(u"result"), AList);
    return hasNext;
}
