#pragma once

#include "foundation/globals.h"
#include "operator/APIHttpBase.h"
#include "store/weiquanorder.h"

#include <QString>
#include <QStringView>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>

class TQJson;

// Paths on the operator hosts.
namespace OperatorPath {
inline constexpr QStringView Login = u"/client/dbmove/login"; // service host
inline constexpr QStringView AlimmTokens = u"/client/alimmtoken/getSyncOrderToken"; // service host
inline constexpr QStringView RefundOrders = u"/client/tbrefund/order/sync"; // service host
inline constexpr QStringView InvalidOrders = u"/orders/tborder/invalid/push"; // order-intake host
} // namespace OperatorPath

// The operator client, transport only: sign-in, the account list and the signed batch posts, whose verdict it hands
// back untouched; what a batch holds and what becomes of it is the caller's. Every operation works from any thread,
// on that thread.
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

    // Posts one batch of invalid-order lines (a JSON array) to the order-intake host, or one of refund orders with
    // the session to the service host, and answers the back end's verdict. A job's stop never cuts it (its outcome
    // decides what is cached); only the process end's grace does (PostsCut). Raises EQuenlarError when the reply's
    // "code" or "time" is not a number.
    TServiceResp postInvalidOrders(const QString& ABatch);
    TServiceResp postRefundOrders(const QString& ABatch);
    // The process end: no batch starts any more; a batch post still running AGrace from now is cut short and
    // counts as failed (logged as cut at exit), so a back end that does not answer cannot hold the end for the
    // request time-out, while one that answers slowly is still heard and its batch not sent twice.
    void CutPostsAfter(std::chrono::milliseconds AGrace);

    static QString CutAtExitText(); // the log line of a batch post cut at the process end
    // The process end is under way: no batch may start.
    bool Ending() const { return FPostDeadline.load() != 0; }
    // True once the process end's grace for batch posts has passed.
    bool PostsCut() const;

    // A time text of the report or the TOP method as Unix seconds of the Beijing time it names; the current time
    // when it does not parse.
    static qint64 timeTextToUnix(const QString& ATime);
    // One refund order as the one-line JSON object of a refund batch.
    static QString RefundOrderJson(const TWeiQuanOrderInfo& AOrder);

    // Full URLs on the hosts of the settings; empty without settings (and so no request is made).
    static QString ServiceUrl(QStringView APath);
    static QString IntakeUrl(QStringView APath);

private:
    std::atomic<bool> FisLogin {false};
    std::atomic<std::chrono::steady_clock::rep> FPostDeadline {0}; // steady-clock ticks; 0 while no end is under way
};

inline TAPIApp* APIApp()
{
    return TGlobal<TAPIApp>::Get();
}
