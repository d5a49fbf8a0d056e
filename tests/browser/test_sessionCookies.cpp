// The session text and the probe's verdict, without a web engine.

#include "browser/sessionCookies.h"
#include "browser/signInReport.h"
#include "browser/trustedCertificates.h"

#include "standin/testservers.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

namespace {

QNetworkCookie Cookie(const char* AName, const char* AValue, const char* ADomain)
{
    QNetworkCookie cookie(AName, AValue);
    cookie.setDomain(QString::fromLatin1(ADomain));
    cookie.setPath(QStringLiteral("/"));
    return cookie;
}

const QDateTime kNow = QDateTime::fromSecsSinceEpoch(1800000000, Qt::UTC);

} // namespace

TEST(SessionCookies, PublisherCookiesWinAndTheTokenComesFirst)
{
    TSessionCookies cookies({QStringLiteral("pub.alimama.com"), QStringLiteral("www.alimama.com"),
        QStringLiteral("alimama.com"), QStringLiteral("taobao.com")});
    cookies.Add(Cookie("t", "taobao-t", ".taobao.com"));
    cookies.Add(Cookie("_tb_token_", "taobao-token", ".taobao.com"));
    cookies.Add(Cookie("cookie2", "c2", ".alimama.com"));
    cookies.Add(Cookie("_tb_token_", "pub-token", ".alimama.com"));
    cookies.Add(Cookie("t", "alimama-t", ".alimama.com"));
    cookies.Add(Cookie("unrelated", "x", ".example.com"));
    QNetworkCookie expired = Cookie("old", "gone", ".alimama.com");
    expired.setExpirationDate(kNow.addSecs(-1));
    cookies.Add(expired);
    // The token the publisher's reports check, and "; " after it for a reader that takes it up to the next ';'.
    EXPECT_EQ(cookies.Text(kNow), QStringLiteral("_tb_token_=pub-token; t=alimama-t; cookie2=c2"));

    cookies.Add(Cookie("cookie2", "c2-new", ".alimama.com"));
    cookies.Remove(Cookie("t", "", ".alimama.com"));
    EXPECT_EQ(cookies.Text(kNow), QStringLiteral("_tb_token_=pub-token; t=taobao-t; cookie2=c2-new"));
}

TEST(SessionCookies, HostOnlyCookiesOfTheConfiguredHosts)
{
    TSessionCookies cookies({QStringLiteral("127.0.0.1")});
    EXPECT_EQ(cookies.Text(kNow), QString());
    cookies.Add(Cookie("cookie2", "s", "127.0.0.1"));
    cookies.Add(Cookie("_tb_token_", "k", "127.0.0.1"));
    cookies.Add(Cookie("other", "o", "127.0.0.2"));
    EXPECT_EQ(cookies.Text(kNow), QStringLiteral("_tb_token_=k; cookie2=s"));
}

TEST(ProbeReply, OnlyANamedMemberSignsIn)
{
    struct TCase {
        const char* name;
        QByteArray body;
        TProbeAnswer::TKind kind;
        const char* nickname;
        const char* memberId;
    };
    const TCase cases[] = {
        {"named member", R"({"data":{"mmNick":" nick ","memberid":"42"}})", TProbeAnswer::TKind::SignedIn, "nick",
            "42"},
        {"numeric member id", R"({"data":{"mmNick":"n","memberid":1234567890123}})", TProbeAnswer::TKind::SignedIn, "n",
            "1234567890123"},
        {"byte-order mark", "\xEF\xBB\xBF{\"data\":{\"mmNick\":\"n\",\"memberid\":\"7\"}}",
            TProbeAnswer::TKind::SignedIn, "n", "7"},
        {"empty nick", R"({"data":{"mmNick":"","memberid":"42"}})", TProbeAnswer::TKind::SignedOut, "", "42"},
        {"no member id", R"({"data":{"mmNick":"n"}})", TProbeAnswer::TKind::SignedOut, "n", ""},
        {"not JSON", "<html>login</html>", TProbeAnswer::TKind::SignedOut, "", ""},
        {"throttled", "<html>亲，访问受限了</html>", TProbeAnswer::TKind::Throttled, "", ""},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        const TProbeAnswer answer = ReadProbeReply(c.body);
        EXPECT_EQ(answer.kind, c.kind);
        EXPECT_EQ(answer.nickname, QString::fromUtf8(c.nickname));
        EXPECT_EQ(answer.memberId, QString::fromUtf8(c.memberId));
    }
}

TEST(SignInDatagram, CarriesEveryMember)
{
    const QJsonObject message = QJsonDocument::fromJson(
        SignInDatagram(
            {QStringLiteral("1001"), QStringLiteral("店铺"), QStringLiteral("42"), QStringLiteral("a=b; c=d")}, 321))
                                    .object();
    EXPECT_EQ(message.value(QStringLiteral("cmd")).toInt(), 1000);
    EXPECT_EQ(message.value(QStringLiteral("processId")).toInteger(), 321);
    EXPECT_EQ(message.value(QStringLiteral("userId")).toString(), QStringLiteral("1001"));
    EXPECT_EQ(message.value(QStringLiteral("nickname")).toString(), QStringLiteral("店铺"));
    EXPECT_EQ(message.value(QStringLiteral("memberid")).toString(), QStringLiteral("42"));
    EXPECT_EQ(message.value(QStringLiteral("cookies")).toString(), QStringLiteral("a=b; c=d"));
}

TEST(TrustedCertificates, OnlyCaFileCertificates)
{
    const TTestCertificate ours;
    const TTestCertificate theirs;
    const TTrustedCertificates trusted(ours.CertFile());
    ASSERT_EQ(trusted.Certificates().size(), 1);
    EXPECT_TRUE(trusted.Trusts(QSslCertificate::fromPath(ours.CertFile())));
    EXPECT_FALSE(trusted.Trusts(QSslCertificate::fromPath(theirs.CertFile())));
    EXPECT_FALSE(trusted.Trusts({}));
    EXPECT_FALSE(TTrustedCertificates(QString()).Trusts(QSslCertificate::fromPath(ours.CertFile())));
}
