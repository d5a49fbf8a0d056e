#include "taobao/topClient.h"

#include "foundation/qjson.h"
#include "standin/testservers.h"
#include "store/ucommon.h"

#include <QRegularExpression>
#include <QTemporaryDir>

#include <openssl/evp.h>

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>

namespace {

using TFields = TFormFields;

const QString kKey = QStringLiteral("41852093");
const QString kSecret = QStringLiteral("5be0c7d19a3f4e2b8c6d0a1f7e9b3c45");
const QString kMethod = QStringLiteral("taobao.tbk.sc.order.details.get");

class TopClient : public ::testing::Test {
protected:
    void SetUp() override
    {
        FServer.Post("/router/rest", [this](const httplib::Request&, httplib::Response& res) {
            const std::scoped_lock lock(FMutex);
            res.status = FStatus;
            res.set_content(FReply, "application/json;charset=UTF-8");
        });
        FServer.Post("/hang", FServer.Hang());
        FServer.Start();
        ASSERT_TRUE(WriteConfIni(FFolder.path(), {{"topGateway", FServer.HostValue()}}));
        FCommon = std::make_unique<TCommon>(FFolder.path());
        FScope = std::make_unique<TGlobalScope<TCommon>>(FCommon.get());
    }
    std::unique_ptr<TTopClient> Client(const QString& ASession = QStringLiteral("sess-1")) const
    {
        auto client = std::make_unique<TTopClient>();
        client->setAppkey(kKey);
        client->setAppSecret(kSecret);
        client->setSession(ASession);
        client->setMethod(kMethod);
        return client;
    }
    TFields LastFields() const { return FServer.LastRequest().FormFields(); }
    void Answer(int AStatus, std::string ABody)
    {
        const std::scoped_lock lock(FMutex);
        FStatus = AStatus;
        FReply = std::move(ABody);
    }

