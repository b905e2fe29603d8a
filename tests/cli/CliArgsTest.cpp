#include "CliArgs.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

CliParseResult Parse(std::vector<const char*> args)
{
    args.insert(args.begin(), "quorvan-cli");
    return ParseCliArgs(static_cast<int>(args.size()), args.data());
}

struct BadCase {
    std::vector<const char*> args;
    const char* message;  // part of the error sentence
};

// Names each case after its command line.
void PrintTo(const BadCase& c, std::ostream* os)
{
    for (size_t i = 0; i < c.args.size(); ++i)
        *os << (i > 0 ? " " : "") << (c.args[i][0] != '\0' ? c.args[i] : "''");
}

class CliArgsBad : public ::testing::TestWithParam<BadCase> {};

TEST_P(CliArgsBad, IsRefusedWithAReason)
{
    const CliParseResult r = Parse(GetParam().args);
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find(GetParam().message), std::string::npos) << r.error;
}

INSTANTIATE_TEST_SUITE_P(
    Commands, CliArgsBad,
    ::testing::Values(BadCase{{"--port", "COM3"}, "no command"},
                      BadCase{{"--port", "COM3", "frob"}, "unknown command 'frob'"},
                      BadCase{{"--port", "COM3", "read", "params"}, "unexpected argument 'params'"},
                      BadCase{{"--port", "COM3", "read", "--verbose"},
                              "unknown option '--verbose'"},
                      BadCase{{"--port", "COM3", "read", "--json=yes"}, "--json takes no value"},
                      BadCase{{"read"}, "no port given"},
                      BadCase{{"read", "--port"}, "--port needs a value"}));

INSTANTIATE_TEST_SUITE_P(
    Ports, CliArgsBad,
    ::testing::Values(BadCase{{"--port", "COM0", "read"}, "'COM0' is not a port"},
                      BadCase{{"--port", "COM-1", "read"}, "'COM-1' is not a port"},
                      BadCase{{"--port", "COM256", "read"}, "'COM256' is not a port"},
                      BadCase{{"--port", "COM99999999999999999999", "read"}, "is not a port"},
                      BadCase{{"--port", "COM", "read"}, "is not a port"},
                      BadCase{{"--port", "ttyUSB0", "read"}, "device path"},
                      BadCase{{"--port", "", "read"}, "is not a port"}));

INSTANTIATE_TEST_SUITE_P(
    SetParams, CliArgsBad,
    ::testing::Values(
        BadCase{{"--port", "COM1", "set-params"}, "needs at least one"},
        BadCase{{"--port", "COM1", "read", "--high", "300"}, "belong to set-params"},
        BadCase{{"--port", "COM1", "set-params", "--high", "4.99"}, "--high wants"},
        BadCase{{"--port", "COM1", "set-params", "--high", "350.01"}, "--high wants"},
        BadCase{{"--port", "COM1", "set-params", "--high", "300.555"}, "--high wants"},
        BadCase{{"--port", "COM1", "set-params", "--high", "300."}, "--high wants"},
        BadCase{{"--port", "COM1", "set-params", "--high", ".5"}, "--high wants"},
        BadCase{{"--port", "COM1", "set-params", "--high", "-300"}, "--high wants"},
        BadCase{{"--port", "COM1", "set-params", "--high", "300V"}, "--high wants"},
        BadCase{{"--port", "COM1", "set-params", "--high", "1e2"}, "--high wants"},
        BadCase{{"--port", "COM1", "set-params", "--high", "99999999999999999999"}, "--high wants"},
        BadCase{{"--port", "COM1", "set-params", "--low", "0.99"}, "--low wants"},
        BadCase{{"--port", "COM1", "set-params", "--address", "0"}, "--address wants"},
        BadCase{{"--port", "COM1", "set-params", "--address", "248"}, "--address wants"},
        BadCase{{"--port", "COM1", "set-params", "--address", " 12"}, "--address wants"},
        BadCase{{"--port", "COM1", "set-params", "--address", "+12"}, "--address wants"},
        BadCase{{"--port", "COM1", "set-params", "--address", "4294967297"}, "--address wants"},
        BadCase{{"--port", "COM1", "set-params", "--range", "4"}, "--range wants"},
        BadCase{{"--port", "COM1", "set-params", "--range", ""}, "--range wants"},
        BadCase{{"--port", "COM1", "set-params", "--range"}, "--range needs a value"}));

INSTANTIATE_TEST_SUITE_P(
    UnitAndScan, CliArgsBad,
    ::testing::Values(
        BadCase{{"--unit", "0", "--port", "COM1", "read"}, "--unit wants a meter address"},
        BadCase{{"--port", "COM1", "read", "--unit", "248"}, "not '248'"},
        BadCase{{"--port", "COM1", "read", "--unit=7x"}, "not '7x'"},
        BadCase{{"--port", "COM1", "read", "--unit", "-7"}, "not '-7'"},
        BadCase{{"--port", "COM1", "read", "--unit="}, "not ''"},
        BadCase{{"--port", "COM1", "read", "--unit"}, "--unit needs a value"},
        BadCase{{"--port", "COM1", "--unit", "5", "scan"}, "--unit does not go with scan"},
        BadCase{{"--port", "COM1", "read", "--timeout", "200"}, "--timeout belongs to scan"},
        BadCase{{"--port", "COM1", "scan", "--timeout", "49"}, "--timeout wants"},
        BadCase{{"--port", "COM1", "scan", "--timeout", "1501"}, "--timeout wants"},
        BadCase{{"--port", "COM1", "scan", "--timeout", "0.5"}, "--timeout wants"},
        BadCase{{"--port", "COM1", "scan", "extra"}, "unexpected argument 'extra'"}));

