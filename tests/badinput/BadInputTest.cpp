// quorvan-cli as a process on bad command lines and bad ports: each is
// refused with a sentence on standard error and exit status 2 (usage) or 3
// (port), never a signal, and never reaches the meter. A live simulated
// meter sits behind COM3 so that a refusal that slipped through would be
// heard.
#include "CChildProcess.h"
#include "CMeterSim.h"
#include "TempConfig.h"

#include <gtest/gtest.h>

#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

// Stands for a plain file the suite makes, in arguments and messages: one
// every user may open read-write, so the refusal is "not a terminal" rather
// than "Permission denied".
const std::string kPlain = "{plain}";

struct BadCase {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::string message;  // a part of standard error
};

std::string CaseName(const ::testing::TestParamInfo<BadCase>& info)
{
    return info.param.name;
}

// The command line in gtest's messages, a long argument cut short.
void PrintTo(const BadCase& c, std::ostream* os)
{
    *os << "quorvan-cli";
    for (const std::string& a : c.args)
        *os << ' '
            << (a.size() <= 40
                    ? a
                    : a.substr(0, 20) + "...(" + std::to_string(a.size()) + " characters)");
}

std::string WithPlain(std::string text, const std::string& plain)
{
    const size_t at = text.find(kPlain);
    return at == std::string::npos ? text : text.replace(at, kPlain.size(), plain);
}

class BadInput : public ::testing::TestWithParam<BadCase> {
protected:
    static void SetUpTestSuite()
    {
        s_config = new TempConfig;
        s_sim = new CMeterSim;
        std::string error;
        ASSERT_TRUE(s_sim->Start(&error)) << error;
        s_sim->SetPacing(false);
        ASSERT_TRUE(s_sim->LinkCom(3, &error)) << error;
        s_plain = s_config->Dir() + "/plain";
        ASSERT_TRUE(std::ofstream(s_plain) << "not a tty\n");
        // COM5 is an alias that points at itself, COM6 one to a plain file.
        const std::string dir = s_config->AliasDir();
        ASSERT_EQ(symlink("COM5", (dir + "/COM5").c_str()), 0);
        ASSERT_EQ(symlink(s_plain.c_str(), (dir + "/COM6").c_str()), 0);
    }
    static void TearDownTestSuite()
    {
        delete s_sim;
        delete s_config;
    }

    static TempConfig* s_config;
    static CMeterSim* s_sim;
    static std::string s_plain;
};

TempConfig* BadInput::s_config = nullptr;
CMeterSim* BadInput::s_sim = nullptr;
std::string BadInput::s_plain;

TEST_P(BadInput, IsRefusedWithAReasonAndNoCrash)
{
    const BadCase& c = GetParam();
    std::vector<std::string> args;
    for (const std::string& a : c.args)
        args.push_back(WithPlain(a, s_plain));
    const unsigned heard = s_sim->RequestCount();
    const ChildResult r = CChildProcess::Run(QUORVAN_CLI_PATH, args, ChildOptions{});
    EXPECT_EQ(r.signal, 0) << r.err;
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(WithPlain(c.message, s_plain)), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(s_sim->RequestCount(), heard);
}

const std::string kLongPath = "/" + std::string(5000, 'a');
const std::string kLongArg(100000, '9');

INSTANTIATE_TEST_SUITE_P(
    Usage, BadInput,
    ::testing::Values(
        BadCase{"Nothing", {}, 2, "no command given"},
        BadCase{"NoCommand", {"--port", "COM3"}, 2, "no command given"},
        BadCase{"UnknownCommand", {"--port", "COM3", "frob"}, 2, "unknown command 'frob'"},
        BadCase{"EmptyCommand", {"--port", "COM3", ""}, 2, "unknown command ''"},
        BadCase{"ExtraArgument", {"--port", "COM3", "read", "extra"}, 2, "unexpected argument"},
        BadCase{"DoubleDash", {"--port", "COM3", "--", "read"}, 2, "unknown option '--'"},
        BadCase{"MissingPort", {"read", "--port"}, 2, "--port needs a value"},
        BadCase{"MissingValue", {"--port", "COM3", "set-params", "--high"}, 2, "needs a value"},
        BadCase{
            "GarbageVolts", {"--port", "COM3", "set-params", "--high", "abc"}, 2, "--high wants"},
        BadCase{"EmptyValue", {"--port", "COM3", "set-params", "--low="}, 2, "--low wants"},
        BadCase{"HexAddress", {"--port", "COM3", "set-params", "--address", "0x10"}, 2, "wants"},
        BadCase{"HugeAddress", {"--port", "COM3", "set-params", "--address", kLongArg}, 2, "wants"},
        BadCase{"NegativeRange", {"--port", "COM3", "set-params", "--range", "-1"}, 2, "wants"},
        // Every value is checked, not only the last one given.
        BadCase{"RepeatedOption",
                {"--port", "COM3", "set-params", "--high", "400", "--high", "300"},
                2,
                "not '400'"}),
    CaseName);

INSTANTIATE_TEST_SUITE_P(
    Ports, BadInput,
    ::testing::Values(
        BadCase{"Com0", {"--port", "COM0", "read"}, 2, "'COM0' is not a port"},
        BadCase{"ComMinus1", {"--port", "COM-1", "read"}, 2, "'COM-1' is not a port"},
        BadCase{"ComHuge", {"--port", "COM99999999999", "read"}, 2, "is not a port"},
        BadCase{"ComManyDigits", {"--port", "COM" + kLongArg, "read"}, 2, "is not a port"},
        BadCase{"PlainFile", {"--port", kPlain, "read"}, 3, kPlain + " is not a terminal"},
        BadCase{"DevNull", {"--port", "/dev/null", "watch"}, 3, "/dev/null is not a terminal"},
        BadCase{"DevNullSetParams",
                {"--port", "/dev/null", "set-params", "--high", "300"},
                3,
                "not a terminal"},
        BadCase{"Directory", {"--port", "/etc", "params"}, 3, "Is a directory"},
        BadCase{"Missing", {"--port", "/no/such/tty", "reset-energy"}, 3, "No such file"},
        BadCase{"PathTooLong", {"--port", kLongPath, "read"}, 3, "File name too long"},
        BadCase{"AliasLoop", {"--port", "COM5", "read"}, 3, "Too many levels of symbolic links"},
        BadCase{"AliasToPlainFile", {"--port", "COM6", "read"}, 3, kPlain + " is not a terminal"}),
    CaseName);

}  // namespace