    // The handler's state first: it must outlive the server.
    std::mutex FMutex;
    int FStatus = 200; // guarded by FMutex
    std::string FReply = R"({"ok":1})"; // guarded by FMutex
    TTestServer FServer;
    QTemporaryDir FFolder;
    std::unique_ptr<TCommon> FCommon;
    std::unique_ptr<TGlobalScope<TCommon>> FScope;
};

TEST_F(TopClient, GatewayComesFromTheSettings)
{
    const TTopClient client;
    EXPECT_EQ(client.url(), FServer.BaseUrl() + QStringLiteral("/router/rest"));
    EXPECT_EQ(client.timeoutMs(), 10000);
    EXPECT_EQ(client.Params().Lines(),
        QStringList({QStringLiteral("v=2.0"), QStringLiteral("sign_method=md5"), QStringLiteral("format=json")}));
}

TEST_F(TopClient, SignedTextIsSecretSortedPairsSecret)
{
    const std::unique_ptr<TTopClient> client = Client();
    const std::unique_ptr<TQJson> reply = client->Response();
    EXPECT_EQ(reply->ItemByPath(u"ok")->AsInteger(), 1);

    const TFields fields = LastFields();
    EXPECT_EQ(FieldNames(fields),
        (std::vector<std::string> {"v", "sign_method", "format", "app_key", "session", "method", "timestamp", "sign"}));
    const std::string timestamp = FieldValue(fields, "timestamp");
    const std::string S = kSecret.toStdString();
    const std::string signedText = S + "app_key" + kKey.toStdString() + "format" + "json" + "method"
        + kMethod.toStdString() + "session" + "sess-1" + "sign_method" + "md5" + "timestamp" + timestamp + "v" + "2.0"
        + S;
    EXPECT_EQ(FieldValue(fields, "sign"), Md5Hex(signedText, true));
    // Local time with a blank, signed with the blank and sent with '+'.
    EXPECT_TRUE(QRegularExpression(QStringLiteral(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$)"))
                    .match(QString::fromStdString(timestamp))
                    .hasMatch())
        << timestamp;
    std::string encoded = timestamp;
    encoded.replace(10, 1, "+").replace(13, 1, "%3A").replace(18, 1, "%3A");
    EXPECT_NE(FServer.LastRequest().body.find("&timestamp=" + encoded + "&sign="), std::string::npos);
}

TEST_F(TopClient, PostsToTheRouterWithOnlyUserAgentAcceptAndFormContentType)
{
    Client()->Response();
    const TRecordedRequest req = FServer.LastRequest();
    EXPECT_EQ(req.method, "POST");
    EXPECT_EQ(req.target, "/router/rest");
    EXPECT_EQ(req.HeaderNames(),
        (std::vector<std::string> {"accept", "content-length", "content-type", "host", "user-agent"}));
    EXPECT_EQ(req.Header("User-Agent"), "Mozilla/5.0 (Windows NT 10.0; WOW64; rv:53.0) Gecko/20100101 Firefox/53.0");
    EXPECT_EQ(req.Header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(req.Header("Accept"), "text/html,application/xhtml+xml,application/xml;q=0.9,*/*;q=0.8");
}

TEST_F(TopClient, BlankParametersAreNeitherSentNorSigned)
{
    const std::unique_ptr<TTopClient> client = Client(QStringLiteral("  "));
    client->add_Param(QStringLiteral("page_no"), QStringLiteral(" 1 "));
    client->add_Param(QStringLiteral("position_index"), QStringLiteral("abc"));
    client->add_Param(QStringLiteral("position_index"), QStringLiteral(" \t "));
    client->add_Param(QStringLiteral("end_time"), QStringLiteral("2024-03-05 10:00:00"));
    client->add_Param(QStringLiteral("PAGE_NO"), QStringLiteral("2")); // the same parameter, renamed in place
    client->Response();

    const TFields fields = LastFields();
    EXPECT_EQ(FieldNames(fields),
        (std::vector<std::string> {
            "v", "sign_method", "format", "app_key", "method", "PAGE_NO", "end_time", "timestamp", "sign"}));
    EXPECT_EQ(FieldValue(fields, "PAGE_NO"), "2");
    const std::string S = kSecret.toStdString();
    const std::string signedText = S + "app_key" + kKey.toStdString() + "end_time2024-03-05 10:00:00" + "formatjson"
        + "method" + kMethod.toStdString() + "PAGE_NO2" + "sign_methodmd5" + "timestamp"
        + FieldValue(fields, "timestamp") + "v2.0" + S;
    EXPECT_EQ(FieldValue(fields, "sign"), Md5Hex(signedText, true));
    EXPECT_EQ(client->session(), QString());
}

TEST_F(TopClient, PropertiesKeepTheirValues)
{
    TTopClient client;
    client.setAppkey(QStringLiteral(" k "));
    client.setAppSecret(QStringLiteral(" s "));
    client.setMethod(QStringLiteral(" m "));
    client.setSession(QStringLiteral(" t "));
    EXPECT_EQ(client.appkey(), QStringLiteral(" k "));
    EXPECT_EQ(client.appSecret(), QStringLiteral(" s "));
    EXPECT_EQ(client.method(), QStringLiteral(" m "));
    EXPECT_EQ(client.session(), QStringLiteral("t"));
    EXPECT_EQ(client.Params().Value(u"app_key"), QStringLiteral("k"));
    EXPECT_EQ(client.Params().Value(u"method"), QStringLiteral("m"));
    EXPECT_EQ(client.Params().IndexOfName(u"app_secret"), -1);
}

struct GatewayReplyCase {
    const char* name;
    int status;
    const char* body;
    const char16_t* path; // looked up in the document; null: the document must be empty
    const char16_t* value; // its text
};

class GatewayReply : public TopClient, public ::testing::WithParamInterface<GatewayReplyCase> { };

TEST_P(GatewayReply, ParsedOrEmpty)
{
    const GatewayReplyCase& c = GetParam();
    Answer(c.status, c.body);
    const std::unique_ptr<TQJson> reply = Client()->Response();
    if (!c.path) {
        EXPECT_EQ(reply->Count(), 0);
        EXPECT_EQ(reply->DataType(), jdtUnknown);
        return;
    }
    const TQJson* node = reply->ItemByPath(QStringView(c.path));
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(node->AsString(), QString::fromUtf16(c.value));
}

INSTANTIATE_TEST_SUITE_P(Taobao, GatewayReply,
    ::testing::Values(GatewayReplyCase {"ByteOrderMark", 200,
                          "\xEF\xBB\xBF{\"tbk_sc_order_details_get_response\":{\"data\":{\"has_next\":false}}}",
                          u"tbk_sc_order_details_get_response.data.has_next", u"false"},
        GatewayReplyCase {"TopError", 200, R"({"error_response":{"code":27,"msg":"Invalid session"}})",
            u"error_response.msg", u"Invalid session"},
        GatewayReplyCase {"NotJson", 200, "<html/>", nullptr, nullptr},
        GatewayReplyCase {"NotFound", 404, R"({"ok":1})", nullptr, nullptr},
        GatewayReplyCase {"ServerError", 500, R"({"ok":1})", nullptr, nullptr}),
    [](const ::testing::TestParamInfo<GatewayReplyCase>& info) { return std::string(info.param.name); });

TEST_F(TopClient, GatewayThatNeverAnswersGivesAnEmptyDocument)
{
    const std::unique_ptr<TTopClient> client = Client();
    client->setUrl(FServer.BaseUrl() + QStringLiteral("/hang"));
    client->setTimeoutMs(200);
    const std::unique_ptr<TQJson> reply = client->Response();
    EXPECT_EQ(reply->Count(), 0);
    EXPECT_EQ(FServer.RequestCount(), 1u);
}

TEST_F(TopClient, StopCheckEndsARequestThatNeverAnswers)
{
    const std::unique_ptr<TTopClient> client = Client();
    client->setUrl(FServer.BaseUrl() + QStringLiteral("/hang"));
    client->setStopCheck([this] { return FServer.RequestCount() >= 1; });
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(client->Response()->Count(), 0);
    EXPECT_EQ(FServer.RequestCount(), 1u);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(5000)); // well below 10 s
}

TEST_F(TopClient, UnreachableGatewayGivesAnEmptyDocument)
{
    QString gone;
    {
        TTestServer server;
        server.Start();
        gone = server.BaseUrl() + QStringLiteral("/router/rest");
    }
    const std::unique_ptr<TTopClient> client = Client();
    client->setUrl(gone);
    EXPECT_EQ(client->Response()->Count(), 0);
}

// A gateway written with https:// in the settings: verified against the system store plus caFile.
class HttpsGateway : public ::testing::Test {
protected:
    void WriteSettings(const QString& ACaFile)
    {
        FScope.reset();
        ASSERT_TRUE(WriteConfIni(FFolder.path(), {{"topGateway", FSecure.BaseUrl()}, {"caFile", ACaFile}}));
        FCommon = std::make_unique<TCommon>(FFolder.path());
        FScope = std::make_unique<TGlobalScope<TCommon>>(FCommon.get());
    }

    TTestCertificate FCert;
    TTestServer FSecure {FCert};
    QTemporaryDir FFolder;
    std::unique_ptr<TCommon> FCommon;
    std::unique_ptr<TGlobalScope<TCommon>> FScope;
};

TEST_F(HttpsGateway, IsReachedOverTlsTrustedThroughCaFile)
{
    FSecure.Post("/router/rest", TTestServer::Reply(200, R"({"ok":1})"));
    FSecure.Start();
    WriteSettings(FCert.CertFile());
    TTopClient client;
    ASSERT_EQ(client.url(), FSecure.BaseUrl() + QStringLiteral("/router/rest"));
    const std::unique_ptr<TQJson> reply = client.Response();
    ASSERT_NE(reply->ItemByPath(u"ok"), nullptr);
    EXPECT_EQ(reply->ItemByPath(u"ok")->AsInteger(), 1);
    EXPECT_EQ(FSecure.RequestCount(), 1u);

    // A certificate nobody trusts: the handshake fails and nothing is sent.
    const TTestCertificate other;
    WriteSettings(other.CertFile());
    EXPECT_EQ(TTopClient().Response()->Count(), 0);
    EXPECT_EQ(FSecure.RequestCount(), 1u);
}

TEST_F(TopClient, PlainGatewayFollowsNoRedirectToHttps)
{
    const TTestCertificate cert;
    TTestServer secure(cert);
    secure.Post("/router/rest", TTestServer::Reply(200, R"({"ok":1})"));
    secure.Start();
    TTestServer plain;
    plain.Post("/router/rest", [&](const httplib::Request&, httplib::Response& res) {
        res.set_redirect(secure.BaseUrl().toStdString() + "/router/rest", 307);
    });
    plain.Start();
    const std::unique_ptr<TTopClient> client = Client();
    client->setUrl(plain.BaseUrl() + QStringLiteral("/router/rest"));
    EXPECT_EQ(client->Response()->Count(), 0);
    EXPECT_EQ(secure.RequestCount(), 0u);
}

TEST_F(TopClient, GatewayRedirectIsAFailedRequest)
{
    TTestServer other;
    other.Post("/router/rest", TTestServer::Reply(200, R"({"ok":1})"));
    other.Start();
    TTestServer gateway;
    gateway.Post("/router/rest", [&](const httplib::Request&, httplib::Response& res) {
        res.set_redirect(other.BaseUrl().toStdString() + "/router/rest", 307);
    });
    gateway.Start();
    const std::unique_ptr<TTopClient> client = Client();
    client->setUrl(gateway.BaseUrl() + QStringLiteral("/router/rest"));
    EXPECT_EQ(client->Response()->Count(), 0);
    EXPECT_EQ(other.RequestCount(), 0u);
}

TEST(TopClientWithoutSettings, HasNoGatewayAndSendsNothing)
{
    ASSERT_EQ(Common(), nullptr);
    TTopClient client;
    EXPECT_TRUE(client.url().isEmpty());
    EXPECT_EQ(client.Response()->Count(), 0);
}

} // namespace
