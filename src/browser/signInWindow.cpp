#include "browser/signInWindow.h"

#include "foundation/qhttp.h"

#include <QCloseEvent>
#include <QFile>
#include <QNetworkCookie>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QVBoxLayout>
#include <QWebEngineCertificateError>
#include <QWebEngineCookieStore>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineView>

namespace {

// Cookies usually arrive in a burst; one probe after the burst is enough.
constexpr int kProbeDelayMs = 150;
// The throttling page says nothing about the session: ask again after a pause.
constexpr int kThrottledRetryMs = 3000;
constexpr int kProbeTimeoutMs = 10000;

} // namespace

TSignInWindow::TSignInWindow(TSignInConfig AConfig, QString AUserId, quint16 APort, const QString& AProfileFolder)
    : FConfig(std::move(AConfig))
    , FUserId(std::move(AUserId))
    , FPort(APort)
    , FTrusted(FConfig.caFile)
    , FCookies(FConfig.sessionHosts)
    , FSessionFile(AProfileFolder.isEmpty() ? QString() : AProfileFolder + QStringLiteral("/quenlar-session"))
{
    setWindowTitle(QStringLiteral("登录阿里妈妈 - %1").arg(FUserId));
    FNetwork.setProxy(QNetworkProxy::NoProxy);
    FProbeTimer.setSingleShot(true);
    connect(&FProbeTimer, &QTimer::timeout, this, &TSignInWindow::Probe);

    if (AProfileFolder.isEmpty()) {
        FProfile = std::make_unique<QWebEngineProfile>();
    } else {
        FProfile = std::make_unique<QWebEngineProfile>(QStringLiteral("signin"));
        FProfile->setPersistentStoragePath(AProfileFolder);
        FProfile->setCachePath(AProfileFolder + QStringLiteral("/cache"));
        // Session cookies too, so that the next sign-in of the account finds its session.
        FProfile->setPersistentCookiesPolicy(QWebEngineProfile::ForcePersistentCookies);
    }
    QWebEngineCookieStore* store = FProfile->cookieStore();
    connect(store, &QWebEngineCookieStore::cookieAdded, this, [this](const QNetworkCookie& cookie) {
        FCookies.Add(cookie);
        ProbeSoon();
    });
    connect(store, &QWebEngineCookieStore::cookieRemoved, this,
        [this](const QNetworkCookie& cookie) { FCookies.Remove(cookie); });

    FPage = std::make_unique<QWebEnginePage>(FProfile.get());
    connect(FPage.get(), &QWebEnginePage::loadFinished, this, &TSignInWindow::PageLoaded);
    connect(FPage.get(), &QWebEnginePage::certificateError, this, &TSignInWindow::CertificateError);

    FStatus = new QLabel(this);
    FStatus->setObjectName(QStringLiteral("status"));
    FStatus->setWordWrap(true);
    FView = std::make_unique<QWebEngineView>();
    FView->setPage(FPage.get());
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(6, 6, 6, 6);
    layout->addWidget(FStatus);
    layout->addWidget(FView.get(), 1);
    resize(1000, 720);
}

TSignInWindow::~TSignInWindow()
{
    if (FProbe)
        FProbe->abort();
}

QWebEnginePage* TSignInWindow::Page() const
{
    return FPage.get();
}

void TSignInWindow::Start()
{
    SetState(TState::Loading, QStringLiteral("正在打开登录页 %1 …").arg(FConfig.signInPage.toDisplayString()));
    FProfile->cookieStore()->loadAllCookies();
    FPage->load(FConfig.signInPage);
    // The engine restores the profile's cookies without reporting them: ask with the session handed over last.
    QFile saved(FSessionFile);
    if (!FSessionFile.isEmpty() && saved.open(QIODevice::ReadOnly))
        StartProbe(QString::fromUtf8(saved.readAll()).trimmed());
}

void TSignInWindow::EndQuietly()
{
    if (FState != TState::HandedOver)
        SetState(TState::Closed, StatusText());
}

void TSignInWindow::SetState(TState AState, const QString& AStatus)
{
    FState = AState;
    FStatus->setText(AStatus);
    Q_EMIT stateChanged(AState);
}

