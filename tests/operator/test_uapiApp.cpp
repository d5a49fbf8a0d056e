#include "operator/uapiApp.h"

#include "foundation/qjson.h"
#include "standin/testservers.h"
#include "store/ucommon.h"

#include <QTemporaryDir>

#include <openssl/evp.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <map>
#include <mutex>

namespace {

using TFields = TFormFields;

const std::string kSecret = "c3a9e1f07b5d2846e0f9a7b3d1c5e829";

// Builds the signed text from the fields as they arrived: sorted names, raw values, then the key.
std::string ExpectedSign(TFields AFields)
{
    std::erase_if(AFields, [](const auto& field) { return field.first == "sign"; });
    std::sort(AFields.begin(), AFields.end());
    std::string text;
    for (const auto& [name, value] : AFields)
        text += name + "=" + value;
    return Md5Hex(text + "key=" + kSecret, false);
}

class TSessionView : public TAPIApp {
public:
    QString Uid() const { return Session().uid; }
    QString Token() const { return Session().token; }
};

// A back end on 127.0.0.1 that answers each path with the reply the test queues for it (the last one repeats).
class OperatorClient : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* path : {"/client/dbmove/login", "/client/alimmtoken/getSyncOrderToken"}) {
            FServer.Post(path, [this](const httplib::Request& req, httplib::Response& res) {
                const std::scoped_lock lock(FMutex);
                std::vector<std::string>& queue = FReplies[req.path];
                res.set_content(queue.empty() ? std::string("{}") : queue.front(), "application/json");
                if (queue.size() > 1)
                    queue.erase(queue.begin());
            });
        }
        FServer.Start();
        ASSERT_TRUE(WriteConfIni(FFolder.path(),
            {{"operatorService", FServer.HostValue()},
                {"operatorIntake", QStringLiteral("http://") + FServer.HostValue()}}));
        FCommon = std::make_unique<TCommon>(FFolder.path());
        FScope = std::make_unique<TGlobalScope<TCommon>>(FCommon.get());
        FApp = std::make_unique<TSessionView>();
    }
    void TearDown() override
    {
        FApp.reset();
        FScope.reset();
    }
    void Answer(const std::string& APath, std::vector<std::string> AReplies)
    {
        const std::scoped_lock lock(FMutex);
        FReplies[APath] = std::move(AReplies);
    }
    TFields LastFields() const { return FServer.LastRequest().FormFields(); }

    // The handlers' state first: it must outlive the server.
    std::mutex FMutex;
    std::map<std::string, std::vector<std::string>> FReplies; // guarded by FMutex
    TTestServer FServer;
    QTemporaryDir FFolder;
    std::unique_ptr<TCommon> FCommon;
    std::unique_ptr<TGlobalScope<TCommon>> FScope;
    std::unique_ptr<TSessionView> FApp;
};

TEST_F(OperatorClient, LoginKeepsTheSessionAndSendsItAfterwards)
{
    Answer("/client/dbmove/login", {R"({"code":200,"msg":"ok","data":{"uid":"u1","token":"t1"}})"});
    Answer("/client/alimmtoken/getSyncOrderToken", {R"({"code":200,"data":[]})"});
    QString error;
    EXPECT_FALSE(FApp->isLogin());
    ASSERT_TRUE(FApp->Login(QStringLiteral("  138 0000  "), QStringLiteral("\tpw d "), error));
    EXPECT_TRUE(FApp->isLogin());
    EXPECT_EQ(FApp->Uid(), QStringLiteral("u1"));
    EXPECT_EQ(FApp->Token(), QStringLiteral("t1"));

    const TRecordedRequest login = FServer.LastRequest();
    EXPECT_EQ(login.target, "/client/dbmove/login");
    const TFields loginFields = login.FormFields();
    EXPECT_EQ(FieldNames(loginFields), (std::vector<std::string> {"phone", "pwd", "timestamp", "sign"}));
    EXPECT_EQ(FieldValue(loginFields, "phone"), "138 0000");
    EXPECT_EQ(FieldValue(loginFields, "pwd"), "pw d");
    EXPECT_EQ(FieldValue(loginFields, "sign"), ExpectedSign(loginFields));

    FApp->getAlimmTokens();
    const TFields listFields = LastFields();
    EXPECT_EQ(FServer.LastRequest().target, "/client/alimmtoken/getSyncOrderToken");
    EXPECT_EQ(FieldNames(listFields), (std::vector<std::string> {"timestamp", "token", "uid", "sign"}));
    EXPECT_EQ(FieldValue(listFields, "token"), "t1");
    EXPECT_EQ(FieldValue(listFields, "uid"), "u1");
    EXPECT_EQ(FieldValue(listFields, "sign"), ExpectedSign(listFields));
}

