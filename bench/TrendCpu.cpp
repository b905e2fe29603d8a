// What the trend window costs while measuring: the main window's readouts
// and a CTrendHistory fed at 2 Hz (an hour already in it, so the 60-minute
// window is full), with the trend closed and open at each window size. CPU
// of this process from /proc/self/stat (user + system) per block of N
// seconds; the four states take turns for R rounds, so a drift in the
// machine's speed falls on all of them alike. Beside it, the trend's own
// CPU: the UI thread's CPU clock (nanoseconds) around Refresh() and around
// every event the trend window and its children handle (painting and
// flushing to the X server included). Run under Xvfb (xvfb-run -a); not a
// test.
//
//   quorvan_trend_cpu [--seconds N] [--rounds R] [--grab FILE.png]
//   quorvan_trend_cpu --repaints N    (one update's parts, N times in a row)
#include "CIanalogdisplayx.h"
#include "CQuorvanMasterApp.h"
#include "CQuorvanMasterDlg.h"
#include "CTrendHistory.h"
#include "CTrendPlot.h"
#include "CTrendWindow.h"
#include "MeterFormat.h"
#include "ReadoutDecode.h"

#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPixmap>
#include <QScreen>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <time.h>
#include <unistd.h>

namespace {

constexpr int kPollMs = 500;

// User + system CPU of this process, seconds.
double CpuSeconds()
{
    std::ifstream in("/proc/self/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Fields after the command name, which ends with the last ')'.
    std::istringstream rest(text.substr(text.rfind(')') + 2));
    std::string field;
    unsigned long utime = 0;
    unsigned long stime = 0;
    for (int i = 3; rest >> field; ++i) {
        if (i == 14)
            utime = std::stoul(field);
        if (i == 15) {
            stime = std::stoul(field);
            break;
        }
    }
    return static_cast<double>(utime + stime) / sysconf(_SC_CLK_TCK);
}

double ThreadCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

// Adds up the UI thread's CPU spent on events for one window and its
// children (outermost dispatch only, so nested paints count once).
class MeteredApp : public QApplication {
public:
    using QApplication::QApplication;

    QWidget* watched = nullptr;
    double seconds = 0.0;

    bool notify(QObject* receiver, QEvent* event) override
    {
        auto* widget = qobject_cast<QWidget*>(receiver);
        if (m_depth > 0 || watched == nullptr || widget == nullptr || widget->window() != watched)
            return QApplication::notify(receiver, event);
        ++m_depth;
        const double t0 = ThreadCpuSeconds();
        const bool done = QApplication::notify(receiver, event);
        seconds += ThreadCpuSeconds() - t0;
        --m_depth;
        return done;
    }

private:
    int m_depth = 0;
};

// A meter drifting around 50 V, with a voltage alarm now and then.
class FakeMeter {
public:
    Measurement Next()
    {
        m_state = m_state * 1103515245u + 12345u;
        const int step = static_cast<int>((m_state >> 16) % 21) - 10;
        m_voltage = std::clamp(m_voltage + step, 4000, 6000);
        m_current = std::clamp(m_current + step / 2, 100, 900);
        ++m_count;
        const bool alarm = m_count % 600 < 20;
        const auto voltage = static_cast<uint16_t>(alarm ? m_voltage + 25000 : m_voltage);
        const auto current = static_cast<uint16_t>(m_current);
        const auto power = static_cast<uint32_t>(voltage) * current / 1000;
        return Measurement{
            voltage, current, power, m_count, static_cast<uint16_t>(alarm ? kAlarmOn : 0), 0};
    }

private:
    uint32_t m_state = 1;
    int m_voltage = 5000;
    int m_current = 450;
    uint32_t m_count = 0;
};

// The event loop, for `ms`.
void RunFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

}  // namespace

int main(int argc, char** argv)
{
    int seconds = 20;
    int rounds = 3;
    int repaints = 0;
    const char* grab = nullptr;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--repaints") == 0)
            repaints = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--seconds") == 0)
            seconds = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--rounds") == 0)
            rounds = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--grab") == 0)
            grab = argv[i + 1];
    }

    MeteredApp app(argc, argv);
    CQuorvanMasterApp::InstallLook();
    CQuorvanMasterDlg panel;
    panel.move(20, 20);
    panel.show();

    FakeMeter meter;
    CTrendHistory history;
    const int64_t unixNow = QDateTime::currentMSecsSinceEpoch();
    const int64_t steadyNow = SteadyMillisNow();
    for (int64_t back = 3600 * 1000; back > 0; back -= kPollMs)
        history.AddReading(meter.Next(), unixNow - back, steadyNow - back);

    CTrendWindow trend(history, &panel);
    app.watched = &trend;
    trend.SetStatusText(QStringLiteral("Not recording"));

