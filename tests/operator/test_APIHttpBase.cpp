#include "operator/APIHttpBase.h"

#include "foundation/qerror.h"
#include "foundation/qjson.h"
#include "standin/testservers.h"
#include "store/ucommon.h"

#include <QTemporaryDir>

#include <openssl/evp.h>

#include <gtest/gtest.h>

#include <atomic>
#include <future>

namespace {

using namespace std::chrono_literals;
using TFields = TFormFields;

const std::string kSecret = "c3a9e1f07b5d2846e0f9a7b3d1c5e829";

// Opens the protected session and settings the way the operator client does.
class TTransport : public TAPIHttpBase {
public:
    using TAPIHttpBase::FhttpConnentOutTime;
    void SetSession(const QString& AUid, const QString& AToken)
    {
        const std::scoped_lock lock(FSessionCS);
        FUID = AUid;
        FToken = AToken;
    }
    QString CaFile() const { return FSSL.caFile; }
};

TParamList Params(std::initializer_list<std::pair<const char16_t*, const char16_t*>> AItems)
{
    TParamList list;
    for (const auto& [name, value] : AItems)
        list.SetValue(QStringView(name), QString::fromUtf16(value));
    return list;
}

class Transport : public ::testing::Test {
protected:
    QString Url(const char* APath) const { return FServer.BaseUrl() + QString::fromLatin1(APath); }

