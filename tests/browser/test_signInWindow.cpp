// The sign-in window against the stand-in, with the web engine running offscreen: a scripted sign-in on the
// stand-in's sign-in page, a window closed early, and pages behind trusted and untrusted certificates.

#include "browser/signInConfig.h"
#include "browser/signInWindow.h"

#include "sessions/alimmTokenMgr.h"
#include "standInFolder.h"
#include "standinclient.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QNetworkProxy>
#include <QTcpServer>
#include <QTest>
#include <QUdpSocket>
#include <QWebEnginePage>

#include <gtest/gtest.h>

namespace {

constexpr int kWaitMs = 30000;

class SignInWindow : public ::testing::Test, protected TStandInFixture, protected TStandInFolder {
protected:
    SignInWindow()
        : TStandInFolder(FreePorts())
    {
    }

    void SetUp() override
    {
        ASSERT_TRUE(WriteConf());
        FSocket.setProxy(QNetworkProxy::NoProxy);
        ASSERT_TRUE(FSocket.bind(QHostAddress(QHostAddress::LocalHost), 0));
    }

    // A window for the account, opened and waited for until its page has loaded or failed.
    std::unique_ptr<TSignInWindow> Open(const TSignInConfig& AConfig, const QString& AUserId)
    {
        // In memory: a profile on disk outlives its window in this process, and would race the folder's removal.
        auto window = std::make_unique<TSignInWindow>(AConfig, AUserId, FSocket.localPort(), QString());
        window->show();
        window->Start();
        EXPECT_TRUE(QTest::qWaitFor([&] { return window->State() != TSignInWindow::TState::Loading; }, kWaitMs));
        return window;
    }

    QJsonObject NextDatagram()
    {
        if (!QTest::qWaitFor([&] { return FSocket.hasPendingDatagrams(); }, kWaitMs))
            return {};
        return QJsonDocument::fromJson(FSocket.receiveDatagram().data()).object();
    }

    static QString Member(const QJsonObject& AMessage, const char* AName)
    {
        return AMessage.value(QLatin1String(AName)).toString();
    }

    void FillIn(QWebEnginePage& APage, const std::string& AUserId)
    {
        APage.runJavaScript(QStringLiteral("document.getElementById('userId').value = '%1';"
                                           "document.getElementById('password').value = 'secret';"
                                           "document.getElementById('login').click();")
                                .arg(QString::fromStdString(AUserId)));
    }

    TSignInConfig Config() const { return TSignInConfig::Read(FFolder.path()); }