TEST_F(OperatorClient, SecondLoginSendsTheEarlierSession)
{
    Answer("/client/dbmove/login",
        {R"({"code":200,"data":"{\"uid\":\"u1\",\"token\":\"t1\"}"})", R"({"code":200,"data":{"token":"t2"}})"});
    QString error;
    ASSERT_TRUE(FApp->Login(QStringLiteral("a"), QStringLiteral("b"), error)); // data as the text of an object
    ASSERT_TRUE(FApp->Login(QStringLiteral("c"), QStringLiteral("d"), error));
    const TFields fields = LastFields();
    EXPECT_EQ(FieldNames(fields), (std::vector<std::string> {"phone", "pwd", "timestamp", "token", "uid", "sign"}));
    EXPECT_EQ(FieldValue(fields, "token"), "t1");
    EXPECT_EQ(FieldValue(fields, "uid"), "u1");
    EXPECT_EQ(FieldValue(fields, "sign"), ExpectedSign(fields));
    // A reply without "uid" keeps the old one.
    EXPECT_EQ(FApp->Uid(), QStringLiteral("u1"));
    EXPECT_EQ(FApp->Token(), QStringLiteral("t2"));
}

TEST_F(OperatorClient, LoginWithoutDataSucceedsAndKeepsTheSession)
{
    Answer("/client/dbmove/login", {R"({"code":200,"data":{"uid":"u1","token":"t1"}})", R"({"code":200})"});
    QString error;
    ASSERT_TRUE(FApp->Login(QStringLiteral("a"), QStringLiteral("b"), error));
    ASSERT_TRUE(FApp->Login(QStringLiteral("x"), QStringLiteral("y"), error));
    EXPECT_TRUE(FApp->isLogin());
    EXPECT_EQ(FApp->Uid(), QStringLiteral("u1"));
    EXPECT_EQ(FApp->Token(), QStringLiteral("t1"));
    EXPECT_TRUE(error.isEmpty());
}

struct RefusalCase {
    const char* reply;
    const char16_t* error;
};

class LoginRefused : public OperatorClient, public ::testing::WithParamInterface<RefusalCase> { };

TEST_P(LoginRefused, ReportsTheMessageAndChangesNothing)
{
    Answer("/client/dbmove/login", {R"({"code":200,"data":{"uid":"u1","token":"t1"}})", GetParam().reply});
    QString error;
    ASSERT_TRUE(FApp->Login(QStringLiteral("a"), QStringLiteral("b"), error));
    EXPECT_FALSE(FApp->Login(QStringLiteral("c"), QStringLiteral("d"), error));
    EXPECT_EQ(error, QString::fromUtf16(GetParam().error));
    EXPECT_TRUE(FApp->isLogin()); // a failed login does not sign out
    EXPECT_EQ(FApp->Uid(), QStringLiteral("u1"));
    EXPECT_EQ(FApp->Token(), QStringLiteral("t1"));
}

INSTANTIATE_TEST_SUITE_P(Operator, LoginRefused,
    ::testing::Values(RefusalCase {R"({"code":401,"msg":"密码错误"})", u"密码错误"},
        RefusalCase {"not json", u"服务器访问失败-本地"},
        RefusalCase {R"({"code":500,"msg":"busy","data":{"uid":"x"}})", u"busy"}));

TEST_F(OperatorClient, AccountListIsTheParsedData)
{
    Answer("/client/alimmtoken/getSyncOrderToken",
        {R"({"code":200,"data":[{"userId":"1","userName":"店"},{"userId":"2","userName":"b"}]})",
            R"({"code":200,"data":"[{\"userId\":\"3\"}]"})", R"({"code":403,"data":[{"userId":"4"}]})"});
    const std::unique_ptr<TQJson> first = FApp->getAlimmTokens();
    ASSERT_EQ(first->Count(), 2);
    EXPECT_EQ(first->Items(0)->ItemByPath(u"userName")->AsString(), QStringLiteral(u"店"));
    const std::unique_ptr<TQJson> second = FApp->getAlimmTokens();
    ASSERT_EQ(second->Count(), 1);
    EXPECT_EQ(second->ItemByPath(u"[0].userId")->AsString(), QStringLiteral("3"));
    const std::unique_ptr<TQJson> refused = FApp->getAlimmTokens();
    EXPECT_EQ(refused->Count(), 0);
    EXPECT_EQ(refused->DataType(), jdtUnknown);
}

TEST_F(OperatorClient, WorksFromAnyThread)
{
    Answer("/client/dbmove/login", {R"({"code":200,"data":{"uid":"u9","token":"t9"}})"});
    Answer("/client/alimmtoken/getSyncOrderToken", {R"({"code":200,"data":[{"userId":"1"}]})"});
    auto login = std::async(std::launch::async, [this] {
        QString error;
        return FApp->Login(QStringLiteral("a"), QStringLiteral("b"), error);
    });
    auto list = std::async(std::launch::async, [this] { return FApp->getAlimmTokens()->Count(); });
    EXPECT_TRUE(login.get());
    EXPECT_EQ(list.get(), 1);
    EXPECT_EQ(FApp->Uid(), QStringLiteral("u9"));
}

TEST(OperatorClientWithoutSettings, MakesNoRequest)
{
    ASSERT_EQ(Common(), nullptr);
    TAPIApp app;
    QString error;
    EXPECT_FALSE(app.Login(QStringLiteral("a"), QStringLiteral("b"), error));
    EXPECT_EQ(error, QStringLiteral(u"服务器访问失败-本地"));
    EXPECT_EQ(app.getAlimmTokens()->Count(), 0);
}

} // namespace