void TSignInWindow::PageLoaded(bool AOk)
{
    if (FState == TState::HandedOver || FState == TState::Closed)
        return;
    if (AOk) {
        SetState(TState::Open, QStringLiteral("请登录账号 %1。登录完成后，会话会自动交给 Quenlar。").arg(FUserId));
        ProbeSoon();
        return;
    }
    // A failed load of a page the operator navigated to leaves the window as it is; only the first page counts.
    if (FState != TState::Loading)
        return;
    QString status = QStringLiteral("登录页无法打开: %1").arg(FConfig.signInPage.toDisplayString());
    if (!FRefusal.isEmpty())
        status += QStringLiteral(" (%1)").arg(FRefusal);
    SetState(TState::LoadFailed, status);
}

void TSignInWindow::CertificateError(const QWebEngineCertificateError& AError)
{
    // Only a certificate that caFile vouches for passes; any other fault is never clicked through.
    QWebEngineCertificateError error = AError;
    if (error.type() == QWebEngineCertificateError::CertificateAuthorityInvalid
        && FTrusted.Trusts(error.certificateChain())) {
        error.acceptCertificate();
        return;
    }
    ++FRefusedCertificates;
    FRefusal = QStringLiteral("证书不受信任，已拒绝: %1").arg(error.description());
    error.rejectCertificate();
}

void TSignInWindow::ProbeSoon()
{
    if (FState != TState::HandedOver && FState != TState::Closed)
        FProbeTimer.start(kProbeDelayMs);
}

void TSignInWindow::Probe()
{
    if (FState != TState::HandedOver && FState != TState::Closed)
        StartProbe(FCookies.Text(QDateTime::currentDateTimeUtc()));
}

void TSignInWindow::StartProbe(const QString& ACookies)
{
    if (FProbe) {
        FProbeAgain = true;
        return;
    }
    if (!ACookies.contains(QStringLiteral("_tb_token_=")))
        return; // no session yet
    QNetworkRequest request(FConfig.probeUrl);
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    request.setHeader(QNetworkRequest::UserAgentHeader, UserAgents::kSessionProbe.toString());
    request.setRawHeader("Accept", "*/*");
    request.setRawHeader("Cookie", ACookies.toUtf8());
    request.setTransferTimeout(kProbeTimeoutMs);
    request.setSslConfiguration(FTrusted.Configuration());
    FProbeCookies = ACookies;
    FProbe = FNetwork.get(request);
    connect(FProbe.data(), &QNetworkReply::finished, this, &TSignInWindow::ProbeFinished);
}

void TSignInWindow::ProbeFinished()
{
    const std::unique_ptr<QNetworkReply, void (*)(QNetworkReply*)> reply(
        FProbe.data(), [](QNetworkReply* r) { r->deleteLater(); });
    FProbe.clear();
    const TProbeAnswer answer
        = reply->error() == QNetworkReply::NoError ? ReadProbeReply(reply->readAll()) : TProbeAnswer();
    if (answer.kind == TProbeAnswer::TKind::SignedIn && FState != TState::HandedOver && FState != TState::Closed) {
        HandOver(answer, FProbeCookies);
        return;
    }
    if (answer.kind == TProbeAnswer::TKind::Throttled)
        FProbeTimer.start(kThrottledRetryMs);
    else if (std::exchange(FProbeAgain, false))
        ProbeSoon();
}

void TSignInWindow::HandOver(const TProbeAnswer& AAnswer, const QString& ACookies)
{
    if (!FSessionFile.isEmpty()) {
        QSaveFile saved(FSessionFile);
        if (saved.open(QIODevice::WriteOnly)) {
            saved.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
            saved.write(ACookies.toUtf8());
            saved.commit();
        }
    }
    const bool sent = SendSignInResult(TSignInResult {FUserId, AAnswer.nickname, AAnswer.memberId, ACookies}, FPort);
    SetState(TState::HandedOver,
        sent ? QStringLiteral("%1 已登录，会话已交给 Quenlar。").arg(AAnswer.nickname)
             : QStringLiteral("%1 已登录，但无法把会话交给 Quenlar (端口 %2)。").arg(AAnswer.nickname).arg(FPort));
}

void TSignInWindow::closeEvent(QCloseEvent* AEvent)
{
    if (FState != TState::HandedOver && FState != TState::Closed) {
        SendSignInResult(TSignInResult {FUserId, QString(), QString(), QString()}, FPort);
        SetState(TState::Closed, QStringLiteral("登录已取消。"));
    }
    AEvent->accept();
}
