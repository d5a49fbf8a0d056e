#pragma once

#include "foundation/globals.h"
#include "operator/APIHttpBase.h"

#include <QString>
#include <QStringView>

#include <atomic>
#include <memory>

class TQJson;

// Paths on the operator hosts.
namespace OperatorPath {
inline constexpr QStringView Login = u"/client/dbmove/login"; // service host
inline constexpr QStringView AlimmTokens = u"/client/alimmtoken/getSyncOrderToken"; // service host
inline constexpr QStringView RefundOrders = u"/client/tbrefund/order/sync"; // service host
inline constexpr QStringView InvalidOrders = u"/orders/tborder/invalid/push"; // order-intake host
} // namespace OperatorPath

// The operator client: sign-in, the account list and the order deliveries, all through the one transport lock of
// the process-wide instance. Every operation works from any thread.
class TAPIApp : public TAPIHttpBase {
public:
    TAPIApp();
    ~TAPIApp() override;

    // Signs in with the trimmed account and password. On success keeps "uid" and "token" of the reply's data (those
    // it holds) as the session; on failure sets AError to the reply's msg and changes nothing.
    bool Login(const QString& APhone, const QString& APwd, QString& AError);
    // The accounts to synchronise as a document; empty when the request failed.
    std::unique_ptr<TQJson> getAlimmTokens();

    bool isLogin() const { return FisLogin.load(); }
    void setIsLogin(bool AValue) { FisLogin.store(AValue); }

    // Diagnostics, not used by the program: post AParams to AAction on the service host with the session, and
    // post AStr as "orders" to the invalid-order path of the order-intake host.
    QString PostTest(QStringView AAction, TParamList& AParams);
    QString Test(const QString& AStr);

    // Full URLs on the hosts of the settings; empty without settings (and so no request is made).
    static QString ServiceUrl(QStringView APath);
    static QString IntakeUrl(QStringView APath);

private:
    static QString Describe(const TServiceResp& AResp);

    std::atomic<bool> FisLogin {false};
};

inline TAPIApp* APIApp()
{
    return TGlobal<TAPIApp>::Get();
}