    TTestServer FServer;
    TTransport FTransport;
};

// ---- signing ----------------------------------------------------------------------------------------------------

TEST(Md5Hex, UpperCaseDigestOfUtf8)
{
    EXPECT_EQ(TAPIHttpBase::md5Hex(QString()), QStringLiteral("D41D8CD98F00B204E9800998ECF8427E"));
    EXPECT_EQ(TAPIHttpBase::md5Hex(QStringLiteral("abc")), QStringLiteral("900150983CD24FB0D6963F7D28E17F72"));
    EXPECT_EQ(TAPIHttpBase::md5Hex(QStringLiteral(u"中文 x")),
        QString::fromStdString(Md5Hex("\xE4\xB8\xAD\xE6\x96\x87 x", false)).toUpper());
}

TEST(MakeSign, SortsLowerCasedNamesAndSignsRawValues)
{
    const TParamList params = Params({{u"Zeta", u"1"}, {u"orders", u"[{\"t\":\"中 x\"}]"}, {u"alpha", u"a&b=c d"}});
    const std::string text = "alpha=a&b=c dorders=[{\"t\":\"\xE4\xB8\xAD x\"}]zeta=1key=S3";
    EXPECT_EQ(TAPIHttpBase::makeSign(params, QStringLiteral("S3")).toStdString(), Md5Hex(text, false));
    EXPECT_EQ(TAPIHttpBase::makeSign(TParamList(), QStringLiteral("S3")).toStdString(), Md5Hex("key=S3", false));
}

TEST_F(Transport, BeforeLoginNeitherTokenNorUidIsSentOrSigned)
{
    FServer.Post("/login", TTestServer::Reply(200, R"({"code":200})"));
    FServer.Start();
    TParamList params = Params({{u"phone", u" 138 0 "}, {u"pwd", u"p&w=d 中"}});
    const qint64 before = QDateTime::currentSecsSinceEpoch();
    EXPECT_EQ(FTransport.postWithToken(Url("/login"), params).code, 200);
    const qint64 after = QDateTime::currentSecsSinceEpoch();

    const TRecordedRequest req = FServer.LastRequest();
    const TFields fields = req.FormFields();
    ASSERT_EQ(FieldNames(fields), (std::vector<std::string> {"phone", "pwd", "timestamp", "sign"}));
    const std::string timestamp = FieldValue(fields, "timestamp");
    EXPECT_GE(std::stoll(timestamp), before);
    EXPECT_LE(std::stoll(timestamp), after);
    // Signed raw, sent encoded.
    EXPECT_EQ(FieldValue(fields, "sign"),
        Md5Hex("phone= 138 0 pwd=p&w=d \xE4\xB8\xADtimestamp=" + timestamp + "key=" + kSecret, false));
    EXPECT_EQ(req.body,
        "phone=+138+0+&pwd=p%26w%3Dd+%E4%B8%AD&timestamp=" + timestamp + "&sign=" + FieldValue(fields, "sign"));
    // The list keeps what the transport added.
    EXPECT_EQ(params.Count(), 4);
    EXPECT_EQ(params.Value(u"sign").toStdString(), FieldValue(fields, "sign"));
}

TEST_F(Transport, SessionIsTrimmedSentAfterTheTimestampAndSigned)
{
    FServer.Post("/list", TTestServer::Reply(200, R"({"code":200})"));
    FServer.Start();
    FTransport.SetSession(QStringLiteral(" u-7 "), QStringLiteral("\ttok\n"));
    TParamList params = Params({{u"orders", u"[1]"}});
    FTransport.postWithToken(Url("/list"), params);
    const TFields fields = FServer.LastRequest().FormFields();
    ASSERT_EQ(FieldNames(fields), (std::vector<std::string> {"orders", "timestamp", "token", "uid", "sign"}));
    EXPECT_EQ(FieldValue(fields, "token"), "tok");
    EXPECT_EQ(FieldValue(fields, "uid"), "u-7");
    const std::string timestamp = FieldValue(fields, "timestamp");
    EXPECT_EQ(FieldValue(fields, "sign"),
        Md5Hex("orders=[1]timestamp=" + timestamp + "token=tokuid=u-7key=" + kSecret, false));

    // The same list sent again is signed afresh, never over its old signature.
    FTransport.postWithoutToken(Url("/list"), params);
    const TFields again = FServer.LastRequest().FormFields();
    EXPECT_EQ(FieldValue(again, "sign"),
        Md5Hex("orders=[1]timestamp=" + FieldValue(again, "timestamp") + "token=tokuid=u-7key=" + kSecret, false));
}

TEST_F(Transport, WithoutTokenSendsOnlyTheSignature)
{
    FServer.Post("/push", TTestServer::Reply(200, R"({"code":200})"));
    FServer.Start();
    FTransport.SetSession(QStringLiteral("u"), QStringLiteral("t"));
    TParamList params = Params({{u"orders", u"[]"}});
    FTransport.postWithoutToken(Url("/push"), params);
    const TRecordedRequest req = FServer.LastRequest();
    EXPECT_EQ(FieldNames(req.FormFields()), (std::vector<std::string> {"orders", "timestamp", "sign"}));
    EXPECT_EQ(req.Header("User-Agent"), "Mozilla/5.0 (Windows NT 10.0; WOW64; rv:53.0) Gecko/20100101 Firefox/53.0");
    EXPECT_EQ(req.Header("Content-Type"), "application/x-www-form-urlencoded");
    EXPECT_EQ(req.HeaderNames(),
        (std::vector<std::string> {"accept", "content-length", "content-type", "host", "user-agent"}));
}

// ---- reply decoding ---------------------------------------------------------------------------------------------

struct ReplyCase {
    const char* name;
    int status;
    const char* body;
    qint32 code;
    const char16_t* msg; // null: the local failure message
    qint64 time;
    const char16_t* data;
};

class ReplyDecoding : public Transport, public ::testing::WithParamInterface<ReplyCase> { };

TEST_P(ReplyDecoding, CopiesTheMembersTheReplyHolds)
{
    const ReplyCase& c = GetParam();
    FServer.Post("/r", TTestServer::Reply(c.status, c.body));
    FServer.Start();
    TParamList params;
    const TServiceResp resp = FTransport.postWithToken(Url("/r"), params);
    EXPECT_EQ(resp.code, c.code);
    EXPECT_EQ(resp.msg, c.msg ? QString::fromUtf16(c.msg) : TServiceResp::LocalFailureMsg());
    EXPECT_EQ(resp.time, c.time);
    EXPECT_EQ(resp.data, QString::fromUtf16(c.data));
}

INSTANTIATE_TEST_SUITE_P(Operator, ReplyDecoding,
    ::testing::Values(ReplyCase {"Full", 200, R"({"code":200,"msg":"好","time":4102444800123,"data":"  x y  "})", 200,
                          u"好", 4102444800123, u"x y"},
        ReplyCase {"CodeAndMsgOnly", 200, R"({"code":0,"msg":"m"})", 0, u"m", 0, u""},
        ReplyCase {"ArrayData", 200, R"({"code":200,"data":[1,2]})", 200, nullptr, 0, u"[1,2]"},
        ReplyCase {"ByteOrderMark", 200, "\xEF\xBB\xBF{\"code\":201,\"msg\":\"bom\"}", 201, u"bom", 0, u""},
        ReplyCase {"NotJson", 200, "<html>ok</html>", 500, nullptr, 0, u""},
        ReplyCase {"Blank", 200, " \r\n ", 500, nullptr, 0, u""},
        ReplyCase {"NotFound", 404, R"({"code":200,"msg":"found"})", 500, nullptr, 0, u""},
        ReplyCase {"ServerError", 500, R"({"code":200,"msg":"fine"})", 500, nullptr, 0, u""},
        ReplyCase {"BackEnd500", 200, R"({"code":500,"msg":"busy"})", 500, u"busy", 0, u""}),
    [](const ::testing::TestParamInfo<ReplyCase>& info) { return std::string(info.param.name); });

TEST_F(Transport, ObjectDataComesBackAsItsJsonText)
{
    FServer.Post("/r", TTestServer::Reply(200, R"({"code":200,"data":{"uid":"u1","n":2}})"));
    FServer.Start();
    TParamList params;
    const QString data = FTransport.postWithToken(Url("/r"), params).data;
    TQJson parsed;
    ASSERT_TRUE(parsed.TryParse(data)) << data.toStdString();
    EXPECT_EQ(parsed.ItemByPath(u"uid")->AsString(), QStringLiteral("u1"));
    EXPECT_EQ(data, data.trimmed());
}

TEST_F(Transport, NonNumericCodeRaisesTheConversionError)
{
    FServer.Post("/r", TTestServer::Reply(200, R"({"code":"abc","msg":"m"})"));
    FServer.Start();
    TParamList params;
    EXPECT_THROW(FTransport.postWithToken(Url("/r"), params), EQuenlarError);
}

TEST_F(Transport, EmptyUrlMakesNoRequest)
{
    FServer.Start();
    for (const QString& url : {QString(), QStringLiteral(" \t ")}) {
        TParamList params = Params({{u"a", u"1"}});
        EXPECT_TRUE(FTransport.postWithToken(url, params).IsLocalFailure());
        EXPECT_EQ(params.Count(), 3); // still stamped and signed
    }
    EXPECT_EQ(FServer.RequestCount(), 0u);
}

TEST_F(Transport, ServerThatNeverAnswersGivesTheLocalFailure)
{
    FServer.Post("/hang", FServer.Hang());
    FServer.Start();
    FTransport.FhttpConnentOutTime = 1;
    TParamList params;
    EXPECT_TRUE(FTransport.postWithToken(Url("/hang"), params).IsLocalFailure());
}

TEST(TransportFailure, UnreachableHostGivesTheLocalFailure)
{
    QString url;
    {
        TTestServer gone;
        gone.Start();
        url = gone.BaseUrl() + QStringLiteral("/login");
    }
    TTransport transport;
    TParamList params;
    const TServiceResp resp = transport.postWithToken(url, params);
    EXPECT_EQ(resp.code, 500);
    EXPECT_EQ(resp.msg, QStringLiteral(u"服务器访问失败-本地"));
    EXPECT_EQ(resp.time, 0);
    EXPECT_TRUE(resp.data.isEmpty());
}

TEST(TransportTls, HttpsIsTrustedThroughTheSettingsCaFile)
{
    const TTestCertificate cert;
    TTestServer secure(cert);
    secure.Post("/api", TTestServer::Reply(200, R"({"code":200,"msg":"tls"})"));
    secure.Start();

    QTemporaryDir folder;
    ASSERT_TRUE(WriteConfIni(folder.path(), {{"caFile", cert.CertFile()}}));
    TCommon common(folder.path());
    const TGlobalScope<TCommon> scope(&common);

    TTransport transport;
    EXPECT_EQ(transport.CaFile(), cert.CertFile());
    TParamList params = Params({{u"a", u"1"}});
    EXPECT_EQ(transport.postWithToken(secure.BaseUrl() + QStringLiteral("/api"), params).msg, QStringLiteral("tls"));
}

// A redirected batch must neither reach another host nor come back as a success its back end never saw.
class TransportRedirect : public ::testing::TestWithParam<int> { };

TEST_P(TransportRedirect, IsAFailedRequestAndNothingReachesTheOtherHost)
{
    TTestServer other;
    other.Get("/api", TTestServer::Reply(200, R"({"code":200})"));
    other.Post("/api", TTestServer::Reply(200, R"({"code":200})"));
    other.Start();
    TTestServer intake;
    intake.Post("/api", [&](const httplib::Request&, httplib::Response& res) {
        res.set_redirect(other.BaseUrl().toStdString() + "/api", GetParam());
    });
    intake.Start();
    TTransport transport;
    TParamList params = Params({{u"orders", u"[1]"}});
    const TServiceResp resp = transport.postWithoutToken(intake.BaseUrl() + QStringLiteral("/api"), params);
    EXPECT_TRUE(resp.IsLocalFailure());
    EXPECT_EQ(other.RequestCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Operator, TransportRedirect, ::testing::Values(301, 302, 303, 307, 308));

// ---- the lock ---------------------------------------------------------------------------------------------

TEST_F(Transport, RequestsOfOneInstanceAreSerialised)
{
    std::atomic<int> inFlight {0};
    std::atomic<int> most {0};
    FServer.Post("/one", [&](const httplib::Request&, httplib::Response& res) {
        const int now = ++inFlight;
        most = std::max(most.load(), now);
        std::this_thread::sleep_for(20ms);
        --inFlight;
        res.set_content(R"({"code":200})", "application/json");
    });
    FServer.Start();
    std::vector<std::future<qint32>> codes;
    for (int i = 0; i < 4; ++i) {
        codes.push_back(std::async(std::launch::async, [&] {
            TParamList params;
            return FTransport.postWithToken(Url("/one"), params).code;
        }));
    }
    TParamList params;
    EXPECT_EQ(FTransport.postWithToken(Url("/one"), params).code, 200); // the main thread among them
    for (auto& code : codes)
        EXPECT_EQ(code.get(), 200);
    EXPECT_EQ(most.load(), 1);
    EXPECT_EQ(FServer.RequestCount(), 5u);
}

} // namespace
