#include "app/appOptions.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct TCase {
    const char* name;
    std::vector<const char*> arguments; // after the program name
    TAppOptions::TAction action;
    double syncIntervalS;
    double refundIntervalS;
};

class CommandLine : public ::testing::TestWithParam<TCase> { };

TEST_P(CommandLine, Parses)
{
    const TCase& c = GetParam();
    QStringList arguments {QStringLiteral("quenlar")};
    for (const char* argument : c.arguments)
        arguments.append(QString::fromUtf8(argument));
    const TAppOptions options = TAppOptions::Parse(arguments);
    EXPECT_EQ(options.action, c.action) << options.error.toStdString();
    if (c.action == TAppOptions::TAction::Error) {
        EXPECT_FALSE(options.error.isEmpty());
        return;
    }
    EXPECT_DOUBLE_EQ(options.syncIntervalS, c.syncIntervalS);
    EXPECT_DOUBLE_EQ(options.refundIntervalS, c.refundIntervalS);
}

using A = TAppOptions::TAction;
constexpr const char* kHeadless = "--headless";
constexpr const char* kPhone = "--phone=1";

INSTANTIATE_TEST_SUITE_P(Options, CommandLine,
    ::testing::Values(TCase {"window", {}, A::Run, 0, 0}, TCase {"headlessDefaults", {kHeadless, kPhone}, A::Run, 0, 0},
        TCase {"headlessNeedsPhone", {kHeadless}, A::Error, 0, 0},
        TCase {"intervals", {kHeadless, kPhone, "--sync-interval", "60", "--refund-interval=3600"}, A::Run, 60, 3600},
        TCase {"decimalInterval", {kHeadless, kPhone, "--sync-interval=0.1"}, A::Run, 0.1, 0},
        TCase {"intervalBelowBound", {kHeadless, kPhone, "--sync-interval=0.05"}, A::Error, 0, 0},
        TCase {"zeroInterval", {kHeadless, kPhone, "--refund-interval", "0"}, A::Error, 0, 0},
        TCase {"negativeInterval", {kHeadless, kPhone, "--sync-interval=-5"}, A::Error, 0, 0},
        TCase {"notANumber", {kHeadless, kPhone, "--sync-interval=5m"}, A::Error, 0, 0},
        TCase {"notANumberNaN", {kHeadless, kPhone, "--sync-interval=nan"}, A::Error, 0, 0},
        TCase {"intervalWithoutValue", {kHeadless, kPhone, "--sync-interval"}, A::Error, 0, 0},
        TCase {"intervalWithoutHeadless", {"--sync-interval=60"}, A::Error, 0, 0},
        TCase {"unknownOption", {"--sync"}, A::Error, 0, 0}, TCase {"help", {"--help"}, A::Help, 0, 0}),
    [](const ::testing::TestParamInfo<TCase>& AInfo) { return std::string(AInfo.param.name); });

} // namespace

namespace {

// The service passes an empty QUENLAR_PHONE as nothing: the message names the file to put it in, whether the
// option is missing or took the next option for its value.
struct TPhoneCase {
    const char* name;
    std::vector<const char*> arguments;
    const char* said;
};

class MissingPhone : public ::testing::TestWithParam<TPhoneCase> { };

TEST_P(MissingPhone, NamesTheServicesEnvironmentFile)
{
    QStringList arguments {QStringLiteral("quenlar")};
    for (const char* argument : GetParam().arguments)
        arguments.append(QString::fromUtf8(argument));
    const TAppOptions options = TAppOptions::Parse(arguments);
    EXPECT_EQ(options.action, TAppOptions::TAction::Error);
    EXPECT_TRUE(options.error.contains(QString::fromUtf8(GetParam().said))) << options.error.toStdString();
    EXPECT_TRUE(options.error.contains(QStringLiteral("QUENLAR_PHONE in /etc/quenlar/quenlar.env")))
        << options.error.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Service, MissingPhone,
    ::testing::Values(TPhoneCase {"noPhone", {"--headless"}, "--headless needs --phone"},
        TPhoneCase {"emptyPhone", {"--headless", "--phone", ""}, "--headless needs --phone"},
        TPhoneCase {"optionTakenForThePhone", {"--headless", "--phone", "--data-dir", "/var/lib/quenlar"},
            "--phone needs the operator's phone, not the option --data-dir"}),
    [](const ::testing::TestParamInfo<TPhoneCase>& AInfo) { return std::string(AInfo.param.name); });

} // namespace
