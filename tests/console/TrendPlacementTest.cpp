// Where "Show Trend" puts the trend window on real screens, looked at from
// outside: an X server (Xvfb) at common laptop sizes, with a window manager
// (openbox) and without one, each started by the test on a display number
// the server picks, and the windows' places asked of the X server
// (xwininfo, xprop), not of the program. The trend must stay on the screen
// and never cover the panel, its plots large enough to read.
#include "CChildProcess.h"
#include "TempConfig.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

struct Screen {
    int width;
    int height;
    bool windowManager;
};

void PrintTo(const Screen& s, std::ostream* os)
{
    *os << s.width << "x" << s.height << (s.windowManager ? " with openbox" : "");
}

std::string Name(const testing::TestParamInfo<Screen>& info)
{
    return std::to_string(info.param.width) + "x" + std::to_string(info.param.height) +
           (info.param.windowManager ? "WithOpenbox" : "WithoutWindowManager");
}

// The program's path on PATH, or "" (the test then fails saying which).
std::string OnPath(const std::string& name)
{
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = dir + "/" + name;
        if (!dir.empty() && access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return std::string();
}

// A child that is asked to end (SIGTERM) before the object goes.
struct Process {
    CChildProcess child;
    ~Process()
    {
        if (child.Pid() > 0) {
            child.Signal(SIGTERM);
            child.Finish(5000);
        }
    }
};

struct Rect {
    int x = 0, y = 0, w = 0, h = 0;
    int Right() const { return x + w; }  // one past
    int Bottom() const { return y + h; }
    bool Intersects(const Rect& o) const
    {
        return x < o.Right() && o.x < Right() && y < o.Bottom() && o.y < Bottom();
    }
};

ChildOptions WithEnv(const std::vector<std::string>& env)
{
    ChildOptions options;
    options.env = env;
    return options;
}

std::ostream& operator<<(std::ostream& os, const Rect& r)
{
    return os << r.w << "x" << r.h << "+" << r.x << "+" << r.y;
}

class TrendPlacement : public ::testing::TestWithParam<Screen> {
protected:
    void SetUp() override
    {
        for (const char* tool : {"Xvfb", "openbox", "xprop", "xwininfo"}) {
            m_tools.push_back(OnPath(tool));
            ASSERT_FALSE(m_tools.back().empty()) << tool << " is missing: run scripts/setup";
        }
        const Screen& s = GetParam();
        // The server picks a free display number and writes it on its output;
        // it must not start afresh whenever its last client leaves.
        ASSERT_TRUE(m_server.child.Start(
            m_tools[0], {"-displayfd", "1", "-screen", "0",
                         std::to_string(s.width) + "x" + std::to_string(s.height) + "x24",
                         "-nolisten", "tcp", "-noreset"}));
        const std::string number = m_server.child.NextLine(20000);
        ASSERT_FALSE(number.empty()) << m_server.child.Err();
        m_display = ":" + number.substr(0, number.find('\n'));
        m_env = {"DISPLAY=" + m_display};
        if (s.windowManager) {
            // Its own configuration folder is the test's empty one.
            ASSERT_TRUE(m_wm.child.Start(m_tools[1], {"--sm-disable"}, WithEnv(m_env)));
            // Managing windows from when it has listed those already there.
            const bool ready = Eventually([&] {
                return X({m_tools[2], "-root", "_NET_CLIENT_LIST"})
                           .find("_NET_CLIENT_LIST(WINDOW)") != std::string::npos;
            });
            if (!ready) {
                const ChildResult r = m_wm.child.Finish(1000);
                FAIL() << "openbox not ready: status " << r.status << " signal " << r.signal << "\n"
                       << r.err;
            }
        }
    }

    std::string X(const std::vector<std::string>& command)
    {
        const std::vector<std::string> args(command.begin() + 1, command.end());
        return CChildProcess::Run(command[0], args, WithEnv(m_env), 10000).out;
    }

    template <typename Pred>
    static bool Eventually(Pred done)
    {
        for (int i = 0; i < 400; ++i) {
            if (done())
                return true;
            usleep(25000);
        }
        return false;
    }

    // The window's own area, as the X server has it.
    Rect Client(const std::string& id)
    {
        const std::string info = X({m_tools[3], "-id", id});
        Rect r;
        r.x = Field(info, "Absolute upper-left X:");
        r.y = Field(info, "Absolute upper-left Y:");
        r.w = Field(info, "Width:");
        r.h = Field(info, "Height:");
        return r;
    }

    // Left, right, top, bottom decorations; empty until a window manager set them.
    std::vector<int> Extents(const std::string& id)
    {
        const std::string prop = X({m_tools[2], "-id", id, "_NET_FRAME_EXTENTS"});
        std::smatch m;
        static const std::regex values(R"(= (\d+), (\d+), (\d+), (\d+))");
        if (!std::regex_search(prop, m, values))
            return {};
        return {std::stoi(m[1]), std::stoi(m[2]), std::stoi(m[3]), std::stoi(m[4])};
    }

    // The window with its decorations.
    Rect Frame(const std::string& id)
    {
        Rect r = Client(id);
        if (GetParam().windowManager) {
            const std::vector<int> e = Extents(id);
            EXPECT_EQ(e.size(), 4u) << "no frame on window " << id;
            if (e.size() == 4) {
                r = Rect{r.x - e[0], r.y - e[2], r.w + e[0] + e[1], r.h + e[2] + e[3]};
            }
        }
        return r;
    }

    // Waits, under a window manager, until it has framed the window.
    bool Framed(const std::string& id)
    {
        return !GetParam().windowManager || Eventually([&] { return Extents(id).size() == 4; });
    }

    static int Field(const std::string& text, const std::string& name)
    {
        const size_t at = text.find(name);
        return at == std::string::npos ? -1 : std::atoi(text.c_str() + at + name.size());
    }

    static std::string Value(const std::string& line, const std::string& key)
    {
        return line.rfind(key + " ", 0) == 0 ? line.substr(key.size() + 1) : std::string();
    }

    TempConfig m_config;  // an empty configuration for the window manager
    std::vector<std::string> m_tools;
    Process m_server;
    Process m_wm;
    std::string m_display;
    std::vector<std::string> m_env;
};

TEST_P(TrendPlacement, TheTrendStaysOnTheScreenAndNeverCoversThePanel)
{
    const Screen& screen = GetParam();
    const std::string go = m_config.Dir() + "/go";
    Process probe;
    std::vector<std::string> env = m_env;
    env.push_back("QT_QPA_PLATFORM=xcb");
    // Under AddressSanitizer: libxkbcommon-x11 strndup()s a keymap name that
    // is not NUL-terminated, which strndup allows and the strict string
    // check does not; the rest of the sanitizer's options stay.
    const char* asan = std::getenv("ASAN_OPTIONS");
    env.push_back(std::string("ASAN_OPTIONS=") + (asan != nullptr ? asan : "") +
                  ":strict_string_checks=0");
    ASSERT_TRUE(probe.child.Start(QUORVAN_PLACEMENT_PROBE, {go}, WithEnv(env)));
    std::string line = probe.child.NextLine(30000);
    const std::string panelId = Value(line.substr(0, line.find('\n')), "panel");
    ASSERT_FALSE(panelId.empty()) << line << probe.child.Err();
    ASSERT_TRUE(Framed(panelId)) << m_wm.child.Err();
    std::ofstream(go.c_str()) << "go\n";

    std::vector<std::string> lines;
    for (int i = 0; i < 4; ++i) {
        line = probe.child.NextLine(30000);
        ASSERT_FALSE(line.empty()) << probe.child.Err();
        lines.push_back(line.substr(0, line.find('\n')));
    }
    const std::string trendId = Value(lines[0], "trend");
    ASSERT_FALSE(trendId.empty()) << lines[0];
    ASSERT_TRUE(Framed(trendId)) << m_wm.child.Err();
    std::istringstream controlsText(Value(lines[1], "controls"));
    Rect controls;
    controlsText >> controls.x >> controls.y >> controls.w >> controls.h;
    std::istringstream plotText(Value(lines[2], "plot"));
    int plotWidth = 0, plotHeight = 0;
    plotText >> plotWidth >> plotHeight;

    const Rect panel = Frame(panelId);
    const Rect panelClient = Client(panelId);
    controls.x += panelClient.x;
    controls.y += panelClient.y;
    const Rect trend = Frame(trendId);
    SCOPED_TRACE(testing::Message() << "panel " << panel << ", trend " << trend << ", plots "
                                    << plotWidth << "x" << plotHeight << ", " << lines[3] << "\n"
                                    << probe.child.Err());
    EXPECT_GE(trend.x, 0);
    EXPECT_GE(trend.y, 0);
    EXPECT_LE(trend.Right(), screen.width);
    EXPECT_LE(trend.Bottom(), screen.height);
    EXPECT_FALSE(trend.Intersects(controls)) << "controls " << controls;
    EXPECT_FALSE(trend.Intersects(panel));
    // Each plot still reads: axis labels and a curve of some length.
    EXPECT_GE(plotWidth, 240);
    EXPECT_GE(plotHeight, 120);
}

INSTANTIATE_TEST_SUITE_P(Laptops, TrendPlacement,
                         testing::Values(Screen{1280, 1024, false}, Screen{1280, 1024, true},
                                         Screen{1366, 768, false}, Screen{1366, 768, true}),
                         Name);

}  // namespace
