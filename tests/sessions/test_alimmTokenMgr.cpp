#include "sessions/alimmTokenMgr.h"

#include <QSet>

#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace {

TAlimmTokenData Account(const QString& userId, const QString& token = QStringLiteral("tok"))
{
    TAlimmTokenData data;
    data.userId = userId;
    data.userName = QStringLiteral("nick-") + userId;
    data.authTime = 1'700'000'000;
    data.expTime = 4'102'444'800; // beyond 2038: kept in 64 bits
    data.token = token;
    return data;
}

class TokenStore : public ::testing::Test {
protected:
    TAlimmTokenMgr FStore;
};

TEST_F(TokenStore, MatchesTrimmedUserIdsWithLetterCaseSignificant)
{
    FStore.updateToken(Account(QStringLiteral(" \tAbc12\r\n")));
    const PAlimmTokenData record = FStore.GetItem(0);
    ASSERT_NE(record, nullptr);

    const struct {
        const char16_t* userId;
        bool found;
    } cases[] = {
        {u"Abc12", true},
        {u"  Abc12 ", true},
        {u"\x01"
         "Abc12\x1f",
            true},
        {u"abc12", false},
        {u"ABC12", false},
        {u"Abc 12", false},
        {u"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FStore.get(QString::fromUtf16(c.userId)), c.found ? record : nullptr)
            << QString::fromUtf16(c.userId).toStdString();

    // The stored id keeps its blanks; another case of it is another account.
    EXPECT_EQ(record->userId(), QStringLiteral(" \tAbc12\r\n"));
    FStore.updateToken(Account(QStringLiteral("abc12")));
    EXPECT_EQ(FStore.count(), 2);
}

TEST_F(TokenStore, NewAccountIsAppendedSignedOutWithAllOtherFieldsCopied)
{
    TAlimmTokenData data = Account(QStringLiteral("u1"));
    data.cookies = QStringLiteral("a=1;");
    data._tb_token_ = QStringLiteral("_tb_token_=x");
    data.isLogin = true;
    data.readLock = true;
    FStore.updateToken(data);

    ASSERT_EQ(FStore.count(), 1);
    const TAlimmTokenData stored = FStore.GetItem(0)->Snapshot();
    EXPECT_EQ(stored.userId, data.userId);
    EXPECT_EQ(stored.userName, data.userName);
    EXPECT_EQ(stored.authTime, data.authTime);
    EXPECT_EQ(stored.expTime, 4'102'444'800);
    EXPECT_EQ(stored.token, data.token);
    EXPECT_EQ(stored.cookies, data.cookies);
    EXPECT_EQ(stored._tb_token_, data._tb_token_);
    EXPECT_FALSE(stored.isLogin);
    EXPECT_TRUE(stored.readLock);
}

TEST_F(TokenStore, RefreshChangesOnlyTheAuthorisationOfTheSameRecord)
{
    FStore.updateToken(Account(QStringLiteral("u1")));
    FStore.updateToken(Account(QStringLiteral("u2")));
    FStore.updateCookies(QStringLiteral("u1"), QStringLiteral("_tb_token_=abc; x=1"));
    const PAlimmTokenData record = FStore.get(QStringLiteral("u1"));
    record->setReadLock(true);

    TAlimmTokenData refresh = Account(QStringLiteral(" u1 "), QStringLiteral("tok2"));
    refresh.userName = QStringLiteral("other");
    refresh.authTime = 5;
    refresh.expTime = 6;
    refresh.cookies = QStringLiteral("ignored");
    refresh._tb_token_ = QStringLiteral("ignored");
    refresh.isLogin = false;
    refresh.readLock = false;
    FStore.updateToken(refresh);

    ASSERT_EQ(FStore.count(), 2);
    EXPECT_EQ(FStore.GetItem(0), record);
    const TAlimmTokenData stored = record->Snapshot();
    EXPECT_EQ(stored.userId, QStringLiteral("u1"));
    EXPECT_EQ(stored.userName, QStringLiteral("nick-u1"));
    EXPECT_EQ(stored.authTime, 5);
    EXPECT_EQ(stored.expTime, 6);
    EXPECT_EQ(stored.token, QStringLiteral("tok2"));
    EXPECT_EQ(stored.cookies, QStringLiteral("_tb_token_=abc; x=1"));
    EXPECT_EQ(stored._tb_token_, QStringLiteral("_tb_token_=abc"));
    EXPECT_TRUE(stored.isLogin);
    EXPECT_TRUE(stored.readLock);
}

TEST_F(TokenStore, CookiesForAnUnknownAccountChangeNothing)
{
    FStore.updateToken(Account(QStringLiteral("u1")));
    FStore.updateCookies(QStringLiteral("U1"), QStringLiteral("_tb_token_=abc;"));
    FStore.updateCookies(QString(), QStringLiteral("_tb_token_=abc;"));
    ASSERT_EQ(FStore.count(), 1);
    const TAlimmTokenData stored = FStore.GetItem(0)->Snapshot();
    EXPECT_TRUE(stored.cookies.isEmpty());
    EXPECT_TRUE(stored._tb_token_.isEmpty());
    EXPECT_FALSE(stored.isLogin);
}

struct CookieCase {
    const char16_t* name;
    const char16_t* cookies;
    const char16_t* pair; // nullptr: the earlier pair is kept
};

class CookieExtraction : public TokenStore, public ::testing::WithParamInterface<CookieCase> { };

TEST_P(CookieExtraction, StoresCookiesAndTheTrimmedPair)
{
    const CookieCase& c = GetParam();
    FStore.updateToken(Account(QStringLiteral("u1")));
    FStore.updateCookies(QStringLiteral("u1"), QStringLiteral("_tb_token_=old;"));
    const PAlimmTokenData record = FStore.GetItem(0);
    record->setIsLogin(false);

    const QString cookies = QString::fromUtf16(c.cookies);
    FStore.updateCookies(QStringLiteral(" u1\t"), cookies);

    EXPECT_EQ(record->cookies(), cookies); // stored unchanged, blanks included
    EXPECT_TRUE(record->isLogin());
    EXPECT_EQ(record->_tb_token_(), c.pair ? QString::fromUtf16(c.pair) : QStringLiteral("_tb_token_=old"));
}

INSTANTIATE_TEST_SUITE_P(TokenStore, CookieExtraction,
    ::testing::Values(CookieCase {u"PairInTheMiddle", u"a=1; _tb_token_=e3b0c442; cna=x", u"_tb_token_=e3b0c442"},
        CookieCase {u"PairFirst", u"_tb_token_=abc;", u"_tb_token_=abc"},
        CookieCase {u"PairLastWithoutSemicolon", u"a=1; _tb_token_=abc", nullptr},
        CookieCase {u"NoPairAtAll", u"  a=1; b=2; ", nullptr}, CookieCase {u"EmptyCookies", u"", nullptr},
        CookieCase {u"NameInOtherCase", u"_TB_TOKEN_=abc; x=1", nullptr},
        CookieCase {u"BlanksAroundNameAndValueDropped", u"a=1; _tb_token_ \t= abc \t; x=1", u"_tb_token_= abc"},
        CookieCase {u"FirstOfTwoPairs", u"_tb_token_=one; _tb_token_=two;", u"_tb_token_=one"},
        CookieCase {u"ValueAcrossLineBreak", u"_tb_token_=a\r\nb; x=1", u"_tb_token_=a\r\nb"},
        CookieCase {u"EmptyValue", u"_tb_token_=; x=1", u"_tb_token_="},
        // The not-empty rule: an empty match right before ';' is refused, so the match runs to the next ';'.
        CookieCase {u"NotEmptyRule", u"_tb_token_;x=1;", u"_tb_token_;x=1"},
        CookieCase {u"WiderCharacters", u"_tb_token_=值\U0001F600; x=1", u"_tb_token_=值\U0001F600"}),
    [](const ::testing::TestParamInfo<CookieCase>& info) { return QString::fromUtf16(info.param.name).toStdString(); });

TEST_F(TokenStore, RotatingGetWrapsAndSkipsReadLockedRecords)
{
    for (const char16_t* id : {u"a", u"b", u"c"})
        FStore.updateToken(Account(QString::fromUtf16(id)));
    const PAlimmTokenData a = FStore.GetItem(0);
    const PAlimmTokenData b = FStore.GetItem(1);
    const PAlimmTokenData c = FStore.GetItem(2);

    for (const PAlimmTokenData expected : {a, b, c, a, b}) {
        const PAlimmTokenData got = FStore.get();
        EXPECT_EQ(got, expected);
        ASSERT_NE(got, nullptr);
        EXPECT_TRUE(got->readLock());
        got->setReadLock(false);
    }

    // The cursor is on c now. c stays locked once handed out; a is locked by its holder.
    a->setReadLock(true);
    EXPECT_EQ(FStore.get(), c);
    EXPECT_EQ(FStore.get(), nullptr); // a
    EXPECT_EQ(FStore.get(), b);
    EXPECT_EQ(FStore.get(), nullptr); // c, never released
    EXPECT_TRUE(a->readLock());
}

TEST_F(TokenStore, RotatingGetOnAnEmptyStoreReturnsNothing)
{
    EXPECT_EQ(FStore.get(), nullptr);
}

TEST_F(TokenStore, IndexesBeyondTheListReturnNothing)
{
    EXPECT_EQ(FStore.GetItem(0), nullptr);
    FStore.updateToken(Account(QStringLiteral("a")));
    FStore.updateToken(Account(QStringLiteral("b")));
    EXPECT_EQ(FStore.count(), 2);
    EXPECT_EQ(FStore.GetItem(2), nullptr);
    EXPECT_EQ(FStore.GetItem(-1), nullptr);
    EXPECT_EQ(FStore.Items(1), FStore.GetItem(1));
    EXPECT_EQ(FStore.Items(1)->userId(), QStringLiteral("b"));
}

TEST_F(TokenStore, RecordsKeepTheirAddressWhileTheListGrows)
{
    FStore.updateToken(Account(QStringLiteral("first")));
    const PAlimmTokenData first = FStore.GetItem(0);
    for (int i = 0; i < 5000; ++i)
        FStore.updateToken(Account(QString::number(i)));
    EXPECT_EQ(FStore.GetItem(0), first);
    EXPECT_EQ(FStore.get(QStringLiteral("first")), first);
    EXPECT_EQ(first->userId(), QStringLiteral("first"));
}

// Refresh, cookie reports, the keep-alive rotation and readers all at once: run under ThreadSanitizer this catches
// any unguarded field or list access; in every build it checks that no account is appended twice.
TEST_F(TokenStore, ConcurrentWritersAndReadersKeepOneRecordPerAccount)
{
    constexpr int kAccounts = 40;
    constexpr int kRounds = 300;
    const auto id = [](int i) { return QStringLiteral("user%1").arg(i); };
    FStore.updateToken(Account(id(0)));
    std::atomic<bool> go {false};
    std::vector<std::thread> threads;

    for (int t = 0; t < 2; ++t) { // two account refreshes racing over the same new accounts
        threads.emplace_back([&, t] {
            while (!go.load())
                std::this_thread::yield();
            for (int r = 0; r < kRounds; ++r)
                FStore.updateToken(Account(id((r + t) % kAccounts), QStringLiteral("tok%1").arg(r)));
        });
    }
    threads.emplace_back([&] { // the sign-in browser's reports
        while (!go.load())
            std::this_thread::yield();
        for (int r = 0; r < kRounds; ++r)
            FStore.updateCookies(id(r % kAccounts), QStringLiteral("a=%1; _tb_token_=v%1; b=2").arg(r));
    });
    threads.emplace_back([&] { // the keep-alive walk
        while (!go.load())
            std::this_thread::yield();
        for (int r = 0; r < kRounds; ++r) {
            if (const PAlimmTokenData record = FStore.get()) {
                (void)record->cookies();
                record->setIsLogin(false);
                record->setReadLock(false);
            }
        }
    });
    threads.emplace_back([&] { // sync jobs reading fields
        while (!go.load())
            std::this_thread::yield();
        for (int r = 0; r < kRounds; ++r) {
            const qint32 n = FStore.count();
            for (qint32 i = 0; i < n; ++i) {
                const PAlimmTokenData record = FStore.GetItem(i);
                ASSERT_NE(record, nullptr);
                const TAlimmTokenData copy = record->Snapshot();
                EXPECT_EQ(FStore.get(copy.userId), record);
                (void)record->token();
                (void)record->_tb_token_();
            }
        }
    });
    go.store(true);
    for (auto& thread : threads)
        thread.join();

    ASSERT_EQ(FStore.count(), kAccounts);
    QSet<QString> ids;
    for (qint32 i = 0; i < FStore.count(); ++i) {
        const TAlimmTokenData copy = FStore.GetItem(i)->Snapshot();
        ids.insert(copy.userId);
        if (!copy.cookies.isEmpty()) { // the pair always belongs to the cookies it was taken from
            EXPECT_TRUE(copy.cookies.contains(copy._tb_token_ + u';')) << copy.cookies.toStdString();
        }
    }
    EXPECT_EQ(ids.size(), kAccounts);
}

} // namespace
