#include "sync/delivery.h"

#include "foundation/qerror.h"
#include "foundation/textutil.h"
#include "log/QLog.h"
#include "operator/uapiApp.h"
#include "store/ucommon.h"
#include "store/udb.h"
#include "sync/agedOutOrders.h"

#include <QStringList>

#include <algorithm>

namespace {

constexpr int kInvalidOrderType = 0;
constexpr int kRefundOrderType = 1;

using TKeys = std::vector<std::pair<QString, QString>>;

QString BatchText(const QStringList& AMembers)
{
    return u'[' + AMembers.join(u',') + u']';
}

const QString kRecordingStoppedText = QStringLiteral("订单缓存无法记录已提交的订单,本次同步停止提交,下次同步再提交");

// The records whose ids AKeyOf gives (empty ids: never looked up, always new) that the cache does not hold under
// AOrderType; the whole account over one connection.
template <typename TRecord, typename TKeyOf>
std::vector<TRecord> NotCached(
    const TDBCacheClass& ACache, const std::vector<TRecord>& ARecords, int AOrderType, TKeyOf AKeyOf)
{
    std::vector<TDBCacheClass::TOrderKey> lookups;
    std::vector<int> lookupOf; // index into lookups per record, -1: not looked up
    lookupOf.reserve(ARecords.size());
    for (const TRecord& record : ARecords) {
        std::optional<TDBCacheClass::TOrderKey> key = AKeyOf(record);
        lookupOf.push_back(key ? static_cast<int>(lookups.size()) : -1);
        if (key)
            lookups.push_back(std::move(*key));
    }
    const std::vector<bool> cached = ACache.existOrders(lookups, AOrderType);
    std::vector<TRecord> unsent;
    for (size_t i = 0; i < ARecords.size(); ++i) {
        if (lookupOf[i] < 0 || !cached[size_t(lookupOf[i])])
            unsent.push_back(ARecords[i]);
    }
    return unsent;
}

// Whether every status of the pass was read over the whole window (not only what changed since a watermark).
bool ReadWholeWindow(const TOrderPassResult& APass)
{
    if (APass.watermarks.empty())
        return !APass.incremental;
    return std::all_of(APass.watermarks.begin(), APass.watermarks.end(),
        [](const auto& AMark) { return AMark.second.fullAt == AMark.second.updatedTo; });
}

} // namespace

TDelivery::TDelivery(TAgedOutOrders& AAgedOut)
    : FAgedOut(AAgedOut)
{
}

std::optional<TOrderWatermarks> TDelivery::Watermarks(const TDBCacheClass& ACache, const QString& AAccount)
{
    const TCommon* common = Common();
    if (!(common && common->openIncremental()))
        return std::nullopt;
    TOrderWatermarks marks;
    for (const int status : {13, 14}) {
        if (const std::optional<TOrderWatermark> mark = ACache.watermark(AAccount, status))
            marks.emplace(status, *mark);
    }
    return marks;
}

std::vector<TInvalidOrder> TDelivery::Unsent(const TDBCacheClass& ACache, const std::vector<TInvalidOrder>& AOrders)
{
    return NotCached(
        ACache, AOrders, kInvalidOrderType, [](const TInvalidOrder& AOrder) -> std::optional<TDBCacheClass::TOrderKey> {
            if (!AOrder.HasIds())
                return std::nullopt;
            return TDBCacheClass::TOrderKey {*AOrder.tradeParentId, *AOrder.tradeId};
        });
}

std::vector<TWeiQuanOrderInfo> TDelivery::Unsent(
    const TDBCacheClass& ACache, const std::vector<TWeiQuanOrderInfo>& ARefunds)
{
    return NotCached(ACache, ARefunds, kRefundOrderType,
        [](const TWeiQuanOrderInfo& ARefund) -> std::optional<TDBCacheClass::TOrderKey> {
            QString parentId = Trim(ARefund.tbTradeParentId);
            QString childId = Trim(ARefund.tbTradeId);
            if (parentId.isEmpty() || childId.isEmpty())
                return std::nullopt;
            return TDBCacheClass::TOrderKey {std::move(parentId), std::move(childId)};
        });
}