    QUdpSocket FSocket;
};

TEST_F(SignInWindow, ScriptedSignInHandsTheSessionOver)
{
    const TDemoAccount& account = FStandIn.Data().Accounts()[1];
    const QString userId = QString::fromStdString(account.userId);
    const auto window = Open(Config(), userId);
    ASSERT_EQ(window->State(), TSignInWindow::TState::Open) << window->StatusText().toStdString();
    EXPECT_FALSE(FSocket.hasPendingDatagrams());

    FillIn(*window->Page(), account.userId);
    const QJsonObject message = NextDatagram();
    EXPECT_EQ(message.value(QStringLiteral("cmd")).toInt(), 1000);
    EXPECT_EQ(message.value(QStringLiteral("processId")).toInteger(), QCoreApplication::applicationPid());
    EXPECT_EQ(Member(message, "userId"), userId);
    EXPECT_EQ(Member(message, "nickname"), QString::fromStdString(account.userName));
    EXPECT_EQ(Member(message, "memberid"), QString::fromStdString(account.memberId));
    EXPECT_EQ(window->State(), TSignInWindow::TState::HandedOver);

    // The program's token store takes the pair from the text, and with it the publisher serves that account.
    const QString cookies = Member(message, "cookies");
    TAlimmTokenData data;
    data.userId = userId;
    TAlimmTokenMgr store;
    store.updateToken(data);
    store.updateCookies(userId, cookies);
    const QString tbToken = store.get(userId)->_tb_token_();
    ASSERT_TRUE(tbToken.startsWith(QStringLiteral("_tb_token_="))) << cookies.toStdString();
    const auto publisher = Https(FStandIn, TStandInHost::Publisher);
    const httplib::Headers headers {{"Cookie", cookies.toStdString()}};
    const QJsonObject report = Json(publisher->Get(std::string(TAlimamaHosts::kReportPath) + "?" + tbToken.toStdString()
            + "&startTime=2026-11-01&endTime=2026-11-02&pageNo=1",
        headers));
    EXPECT_TRUE(report.value(QStringLiteral("ok")).toBool()) << QJsonDocument(report).toJson().toStdString();

    // Closing it now reports nothing more: the session is handed over once.
    window->close();
    QTest::qWait(0);
    EXPECT_FALSE(FSocket.hasPendingDatagrams());
}

TEST_F(SignInWindow, AnUnknownAccountStaysOnThePage)
{
    const auto window = Open(Config(), QStringLiteral("1"));
    ASSERT_EQ(window->State(), TSignInWindow::TState::Open);
    bool refused = false;
    QObject::connect(window->Page(), &QWebEnginePage::loadFinished, [&](bool) { refused = true; });
    FillIn(*window->Page(), "no-such-account");
    ASSERT_TRUE(QTest::qWaitFor([&] { return refused; }, kWaitMs));
    EXPECT_EQ(window->State(), TSignInWindow::TState::Open);
    window->close();
    EXPECT_EQ(Member(NextDatagram(), "memberid"), QString());
}

TEST_F(SignInWindow, ClosingBeforeSignInReportsAFailure)
{
    const auto window = Open(Config(), QStringLiteral(" 2002 "));
    ASSERT_EQ(window->State(), TSignInWindow::TState::Open);
    window->close();
    const QJsonObject message = NextDatagram();
    EXPECT_EQ(message.value(QStringLiteral("cmd")).toInt(), 1000);
    EXPECT_EQ(message.value(QStringLiteral("processId")).toInteger(), QCoreApplication::applicationPid());
    EXPECT_EQ(Member(message, "userId"), QStringLiteral(" 2002 "));
    EXPECT_TRUE(message.contains(QStringLiteral("memberid")));
    EXPECT_EQ(Member(message, "memberid"), QString());
    EXPECT_EQ(Member(message, "cookies"), QString());
    EXPECT_EQ(window->State(), TSignInWindow::TState::Closed);
}

TEST_F(SignInWindow, OnlyCertificatesOfCaFileAreAccepted)
{
    const TTestCertificate pageCert;
    TTestServer page(pageCert);
    page.Get("/signin", TTestServer::Reply(200, "<html><body>sign in</body></html>", "text/html"));
    page.Start();

    struct TCase {
        const char* name;
        QString caFile;
        TSignInWindow::TState state;
    };
    const TCase cases[] = {
        {"signed by caFile", pageCert.CertFile(), TSignInWindow::TState::Open},
        {"another certificate", FStandIn.CertFile(), TSignInWindow::TState::LoadFailed},
        {"no caFile", QString(), TSignInWindow::TState::LoadFailed},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t requestsBefore = page.RequestCount();
        TSignInConfig config = Config();
        config.signInPage = QUrl(page.BaseUrl() + QStringLiteral("/signin"));
        config.caFile = c.caFile;
        const auto window = Open(config, QStringLiteral("1"));
        EXPECT_EQ(window->State(), c.state) << window->StatusText().toStdString();
        const bool refused = c.state == TSignInWindow::TState::LoadFailed;
        EXPECT_EQ(window->RefusedCertificates() > 0, refused);
        // A refused server never sees the request.
        EXPECT_EQ(page.RequestCount() > requestsBefore, !refused);
        if (refused) {
            EXPECT_TRUE(window->StatusText().contains(QStringLiteral("证书不受信任")))
                << window->StatusText().toStdString();
        }
    }
}

TEST_F(SignInWindow, APageThatDoesNotLoadSaysSo)
{
    // A port that nobody listens on any more.
    QTcpServer gone;
    ASSERT_TRUE(gone.listen(QHostAddress(QHostAddress::LocalHost), 0));
    const quint16 port = gone.serverPort();
    gone.close();
    TSignInConfig config = Config();
    config.signInPage = QUrl(QStringLiteral("http://127.0.0.1:%1/signin").arg(port));
    const auto window = Open(config, QStringLiteral("1"));
    EXPECT_EQ(window->State(), TSignInWindow::TState::LoadFailed);
    EXPECT_TRUE(window->StatusText().contains(QStringLiteral("登录页无法打开"))) << window->StatusText().toStdString();
}

} // namespace
