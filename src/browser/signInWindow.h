#pragma once

#include "browser/sessionCookies.h"
#include "browser/signInConfig.h"
#include "browser/signInReport.h"
#include "browser/trustedCertificates.h"

#include <QLabel>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <memory>

class QNetworkReply;
class QWebEngineCertificateError;
class QWebEnginePage;
class QWebEngineProfile;
class QWebEngineView;

// The sign-in window: the sign-in page in a web view with its own persistent profile. It watches the profile's
// cookies, asks the publisher host with them whether they name a member, and then hands the session to the program
// that started it, once. Closed before that, it reports a failed sign-in.
class TSignInWindow : public QWidget {
    Q_OBJECT

public:
    enum class TState { Loading, Open, LoadFailed, HandedOver, Closed };

    // AProfileFolder keeps the profile between runs (empty: in memory only); AUserId is the account the program
    // asked for.
    TSignInWindow(TSignInConfig AConfig, QString AUserId, quint16 APort, const QString& AProfileFolder);
    ~TSignInWindow() override;
    TSignInWindow(const TSignInWindow&) = delete;
    TSignInWindow& operator=(const TSignInWindow&) = delete;

    void Start(); // opens the sign-in page
    void EndQuietly(); // the window may close now without reporting a failed sign-in
    TState State() const { return FState; }
    QString StatusText() const { return FStatus->text(); }
    QWebEnginePage* Page() const;
    int RefusedCertificates() const { return FRefusedCertificates; }

Q_SIGNALS:
    void stateChanged(TSignInWindow::TState AState);

protected:
    void closeEvent(QCloseEvent* AEvent) override;

private:
    void SetState(TState AState, const QString& AStatus);
    void PageLoaded(bool AOk);
    void CertificateError(const QWebEngineCertificateError& AError);
    void ProbeSoon();
    void Probe();
    void StartProbe(const QString& ACookies);
    void ProbeFinished();
    void HandOver(const TProbeAnswer& AAnswer, const QString& ACookies);

    const TSignInConfig FConfig;
    const QString FUserId;
    const quint16 FPort;
    const TTrustedCertificates FTrusted;
    TSessionCookies FCookies;
    const QString FSessionFile; // the session handed over last, beside the profile; empty without a profile folder
    TState FState = TState::Loading;
    int FRefusedCertificates = 0;
    QString FRefusal; // why the last certificate was refused, for the load failure's text
    QNetworkAccessManager FNetwork;
    QPointer<QNetworkReply> FProbe;
    QString FProbeCookies; // the session text the running probe sent
    bool FProbeAgain = false; // cookies changed while a probe ran
    QTimer FProbeTimer;
    QLabel* FStatus = nullptr; // child
    // The page must go before its profile, the view before its page.
    std::unique_ptr<QWebEngineProfile> FProfile;
    std::unique_ptr<QWebEnginePage> FPage;
    std::unique_ptr<QWebEngineView> FView;
};