    if (repaints > 0) {
        // One update's parts, apart: the history's view, then the three
        // plots painted and flushed (each on its own, so three flushes).
        trend.ShowBesideParent();
        RunFor(1000);
        for (int minutes : {1, 10, 60}) {
            trend.SetWindowMinutes(minutes);
            double refresh = 0.0;
            double paint = 0.0;
            for (int i = 0; i < repaints; ++i) {
                const double t0 = ThreadCpuSeconds();
                trend.Refresh();
                const double t1 = ThreadCpuSeconds();
                for (auto q :
                     {CTrendWindow::kVoltage, CTrendWindow::kCurrent, CTrendWindow::kPower})
                    trend.Plot(q)->repaint();
                refresh += t1 - t0;
                paint += ThreadCpuSeconds() - t1;
            }
            std::printf("%2d minutes: Refresh() %.3f ms, the three plots painted %.3f ms\n",
                        minutes, 1e3 * refresh / repaints, 1e3 * paint / repaints);
        }
        return 0;
    }

    // One poll: readouts as the panel sets them, then the trend.
    auto poll = [&] {
        const Measurement m = meter.Next();
        const ReadoutFrame frame = DecodeForReadouts(m);
        panel.Readout(CQuorvanMasterDlg::IDC_VOLTAGE)->SetValue(frame.voltage);
        panel.Readout(CQuorvanMasterDlg::IDC_VOLTAGE)->SetFontColor(frame.voltageColor);
        panel.Readout(CQuorvanMasterDlg::IDC_CURRENT)->SetValue(frame.current);
        panel.Readout(CQuorvanMasterDlg::IDC_POWER)->SetPrecision(frame.powerPrecision);
        panel.Readout(CQuorvanMasterDlg::IDC_POWER)->SetValue(frame.power);
        panel.Readout(CQuorvanMasterDlg::IDC_ENERGY)->SetValue(frame.energy);
        history.AddReading(m, QDateTime::currentMSecsSinceEpoch(), SteadyMillisNow());
        const double t0 = ThreadCpuSeconds();
        trend.Refresh();
        app.seconds += ThreadCpuSeconds() - t0;
    };
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, poll);
    timer.start(kPollMs);

    struct State {
        const char* name;
        int minutes;  // 0: closed
        double cpu = 0.0;
        double wall = 0.0;
        double own = 0.0;                    // the trend's own
        std::vector<double> ownShares = {};  // per block, % of a core
    };
    State states[] = {{"trend closed", 0},
                      {"trend open, 1 minute", 1},
                      {"trend open, 10 minutes", 10},
                      {"trend open, 60 minutes", 60}};
    std::printf("%-6s %-24s %8s %8s %12s %12s\n", "round", "state", "wall s", "cpu s",
                "% of a core", "trend's own");
    for (int round = 1; round <= rounds; ++round) {
        for (State& state : states) {
            if (state.minutes == 0) {
                trend.hide();
            } else {
                trend.SetWindowMinutes(state.minutes);
                trend.ShowBesideParent();
            }
            // Settle (first paint, layout) before the clock starts.
            RunFor(2000);
            const double cpu0 = CpuSeconds();
            const double own0 = app.seconds;
            QElapsedTimer wall;
            wall.start();
            RunFor(seconds * 1000);
            const double cpu = CpuSeconds() - cpu0;
            const double elapsed = wall.elapsed() / 1000.0;
            state.cpu += cpu;
            state.wall += elapsed;
            state.own += app.seconds - own0;
            state.ownShares.push_back(100.0 * (app.seconds - own0) / elapsed);
            std::printf("%-6d %-24s %8.1f %8.2f %11.3f%% %11.3f%%\n", round, state.name, elapsed,
                        cpu, 100.0 * cpu / elapsed, state.ownShares.back());
            std::fflush(stdout);
            if (grab != nullptr && state.minutes == 60 && round == 1)
                QGuiApplication::primaryScreen()->grabWindow(0).save(QString::fromLocal8Bit(grab));
        }
    }
    const double closed = 100.0 * states[0].cpu / states[0].wall;
    std::printf("\n%-24s %8s %8s %12s %14s %14s %12s\n", "state", "wall s", "cpu s", "% of a core",
                "open - closed", "trend's own", "own median");
    for (const State& state : states) {
        const double share = 100.0 * state.cpu / state.wall;
        std::vector<double> shares = state.ownShares;
        std::sort(shares.begin(), shares.end());
        std::printf("%-24s %8.1f %8.2f %11.3f%% %13.3f%% %13.3f%% %11.3f%%\n", state.name,
                    state.wall, state.cpu, share, share - closed, 100.0 * state.own / state.wall,
                    shares[shares.size() / 2]);
    }
    return 0;
}