TDelivered TDelivery::DeliverInvalid(TDBCacheClass& ACache, TAPIApp* AOperator, const QString& AAccount,
    const QString& AAccountName, const TOrderPassResult& APass, bool AComplete, const TAnnounce& AAnnounce)
{
    TDelivered result;
    const std::vector<TInvalidOrder> unsent = Unsent(ACache, APass.orders);
    result.found = static_cast<qsizetype>(unsent.size());
    {
        const std::scoped_lock together(FPostTurn);
        if (AAnnounce)
            AAnnounce(result.found);
        if (AOperator) {
            result.posted = PostInvalid(ACache, *AOperator, unsent);
        } else if (!unsent.empty()) {
            result.posted.batches = 1;
            result.posted.cause = QStringLiteral("no operator client");
        }
    }
    // Only once every batch was accepted, so a refused batch is read and sent again by the very next pass rather
    // than the next full one.
    if (result.posted.AllAccepted()) {
        for (const auto& [status, mark] : APass.watermarks)
            ACache.setWatermark(APass.accountKey, status, mark);
    }
    std::vector<TAgedOutOrders::TKey> found;
    found.reserve(unsent.size());
    for (const TInvalidOrder& order : unsent)
        found.push_back(order.LineIds());
    // An order the cache cannot answer for counts as delivered: no alarm without proof.
    const auto deliveredBefore = [&ACache](const TAgedOutOrders::TKey& AKey) {
        try {
            return ACache.existOrder(AKey.first, AKey.second, kInvalidOrderType);
        } catch (const std::exception&) {
            return true;
        }
    };
    result.agedOut = FAgedOut.PassEnded(AAccount, AAccountName, found, AComplete && ReadWholeWindow(APass),
        result.posted.AllAccepted(), deliveredBefore);
    return result;
}

TDelivered TDelivery::DeliverRefunds(TDBCacheClass& ACache, TAPIApp* AOperator,
    const std::vector<TWeiQuanOrderInfo>& ARefunds, const TAnnounce& AAnnounce)
{
    TDelivered result;
    const std::vector<TWeiQuanOrderInfo> unsent = Unsent(ACache, ARefunds);
    result.found = static_cast<qsizetype>(unsent.size());
    if (AAnnounce)
        AAnnounce(result.found);
    if (AOperator)
        result.posted = PostRefunds(ACache, *AOperator, unsent);
    return result;
}

bool TDelivery::Record(TDBCacheClass& ACache, const std::vector<std::pair<QString, QString>>& AOrders, int AOrderType,
    int AAgain, QString& ACause)
{
    const QString failure = ACache.add(AOrders, AOrderType);
    if (failure.isEmpty())
        return true;
    FRecordingStopped.store(true);
    // Said once, with what it costs: these orders go out a second time with the next pass.
    ACause = QStringLiteral("已提交的订单未能记入缓存(") + failure + QStringLiteral("),本次同步停止提交,")
        + QString::number(AAgain) + QStringLiteral(" 条订单下次同步会再次提交");
    LogLine(llError, ACause);
    return false;
}

