#include "store/ucommon.h"

#include "foundation/qerror.h"
#include "store/inifile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include <sys/stat.h>

namespace {

class SettingsFile : public ::testing::Test {
protected:
    QString Path() const { return FDir.filePath(QStringLiteral("conf.ini")); }
    void Write(const QByteArray& text) const
    {
        QFile file(Path());
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(text);
    }
    QByteArray Read() const
    {
        QFile file(Path());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    QTemporaryDir FDir;
};

struct SwitchCase {
    const char* text;
    bool ysh;
    bool apiwq;
    bool large;
};

class SwitchReading : public SettingsFile, public ::testing::WithParamInterface<SwitchCase> { };

TEST_P(SwitchReading, ReadsIntegersWithDefaults)
{
    const SwitchCase& c = GetParam();
    Write(c.text);
    const TCommon common(FDir.path());
    EXPECT_EQ(common.openSyncYSH(), c.ysh);
    EXPECT_EQ(common.openSyncApiWQ(), c.apiwq);
    EXPECT_EQ(common.openLargeModel(), c.large);
}

INSTANTIATE_TEST_SUITE_P(Settings, SwitchReading,
    ::testing::Values(SwitchCase {"", true, false, false}, SwitchCase {"[setting]\nsyncysh=0\n", false, false, false},
        SwitchCase {"[setting]\nsyncysh=abc\n", true, false, false},
        SwitchCase {"[setting]\nsyncysh=\n", true, false, false},
        SwitchCase {"[setting]\nsyncysh=0x0\nsyncapiwq=2\nopenLarge=1\n", false, true, true},
        SwitchCase {"[SETTING]\r\nSyncYsh = 0\r\nOPENLARGE=0X1f\r\n", false, false, true},
        SwitchCase {"[setting]\nsyncysh=12abc\nsyncapiwq=-1\n", true, true, false},
        SwitchCase {"[other]\nsyncysh=0\n", true, false, false},
        SwitchCase {"; comment\n[setting]\n;syncysh=0\nopenLarge=\"1\"\n", true, false, true}));

// What is wrong with conf.ini is said with the file's path, so that it is not taken for an unreachable back end.
struct TProblemCase {
    const char* name;
    QByteArray contents; // "-": no file; "/": a folder in its place
    const char16_t* problem; // empty: none
};

class SettingsProblem : public SettingsFile, public ::testing::WithParamInterface<TProblemCase> { };

TEST_P(SettingsProblem, IsNamedWithThePath)
{
    const TProblemCase& c = GetParam();
    if (c.contents == "/")
        ASSERT_TRUE(QDir().mkdir(Path()));
    else if (c.contents != "-")
        Write(c.contents);
    const TCommon common(FDir.path());
    const QString expected = QString::fromUtf16(c.problem);
    if (expected.isEmpty()) {
        EXPECT_TRUE(common.problem().isEmpty()) << common.problem().toStdString();
        return;
    }
    EXPECT_TRUE(common.problem().contains(expected)) << common.problem().toStdString();
    EXPECT_TRUE(common.problem().contains(QDir::toNativeSeparators(Path()))) << common.problem().toStdString();
}

INSTANTIATE_TEST_SUITE_P(Settings, SettingsProblem,
    ::testing::Values(TProblemCase {"good", "; hosts\n[hosts]\noperatorService=a:1\n\n[setting]\nsyncysh=1\n", u""},
        TProblemCase {"missing", "-", u"不存在"}, TProblemCase {"folder", "/", u"是一个文件夹"},
        TProblemCase {"binary", QByteArray("[hosts]\n\0\x01\x02", 11), u"不是文本"},
        TProblemCase {"garbage", "[hosts]\noperatorService=a:1\nthis is no setting\n", u"第 3 行不是设置"},
        TProblemCase {"noHosts", "[setting]\nsyncysh=0\n", u"没有 [hosts] 段"}),
    [](const ::testing::TestParamInfo<TProblemCase>& AInfo) { return std::string(AInfo.param.name); });

TEST_F(SettingsFile, MissingFileIsCreatedByTheFirstWriteWithOneKey)
{
    TCommon common(FDir.path());
    EXPECT_EQ(common.iniPath, QDir(FDir.path()).absoluteFilePath(QStringLiteral("conf.ini")));
    EXPECT_FALSE(QFile::exists(Path()));
    common.setOpenSyncYSH(true);
    EXPECT_EQ(Read(), QByteArray("[setting]\r\nsyncysh=1\r\n"));
}

TEST_F(SettingsFile, ANewFileIsTheOwnersOnlyAndAnExistingOneKeepsItsMode)
{
    const mode_t before = ::umask(022);
    TCommon common(FDir.path());
    common.setOpenSyncYSH(true);
    EXPECT_EQ(QFile::permissions(Path()),
        QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadUser | QFileDevice::WriteUser);
    const QFileDevice::Permissions shared = QFile::permissions(Path()) | QFileDevice::ReadGroup;
    ASSERT_TRUE(QFile::setPermissions(Path(), shared));
    common.setOpenSyncYSH(false);
    EXPECT_EQ(QFile::permissions(Path()), shared);
    ::umask(before);
}

TEST_F(SettingsFile, WritesReplaceInPlaceAndKeepEverythingElse)
{
    Write("; operator notes\n[hosts]\ntopGateway=gw.example\n\n[Setting]\nSYNCYSH=1\nkeep=me\n\n[tail]\nx=1\n");
    TCommon common(FDir.path());
    common.setOpenSyncYSH(false);
    common.setOpenLargeModel(true);
    EXPECT_EQ(Read(),
        QByteArray("; operator notes\n[hosts]\ntopGateway=gw.example\n\n[Setting]\nsyncysh=0\nkeep=me\n"
                   "openLarge=1\n\n[tail]\nx=1\n"));
    const TCommon again(FDir.path());
    EXPECT_FALSE(again.openSyncYSH());
    EXPECT_TRUE(again.openLargeModel());
    EXPECT_EQ(again.hosts().topGateway, QStringLiteral("gw.example"));
}

TEST_F(SettingsFile, UntouchedLinesKeepTheirBytes)
{
    // A GBK comment, a Latin-1 value and mixed line breaks in lines nobody writes.
    const QByteArray before("; \xb7\xfe\xce\xf1\xc6\xf7\r\n[hosts]\ncaFile=/tmp/caf\xe9.pem\r\n\r\n[setting]\r\n"
                            "syncysh=1\r\n; \xd6\xd0\xce\xc4\n");
    Write(before);
    TCommon common(FDir.path());
    common.setOpenSyncYSH(false);
    QByteArray expected = before;
    expected.replace("syncysh=1", "syncysh=0");
    EXPECT_EQ(Read(), expected);
    common.setOpenLargeModel(true);
    expected += "openLarge=1\r\n"; // after the section's last line, the comment
    EXPECT_EQ(Read(), expected);
}

TEST_F(SettingsFile, LeadingByteOrderMarksAreSkippedOnce)
{
    Write("\xef\xbb\xbf\xef\xbb\xbf\xef\xbb\xbf[setting]\r\nopenLarge=1\r\n");
    TCommon common(FDir.path());
    EXPECT_TRUE(common.openLargeModel());
    common.setOpenLargeModel(false);
    EXPECT_EQ(Read(), QByteArray("\xef\xbb\xbf[setting]\r\nopenLarge=0\r\n"));
    EXPECT_FALSE(TCommon(FDir.path()).openLargeModel());
}

TEST_F(SettingsFile, LineBreakForms)
{
    const struct {
        const char* before;
        const char* after;
    } cases[] = {
        // A lone CR ends a line; a last line keeps its own break.
        {"[setting]\rsyncysh=1\r", "[setting]\rsyncysh=1\ropenLarge=1\r\n"},
        {"[setting]\r\nsyncysh=1", "[setting]\r\nsyncysh=1\r\nopenLarge=1\r\n"},
        {"[setting]\nsyncysh=1", "[setting]\nsyncysh=1\nopenLarge=1\n"},
        {"[setting]\nopenLarge=0", "[setting]\nopenLarge=1\n"},
        {"[other]\r\nx=1\r", "[other]\r\nx=1\r\r\n[setting]\r\nopenLarge=1\r\n"},
        {"[other]\nx=1\r", "[other]\nx=1\r\r[setting]\nopenLarge=1\n"},
    };
    for (const auto& c : cases) {
        Write(c.before);
        TCommon common(FDir.path());
        common.setOpenLargeModel(true);
        EXPECT_EQ(Read(), QByteArray(c.after)) << c.before;
        EXPECT_TRUE(TCommon(FDir.path()).openLargeModel()) << c.before;
    }
}

TEST_F(SettingsFile, RefusedWriteRaisesWithThePathAndKeepsTheValue)
{
    // A folder where the file should be: the write cannot succeed, even for root.
    ASSERT_TRUE(QDir(FDir.path()).mkdir(QStringLiteral("conf.ini")));
    TCommon common(FDir.path());
    try {
        common.setOpenLargeModel(true);
        FAIL() << "no error raised";
    } catch (const EQuenlarError& e) {
        EXPECT_EQ(e.Message(), QStringLiteral("Unable to write to ") + common.iniPath);
    }
    EXPECT_TRUE(common.openLargeModel());
    EXPECT_TRUE(QFileInfo(Path()).isDir());
}

TEST_F(SettingsFile, HostsHaveDefaultsAndSchemes)
{
    {
        const TCommon common(FDir.path());
        const THosts& h = common.hosts();
        EXPECT_EQ(h.operatorServiceUrl(), QStringLiteral("http://127.0.0.1:18080"));
        EXPECT_EQ(h.operatorIntakeUrl(), QStringLiteral("http://127.0.0.1:18081"));
        EXPECT_EQ(h.topGatewayUrl(), QStringLiteral("http://gw.api.taobao.com"));
        EXPECT_EQ(h.alimamaPublisherUrl(), QStringLiteral("https://pub.alimama.com"));
        EXPECT_EQ(h.alimamaMediaUrl(), QStringLiteral("https://www.alimama.com"));
        EXPECT_TRUE(h.caFile.isEmpty());
    }
    Write("[hosts]\noperatorService=https://ops.example:8443/\nalimamaPublisher=127.0.0.1:9443\ncaFile=/tmp/ca.pem\n");
    const TCommon common(FDir.path());
    EXPECT_EQ(common.hosts().operatorServiceUrl(), QStringLiteral("https://ops.example:8443"));
    EXPECT_EQ(common.hosts().alimamaPublisherUrl(), QStringLiteral("https://127.0.0.1:9443"));
    EXPECT_EQ(common.hosts().caFile, QStringLiteral("/tmp/ca.pem"));
}

TEST(IniInteger, Forms)
{
    const struct {
        const char16_t* text;
        std::optional<qint64> value;
    } cases[] = {
        {u"0", 0},
        {u"2", 2},
        {u"-7", -7},
        {u"0x0", 0},
        {u"0XfF", 255},
        {u" 1 ", 1},
        {u"", std::nullopt},
        {u"0x", std::nullopt},
        {u"1.5", std::nullopt},
        {u"abc", std::nullopt},
        {u"１", std::nullopt},
        {u"+0x10", 16},
        {u"-0x10", -16},
        {u"0x\u00e9", std::nullopt},
        {u"0x\uff41", std::nullopt},
        {u"0x\U0001F600", std::nullopt},
        {u"9223372036854775807", 9223372036854775807},
        {u"9223372036854775808", std::nullopt},
        {u"0xffffffffffffffff", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParseIniInteger(c.text), c.value) << QString::fromUtf16(c.text).toStdString();
}

struct TIncrementalCase {
    const char* text;
    bool incremental;
    int hour;
};

class IncrementalReading : public SettingsFile, public ::testing::WithParamInterface<TIncrementalCase> { };

TEST_P(IncrementalReading, OffAndFourOClockUnlessTheFileSaysOtherwise)
{
    Write(GetParam().text);
    const TCommon common(FDir.path());
    EXPECT_EQ(common.openIncremental(), GetParam().incremental);
    EXPECT_EQ(common.fullSyncHour(), GetParam().hour);
}

INSTANTIATE_TEST_SUITE_P(Settings, IncrementalReading,
    ::testing::Values(TIncrementalCase {"", false, 4},
        TIncrementalCase {"[setting]\nsyncIncrement=1\nfullSyncHour=0\n", true, 0},
        TIncrementalCase {"[setting]\nsyncincrement=0\nfullSyncHour=23\n", false, 23},
        TIncrementalCase {"[setting]\nsyncIncrement=x\nfullSyncHour=24\n", false, 4},
        TIncrementalCase {"[setting]\nfullSyncHour=-1\n", false, 4},
        TIncrementalCase {"[setting]\nfullSyncHour=later\n", false, 4}));

struct TPassScaleCase {
    const char* text;
    int concurrency;
    int callLimit;
};

class PassScaleReading : public SettingsFile, public ::testing::WithParamInterface<TPassScaleCase> { };

TEST_P(PassScaleReading, OneAccountAtATimeAndNoPacingUnlessTheFileSaysOtherwise)
{
    Write(GetParam().text);
    const TCommon common(FDir.path());
    EXPECT_EQ(common.passConcurrency(), GetParam().concurrency);
    EXPECT_EQ(common.topCallLimit(), GetParam().callLimit);
}

INSTANTIATE_TEST_SUITE_P(Settings, PassScaleReading,
    ::testing::Values(TPassScaleCase {"", 1, 0},
        TPassScaleCase {"[setting]\npassConcurrency=4\ntopCallLimit=40\n", 4, 40},
        TPassScaleCase {"[setting]\npassconcurrency=8\n", 8, 0},
        TPassScaleCase {"[setting]\npassConcurrency=9\n", 8, 0}, // at most 8 accounts at once
        TPassScaleCase {"[setting]\npassConcurrency=0\ntopCallLimit=-1\n", 1, 0},
        TPassScaleCase {"[setting]\npassConcurrency=four\ntopCallLimit=x\n", 1, 0}));

TEST_F(SettingsFile, TheLogIsUtf8OnlyWhenTheFileSaysSo)
{
    for (const auto& [text, utf8] : std::vector<std::pair<const char*, bool>> {{"", false},
             {"[setting]\nlogEncoding=utf-8\n", true}, {"[setting]\nlogEncoding= UTF8 \n", true},
             {"[setting]\nlogEncoding=utf-16le\n", false}, {"[setting]\nlogEncoding=latin1\n", false}}) {
        Write(text);
        EXPECT_EQ(TCommon(FDir.path()).logInUtf8(), utf8) << text;
    }
}

// Section notify as written, blanks around the values dropped; json when no format is given.
TEST_F(SettingsFile, NotifyIsReadAsWritten)
{
    struct TCase {
        const char* text;
        const char16_t* webhook;
        const char16_t* format;
        const char16_t* secret;
    };
    for (const TCase& c : {TCase {"", u"", u"json", u""},
             TCase {"[notify]\nwebhook= https://h.example/send?key=k&x=1 \nformat=DingTalk\nsecret=SEC 1\n",
                 u"https://h.example/send?key=k&x=1", u"DingTalk", u"SEC 1"},
             TCase {"[hosts]\n[notify]\nwebhook=http://127.0.0.1:1/h\n", u"http://127.0.0.1:1/h", u"json", u""}}) {
        Write(c.text);
        const TNotifySettings notify = TCommon(FDir.path()).notify();
        EXPECT_EQ(notify.webhook, QString::fromUtf16(c.webhook)) << c.text;
        EXPECT_EQ(notify.format, QString::fromUtf16(c.format)) << c.text;
        EXPECT_EQ(notify.secret, QString::fromUtf16(c.secret)) << c.text;
    }
}

// The concurrency is read at every pass: an edit counts from the next one without a restart.
TEST_F(SettingsFile, PassConcurrencyEditCountsAtOnce)
{
    Write("[setting]\npassConcurrency=2\n");
    const TCommon common(FDir.path());
    EXPECT_EQ(common.passConcurrency(), 2);
    Write("[setting]\npassConcurrency=5\n");
    EXPECT_EQ(common.passConcurrency(), 5);
}

TEST_F(SettingsFile, IncrementalSwitchIsWrittenThrough)
{
    Write("[setting]\nsyncysh=0\n");
    TCommon common(FDir.path());
    common.setOpenIncremental(true);
    EXPECT_TRUE(common.openIncremental());
    EXPECT_EQ(Read(), QByteArray("[setting]\nsyncysh=0\nsyncIncrement=1\n"));
    EXPECT_TRUE(TCommon(FDir.path()).openIncremental());
}

} // namespace
