#pragma once

#include "foundation/globals.h"
#include "foundation/ownedthreads.h"
#include "operator/APIHttpBase.h"
#include "store/weiquanorder.h"

#include <QString>
#include <QStringList>
#include <QStringView>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <vector>

class TQJson;

// Paths on the operator hosts.
namespace OperatorPath {
inline constexpr QStringView Login = u"/client/dbmove/login"; // service host
inline constexpr QStringView AlimmTokens = u"/client/alimmtoken/getSyncOrderToken"; // service host
inline constexpr QStringView RefundOrders = u"/client/tbrefund/order/sync"; // service host
inline constexpr QStringView InvalidOrders = u"/orders/tborder/invalid/push"; // order-intake host
} // namespace OperatorPath

// What became of one postOrderData call.
struct TPostOutcome {
    int batches = 0;
    int accepted = 0; // batches the back end accepted (and that were handed to the order cache)
    int delivered = 0; // orders in the accepted batches
    QString cause; // the first failed batch's reason; empty when every batch was accepted
    bool unrecorded = false; // a batch the back end accepted could not be recorded: the cache failed, not the back end

    bool AllAccepted() const { return accepted == batches; }
};

// The operator client: sign-in, the account list and the order deliveries, all through the one transport lock of
// the process-wide instance. Every operation works from any thread.
class TAPIApp : public TAPIHttpBase {
public:
    TAPIApp();
    ~TAPIApp() override;

    // Signs in with the trimmed account and password. On success keeps "uid" and "token" of the reply's data (those
    // it holds) as the session; on failure sets AError to the reply's msg and changes nothing.
    // AStop may cut either request short (the process ends); it then fails like an unreachable back end.
    // ACause, when given, receives why the request itself failed (see TServiceResp::cause); empty when the back end
    // answered.
    bool Login(const QString& APhone, const QString& APwd, QString& AError, const std::function<bool()>& AStop = {},
        QString* ACause = nullptr);
    // The operator service's host as the settings name it, for messages.
    static QString ServiceHost();
    // The accounts to synchronise as a document; empty when the request failed.
    // AError, when given, receives why a list could not be had (the back end's code and message); the result is
    // then empty.
    std::unique_ptr<TQJson> getAlimmTokens(const std::function<bool()>& AStop = {}, QString* AError = nullptr);

    bool isLogin() const { return FisLogin.load(); }
    void setIsLogin(bool AValue) { FisLogin.store(AValue); }

    // Delivers invalid-order lines in batches of 100 from a thread of its own and returns at once; each batch the
    // back end accepts is recorded in the order cache. ADone, when given, learns the outcome once the last batch
    // is done: on the posting thread, or at once on the calling thread when there is nothing to post.
    using TPostDone = std::function<void(const TPostOutcome&)>;
    void postOrderData(const QStringList& List, TPostDone ADone = {});
    // Delivers refund orders in batches (99 in the first, 100 in later ones) on the calling thread; each accepted
    // batch is recorded in the order cache.
    TPostOutcome postWeiQuanOrderData(const std::vector<TWeiQuanOrderInfo>& List);
    // Waits until every batch thread has finished; the program calls it before the order cache goes away.
    void WaitForPosts() { FPosters.WaitAll(); }

    // Once a batch the back end accepted could not be recorded (a full disk, a broken cache), nothing more is
    // posted: it would be accepted and not recorded either, and sent a second time by the next pass. A pass that
    // finds the cache writable again resumes the posts.
    bool RecordingStopped() const { return FRecordingStopped.load(); }
    void ResumeRecording() { FRecordingStopped.store(false); }
    // The process end: no batch starts any more; a batch post still running AGrace from now is cut short and
    // counts as failed (logged as cut at exit), so a back end that does not answer cannot hold the end for the
    // request time-out, while one that answers slowly is still heard and its batch not sent twice.
    void CutPostsAfter(std::chrono::milliseconds AGrace);

    static QString CutAtExitText(); // the log line of a batch post cut at the process end

    // A time text of the report or the TOP method as Unix seconds of the Beijing time it names; the current time
    // when it does not parse.
    static qint64 timeTextToUnix(const QString& ATime);
    // One refund order as the one-line JSON object of a refund batch.
    static QString RefundOrderJson(const TWeiQuanOrderInfo& AOrder);

    // Full URLs on the hosts of the settings; empty without settings (and so no request is made).
    static QString ServiceUrl(QStringView APath);
    static QString IntakeUrl(QStringView APath);

private:
    void pushInvalidOrders(const QStringList& ABatches, int ALines, const TPostDone& ADone);
    // Empty when the back end accepted the batch and it was recorded; otherwise why not. AAgain: the orders of the
    // call that go out again should the batch not be recorded.
    QString syncRefundOrders(const QString& ABatch, int AAgain);
    // True once the process end's grace for batch posts has passed.
    bool PostsCut() const;
    bool Ending() const { return FPostDeadline.load() != 0; }
    // Records a batch the back end accepted; false, with the reason in ACause and the posts stopped, when the
    // cache could not. AAgain is how many orders of this call will be sent again because of it.
    bool Record(bool ARefunds, const QString& ABatch, int AAgain, QString& ACause);
    std::atomic<bool> FRecordingStopped {false};

    std::atomic<bool> FisLogin {false};
    std::atomic<std::chrono::steady_clock::rep> FPostDeadline {0}; // steady-clock ticks; 0 while no end is under way
    TOwnedThreads FPosters; // last member: joined before anything the batch threads use is destroyed
};

inline TAPIApp* APIApp()
{
    return TGlobal<TAPIApp>::Get();
}