// Spellings that a general option parser would take, and this one refuses.
INSTANTIATE_TEST_SUITE_P(
    Spellings, CliArgsBad,
    ::testing::Values(
        BadCase{{"--port", "COM3", "read", "--json="}, "--json takes no value"},
        BadCase{{"--port", "COM3", "read", "--json=true"}, "--json takes no value"},
        BadCase{{"--port", "COM3", "read", "--trace=false"}, "--trace takes no value"},
        BadCase{{"-h=1"}, "-h takes no value"},
        BadCase{{"--port", "COM3", "--", "read"}, "unknown option '--'"},
        BadCase{{"--port", "COM3", "-", "read"}, "unknown option '-'"},
        BadCase{{"--port", "COM3", "read", "--JSON"}, "unknown option '--JSON'"},
        BadCase{{"--port", "COM3", "read", "--jso"}, "unknown option '--jso'"},
        BadCase{{"--port", "COM3", "read", "--x=1"}, "unknown option '--x'"},
        BadCase{{"--port", "COM3", ""}, "unknown command ''"},
        BadCase{{"--port=", "read"}, "'' is not a port"},
        // A value is the next argument, whatever it looks like.
        BadCase{{"--port", "--json", "read"}, "'--json' is not a port"},
        // The first bad value on the line is the one named.
        BadCase{{"--low", "0", "--high", "400", "--port", "COM1", "set-params"}, "--low wants"}));

TEST(CliArgs, UnitNamesTheMetersOwnAddressForAnyCommand)
{
    EXPECT_EQ(Parse({"--port", "COM1", "read"}).options.unit, 0);  // the general address
    const CliParseResult r = Parse({"--unit", "1", "--port", "COM1", "watch"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.unit, 1);
    // --address stays the new address to store, next to the target.
    const CliParseResult set =
        Parse({"--port", "COM1", "set-params", "--address", "9", "--unit=247"});
    ASSERT_TRUE(set.ok) << set.error;
    EXPECT_EQ(set.options.unit, 247);
    EXPECT_EQ(set.options.set.address, 9);
}

TEST(CliArgs, ScanTakesItsAnswerLimit)
{
    const CliParseResult plain = Parse({"--port", "COM1", "scan"});
    ASSERT_TRUE(plain.ok) << plain.error;
    EXPECT_EQ(plain.options.command, CliCommand::Scan);
    EXPECT_EQ(plain.options.scanTimeoutMs, 100);
    for (const char* ms : {"50", "1500"}) {
        const CliParseResult r = Parse({"--timeout", ms, "--json", "scan", "--port", "COM1"});
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.options.scanTimeoutMs, std::stoi(ms));
    }
}

TEST(CliArgs, AcceptsGlobalOptionsOnEitherSideOfTheCommand)
{
    const CliParseResult r = Parse({"--trace", "read", "--port", "com12", "--json"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.command, CliCommand::Read);
    EXPECT_EQ(r.options.port.number, 12);
    EXPECT_TRUE(r.options.port.path.empty());
    EXPECT_TRUE(r.options.trace);
    EXPECT_TRUE(r.options.json);
}

TEST(CliArgs, TakesDevicePathsAndEqualsForms)
{
    const CliParseResult r = Parse({"--port=/dev/serial/by-id/usb-x", "params"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.port.number, 0);
    EXPECT_EQ(r.options.port.path, "/dev/serial/by-id/usb-x");
    EXPECT_EQ(r.options.command, CliCommand::Params);

    const CliParseResult rel = Parse({"--port", "./pty", "read"});
    ASSERT_TRUE(rel.ok) << rel.error;
    EXPECT_EQ(rel.options.port.path, "./pty");
}

TEST(CliArgs, SetParamsKeepsOnlyWhatIsNamed)
{
    const CliParseResult r =
        Parse({"--port", "COM255", "set-params", "--low=12.5", "--range", "3"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.port.number, 255);
    const CliSetParams& s = r.options.set;
    EXPECT_FALSE(s.hasHigh);
    EXPECT_TRUE(s.hasLow);
    EXPECT_EQ(s.lowVoltage, 1250);
    EXPECT_FALSE(s.hasAddress);
    EXPECT_TRUE(s.hasRange);
    EXPECT_EQ(s.currentRange, 3);
}

TEST(CliArgs, HelpAndVersionNeedNothingElse)
{
    EXPECT_TRUE(Parse({"--help"}).options.help);
    EXPECT_TRUE(Parse({"-h"}).ok);
    EXPECT_TRUE(Parse({"--version"}).options.version);
    // A bad option still counts, even next to --help.
    EXPECT_FALSE(Parse({"--help", "--bogus"}).ok);
}

TEST(CliArgs, VoltsCarryHundredthsExactly)
{
    const struct {
        const char* text;
        int hundredths;  // -1: refused
    } cases[] = {
        {"300.55", 30055}, {"300.5", 30050},  {"300", 30000}, {"5", 500},
        {"350", 35000},    {"350.00", 35000}, {"0.29", 29},   {"007.10", 710},
        {"4.999", -1},     {"", -1},          {"1.2.3", -1},  {"1,5", -1},
    };
    for (const auto& c : cases) {
        uint16_t value = 0;
        const bool ok = ParseVolts(c.text, 0, 35000, &value);
        EXPECT_EQ(ok ? value : -1, c.hundredths) << c.text;
    }
}

}  // namespace
