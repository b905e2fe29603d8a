// The simulator program's command line, parsed into a plain value.
#include "SimArgs.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

SimArgsResult Parse(std::vector<std::string> args)
{
    args.insert(args.begin(), "quorvan-meter-sim");
    std::vector<const char*> argv;
    for (const auto& a : args)
        argv.push_back(a.c_str());
    return ParseSimArgs(static_cast<int>(argv.size()), argv.data());
}

}  // namespace

TEST(SimArgs, OneMeterFromTheSingleOptions)
{
    SimArgsResult r = Parse({});
    ASSERT_TRUE(r.ok) << r.error;
    ASSERT_EQ(r.options.meters.size(), 1u);
    EXPECT_EQ(r.options.meters[0].voltage, SimMeterState{}.voltage);
    EXPECT_TRUE(r.options.pacing);
    EXPECT_EQ(r.options.calibrateMs, 200);
    EXPECT_EQ(r.options.hangupSeconds, -1);

    r = Parse({"--voltage", "51.23", "--current=4.5", "--energy", "4294967295", "--high", "300",
               "--low", "0.01", "--address", "247", "--range", "65535", "--fixed", "--com",
               "COM3"});
    ASSERT_TRUE(r.ok) << r.error;
    ASSERT_EQ(r.options.meters.size(), 1u);
    const SimMeterState& m = r.options.meters[0];
    EXPECT_EQ(m.voltage, 5123);
    EXPECT_EQ(m.current, 450);
    EXPECT_EQ(m.energy, 4294967295u);
    EXPECT_EQ(m.highVoltage, 30000);
    EXPECT_EQ(m.lowVoltage, 1);
    EXPECT_EQ(m.address, 247);
    EXPECT_EQ(m.currentRange, 65535);
    EXPECT_TRUE(m.fixed);
    EXPECT_EQ(r.options.com, 3);
    // The last of a repeated option wins.
    r = Parse({"--com", "3", "--voltage", "1", "--com=12", "--voltage=2"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.com, 12);
    EXPECT_EQ(r.options.meters[0].voltage, 200);
}

TEST(SimArgs, MetersTakeTheSingleOptionsAsDefaultsInAnyOrder)
{
    const SimArgsResult r = Parse({"--meter", "3,voltage=12.5,fixed,energy=9", "--voltage", "40",
                                   "--energy", "7", "--meter=5", "--meter", "247,range=2,low=1"});
    ASSERT_TRUE(r.ok) << r.error;
    ASSERT_EQ(r.options.meters.size(), 3u);
    const SimMeterState& a = r.options.meters[0];
    const SimMeterState& b = r.options.meters[1];
    const SimMeterState& c = r.options.meters[2];
    EXPECT_EQ(a.address, 3);
    EXPECT_EQ(a.voltage, 1250);
    EXPECT_EQ(a.energy, 9u);
    EXPECT_TRUE(a.fixed);
    EXPECT_EQ(b.address, 5);
    EXPECT_EQ(b.voltage, 4000);  // the defaults, though given after the first --meter
    EXPECT_EQ(b.energy, 7u);
    EXPECT_FALSE(b.fixed);
    EXPECT_EQ(c.address, 247);
    EXPECT_EQ(c.currentRange, 2);
    EXPECT_EQ(c.lowVoltage, 100);
}

TEST(SimArgs, FaultsTimingAndLink)
{
    const SimArgsResult r =
        Parse({"--fault", "delay=30", "--fault=count=2", "--fault", "crc", "--fault", "hangup=0.5",
               "--no-pacing", "--calibrate-ms", "0", "--link", "/tmp/meter"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.faults.delayMs, 30);
    EXPECT_EQ(r.options.faults.count, 2);
    EXPECT_TRUE(r.options.faults.corruptCrc);
    EXPECT_FALSE(r.options.faults.silent);
    EXPECT_DOUBLE_EQ(r.options.hangupSeconds, 0.5);
    EXPECT_FALSE(r.options.pacing);
    EXPECT_EQ(r.options.calibrateMs, 0);
    EXPECT_EQ(r.options.link, "/tmp/meter");
}

// --help and --version act where they stand: what comes before them must
// be good, what comes after is not looked at.
TEST(SimArgs, HelpAndVersionInOrder)
{
    EXPECT_TRUE(Parse({"--help"}).options.help);
    EXPECT_TRUE(Parse({"-h"}).options.help);
    EXPECT_TRUE(Parse({"--version"}).options.version);
    const SimArgsResult after = Parse({"--help", "--voltage", "x"});
    EXPECT_TRUE(after.ok && after.options.help);
    EXPECT_FALSE(Parse({"--voltage", "x", "--version"}).ok);
}

TEST(SimArgs, RefusalsSayWhatIsWrong)
{
    const struct {
        std::vector<std::string> args;
        const char* error;
    } cases[] = {
        {{"--bogus"}, "unknown argument: --bogus"},
        {{"stray"}, "unknown argument: stray"},
        {{"--com"}, "--com needs a value"},
        {{"--com", "0"}, "--com wants a port number 1-255: 0"},
        {{"--com", "--fixed"}, "--com wants a port number 1-255: --fixed"},
        {{"--link", ""}, "--link wants a path"},
        {{"--com", "3", "--link", "/tmp/x"}, "--com and --link exclude each other"},
        {{"--voltage", "x"}, "--voltage wants a value from 0 to 655.35: x"},
        {{"--current", "655.36"}, "--current wants a value from 0 to 655.35: 655.36"},
        {{"--high", "nan"}, "--high wants a value from 0 to 655.35: nan"},
        {{"--energy", "4294967296"}, "--energy wants whole Wh from 0 to 4294967295: 4294967296"},
        {{"--address", "248"}, "--address wants 1-247: 248"},
        {{"--range", "-1"}, "--range wants a code 0-65535: -1"},
        {{"--calibrate-ms", "600001"}, "--calibrate-ms wants 0-600000: 600001"},
        {{"--fault", "melt"}, "unknown fault: melt"},
        {{"--fault", "delay=-1"}, "unknown fault: delay=-1"},
        {{"--fault", "silent=1"}, "unknown fault: silent=1"},
        {{"--fixed=1"}, "--fixed takes no value"},
        {{"--no-pacing=yes"}, "--no-pacing takes no value"},
        {{"--meter", "0"}, "--meter wants an address 1-247 first: 0"},
        {{"--meter", "voltage=5"}, "--meter wants an address 1-247 first: voltage=5"},
        {{"--meter", "3,volts=5"}, "--meter 3,volts=5: unknown setting: volts=5"},
        {{"--meter", "3,address=4"}, "--meter 3,address=4: unknown setting: address=4"},
        {{"--meter", "3,voltage=700"},
         "--meter 3,voltage=700: voltage wants a value from 0 to 655.35: 700"},
        {{"--meter", "3,energy=x"},
         "--meter 3,energy=x: energy wants whole Wh from 0 to "
         "4294967295: x"},
        {{"--meter", "3", "--meter", "3,fixed"}, "--meter: two meters at address 3"},
        {{"--meter", "3", "--address", "4"}, "--address and --meter exclude each other"},
    };
    for (const auto& c : cases) {
        const SimArgsResult r = Parse(c.args);
        EXPECT_FALSE(r.ok) << c.args[0];
        EXPECT_EQ(r.error, c.error) << c.args[0];
    }
}