TPostOutcome TDelivery::PostInvalid(
    TDBCacheClass& ACache, TAPIApp& AOperator, const std::vector<TInvalidOrder>& AOrders)
{
    TPostOutcome outcome;
    const int total = static_cast<int>(AOrders.size());
    outcome.batches = (total + kInvalidBatchSize - 1) / kInvalidBatchSize;
    for (int first = 0; first < total; first += kInvalidBatchSize) {
        if (AOperator.Ending()) {
            // The process ends: only posts already in flight are waited for; the next run sends these again.
            if (outcome.cause.isEmpty())
                outcome.cause = TAPIApp::CutAtExitText();
            break;
        }
        if (RecordingStopped()) {
            if (outcome.cause.isEmpty())
                outcome.cause = kRecordingStoppedText;
            outcome.unrecorded = true;
            break;
        }
        const int count = std::min(kInvalidBatchSize, total - first);
        QStringList lines;
        TKeys keys;
        for (int i = first; i < first + count; ++i) {
            lines.append(AOrders[size_t(i)].Line());
            keys.push_back(AOrders[size_t(i)].LineIds());
        }
        TServiceResp resp;
        try {
            resp = AOperator.postInvalidOrders(BatchText(lines));
        } catch (const EQuenlarError& e) {
            // A reply whose code is not a number: that batch failed, the next ones still go out.
            resp.msg = e.Message();
        }
        if (resp.code == 200) {
            QString unrecorded;
            if (!Record(ACache, keys, kInvalidOrderType, total - first, unrecorded)) {
                if (outcome.cause.isEmpty())
                    outcome.cause = unrecorded;
                outcome.unrecorded = true;
                break;
            }
            ++outcome.accepted;
            outcome.delivered += count;
            LogLine(llMessage, QStringLiteral("失效/已收货订单提交成功"));
        } else if (AOperator.PostsCut()) {
            LogLine(llError, QStringLiteral("失效/已收货") + TAPIApp::CutAtExitText());
            if (outcome.cause.isEmpty())
                outcome.cause = TAPIApp::CutAtExitText();
        } else {
            const QString cause
                = QStringLiteral("code:") + QString::number(resp.code) + QStringLiteral(",msg:") + resp.msg;
            LogLine(llMessage, QStringLiteral("失效/已收货订单提交失败---") + cause);
            if (outcome.cause.isEmpty())
                outcome.cause = QStringLiteral("失效/已收货订单提交失败---") + cause;
        }
    }
    return outcome;
}

TPostOutcome TDelivery::PostRefunds(
    TDBCacheClass& ACache, TAPIApp& AOperator, const std::vector<TWeiQuanOrderInfo>& ARefunds)
{
    TPostOutcome outcome;
    QStringList pending;
    TKeys pendingKeys;
    const auto send = [&](size_t ASent) {
        ++outcome.batches;
        if (RecordingStopped()) {
            if (outcome.cause.isEmpty())
                outcome.cause = kRecordingStoppedText;
            outcome.unrecorded = true;
        } else {
            const QString failure = PostRefundBatch(
                ACache, AOperator, pending, pendingKeys, static_cast<int>(ARefunds.size() - ASent + pending.size()));
            if (RecordingStopped())
                outcome.unrecorded = true;
            if (failure.isEmpty()) {
                ++outcome.accepted;
                outcome.delivered += static_cast<int>(pending.size());
            } else if (outcome.cause.isEmpty()) {
                outcome.cause = failure;
            }
        }
        pending.clear();
        pendingKeys.clear();
    };
    for (size_t k = 1; k <= ARefunds.size(); ++k) {
        // The batch goes out before the k-th record is added, so the first batch holds 99 records.
        if (k % kRefundBatchSize == 0)
            send(k - 1);
        const TWeiQuanOrderInfo& refund = ARefunds[k - 1];
        pending.append(TAPIApp::RefundOrderJson(refund));
        pendingKeys.emplace_back(refund.tbTradeParentId, refund.tbTradeId);
    }
    if (!pending.isEmpty())
        send(ARefunds.size());
    return outcome;
}

QString TDelivery::PostRefundBatch(TDBCacheClass& ACache, TAPIApp& AOperator, const QStringList& AJson,
    const std::vector<std::pair<QString, QString>>& AOrders, int AAgain)
{
    if (AOperator.Ending())
        return TAPIApp::CutAtExitText(); // only posts already in flight are waited for; the next run sends it again
    const TServiceResp resp = AOperator.postRefundOrders(BatchText(AJson));
    if (resp.code == 200) {
        QString unrecorded;
        if (!Record(ACache, AOrders, kRefundOrderType, AAgain, unrecorded))
            return unrecorded;
    } else if (AOperator.PostsCut()) {
        LogLine(llError, QStringLiteral("维权") + TAPIApp::CutAtExitText());
        return TAPIApp::CutAtExitText();
    }
    const QString result = QStringLiteral("code:") + QString::number(resp.code) + QStringLiteral(",msg:") + resp.msg;
    LogLine(llMessage, QStringLiteral("维权订单提交结果---") + result);
    return resp.code == 200 ? QString() : QStringLiteral("维权订单提交失败---") + result;
}
