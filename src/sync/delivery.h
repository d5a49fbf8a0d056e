#pragma once

#include "store/weiquanorder.h"
#include "taobao/invalidOrder.h"
#include "taobao/orderPass.h"

#include <QString>

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

class TAgedOutOrders;
class TAPIApp;
class TDBCacheClass;

// What became of an account's batches.
struct TPostOutcome {
    int batches = 0;
    int accepted = 0; // batches the back end accepted (and that were recorded in the order cache)
    int delivered = 0; // orders in the accepted batches
    QString cause; // the first failed batch's reason; empty when every batch was accepted
    bool unrecorded = false; // a batch the back end accepted could not be recorded: the cache failed, not the back end

    bool AllAccepted() const { return accepted == batches; }
};

// What one account's delivery did.
struct TDelivered {
    qsizetype found = 0; // the records the cache did not hold: the ones posted
    TPostOutcome posted;
    int agedOut = 0; // invalid orders that left the window undelivered now
};

// The one step between the readers and the operator back end. It takes an account's records as read, leaves out
// those the order cache holds, builds the batches and posts them on the calling thread (the pass's worker), records
// each accepted batch's orders in the cache, and for invalid orders moves the account's watermarks once every batch
// was accepted and tells the aged-out watch what the pass found. The cache and the operator client are the caller's.
class TDelivery {
public:
    static constexpr int kInvalidBatchSize = 100;
    static constexpr int kRefundBatchSize = 100; // the first batch holds one fewer

    // Called with the count of new records before any goes out: the account's count line.
    using TAnnounce = std::function<void(qsizetype ANew)>;

    explicit TDelivery(TAgedOutOrders& AAgedOut);

    // The watermarks an account's order pass starts from; none without the incremental switch (the pass then reads
    // the whole window).
    static std::optional<TOrderWatermarks> Watermarks(const TDBCacheClass& ACache, const QString& AAccount);

    // An account's invalid-order pass. AComplete says the pass read every slice and was not stopped. Raises
    // ECacheError, before anything is posted, when the cache cannot tell which orders were delivered.
    TDelivered DeliverInvalid(TDBCacheClass& ACache, TAPIApp* AOperator, const QString& AAccount,
        const QString& AAccountName, const TOrderPassResult& APass, bool AComplete, const TAnnounce& AAnnounce);
    // An account's successful refunds; raises ECacheError as above.
    TDelivered DeliverRefunds(TDBCacheClass& ACache, TAPIApp* AOperator, const std::vector<TWeiQuanOrderInfo>& ARefunds,
        const TAnnounce& AAnnounce);

    // The records the cache does not hold under their order type, in the order given.
    static std::vector<TInvalidOrder> Unsent(const TDBCacheClass& ACache, const std::vector<TInvalidOrder>& AOrders);
    static std::vector<TWeiQuanOrderInfo> Unsent(
        const TDBCacheClass& ACache, const std::vector<TWeiQuanOrderInfo>& ARefunds);

    // Invalid orders in batches of 100; refunds in batches of 99 first and 100 after. Each accepted batch is recorded
    // before the next goes out.
    TPostOutcome PostInvalid(TDBCacheClass& ACache, TAPIApp& AOperator, const std::vector<TInvalidOrder>& AOrders);
    TPostOutcome PostRefunds(TDBCacheClass& ACache, TAPIApp& AOperator, const std::vector<TWeiQuanOrderInfo>& ARefunds);

    // Once a batch the back end accepted could not be recorded (a full disk, a broken cache), nothing more is
    // posted: it would be accepted and not recorded either, and sent a second time by the next pass. A pass that
    // finds the cache writable again resumes the posts.
    bool RecordingStopped() const { return FRecordingStopped.load(); }
    void ResumeRecording() { FRecordingStopped.store(false); }

private:
    // Records an accepted batch; false, with the reason in ACause and the posts stopped, when the cache could not.
    // AAgain is how many orders of this delivery go out again because of it.
    bool Record(TDBCacheClass& ACache, const std::vector<std::pair<QString, QString>>& AOrders, int AOrderType,
        int AAgain, QString& ACause);
    // Empty when the back end accepted the batch and it was recorded; otherwise why not.
    QString PostRefundBatch(TDBCacheClass& ACache, TAPIApp& AOperator, const QStringList& AJson,
        const std::vector<std::pair<QString, QString>>& AOrders, int AAgain);

    TAgedOutOrders& FAgedOut;
    std::atomic<bool> FRecordingStopped {false};
    // Held while an account's count line is written and its orders posted: the post's lines name no account, so
    // with accounts downloaded at once they must follow their account's line.
    std::mutex FPostTurn;
};
