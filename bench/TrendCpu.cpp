// What the trend window costs while measuring: the main window's readouts
// and a CTrendHistory fed at 2 Hz (an hour already in it, so the 60-minute
// window is full), first with the trend closed, then open at each window
// size. CPU of this process from /proc/self/stat (user + system) per phase.
// Run under Xvfb (xvfb-run -a); not a test.
//
//   quorvan_trend_cpu [--seconds N] [--grab FILE.png]
#include "CIanalogdisplayx.h"
#include "CQuorvanMasterApp.h"
#include "CQuorvanMasterDlg.h"
#include "CTrendHistory.h"
#include "CTrendWindow.h"
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
#include <functional>
#include <iterator>
#include <sstream>
#include <string>

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

int64_t SteadyMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

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

MeterReading Block(const Measurement& m)
{
    MeterReading r{};
    PutRegisterWord(r.bytes, kRegVoltage, m.voltage);
    PutRegisterWord(r.bytes, kRegCurrent, m.current);
    PutRegisterWord(r.bytes, kRegPowerLow, static_cast<uint16_t>(m.power & 0xFFFF));
    PutRegisterWord(r.bytes, kRegPowerLow + 1, static_cast<uint16_t>(m.power >> 16));
    PutRegisterWord(r.bytes, kRegEnergyLow, static_cast<uint16_t>(m.energy & 0xFFFF));
    PutRegisterWord(r.bytes, kRegEnergyLow + 1, static_cast<uint16_t>(m.energy >> 16));
    PutRegisterWord(r.bytes, kRegAlarm1, m.alarm1);
    return r;
}

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
    int seconds = 60;
    const char* grab = nullptr;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::strcmp(argv[i], "--seconds") == 0)
            seconds = std::atoi(argv[i + 1]);
        else if (std::strcmp(argv[i], "--grab") == 0)
            grab = argv[i + 1];
    }

    QApplication app(argc, argv);
    CQuorvanMasterApp::InstallLook();
    CQuorvanMasterDlg panel;
    panel.move(20, 20);
    panel.show();

    FakeMeter meter;
    CTrendHistory history;
    const int64_t unixNow = QDateTime::currentMSecsSinceEpoch();
    const int64_t steadyNow = SteadyMs();
    for (int64_t back = 3600 * 1000; back > 0; back -= kPollMs)
        history.AddReading(meter.Next(), unixNow - back, steadyNow - back);

    CTrendWindow trend(history, &panel);
    trend.SetStatusText(QStringLiteral("Not recording"));

    // One poll: readouts as the panel sets them, then the trend.
    auto poll = [&] {
        const Measurement m = meter.Next();
        const ReadoutFrame frame = DecodeForReadouts(Block(m));
        panel.Readout(CQuorvanMasterDlg::IDC_VOLTAGE)->SetValue(frame.voltage);
        panel.Readout(CQuorvanMasterDlg::IDC_VOLTAGE)->SetFontColor(frame.voltageColor);
        panel.Readout(CQuorvanMasterDlg::IDC_CURRENT)->SetValue(frame.current);
        panel.Readout(CQuorvanMasterDlg::IDC_POWER)->SetPrecision(frame.powerPrecision);
        panel.Readout(CQuorvanMasterDlg::IDC_POWER)->SetValue(frame.power);
        panel.Readout(CQuorvanMasterDlg::IDC_ENERGY)->SetValue(frame.energy);
        history.AddReading(m, QDateTime::currentMSecsSinceEpoch(), SteadyMs());
        trend.Refresh();
    };
    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, poll);
    timer.start(kPollMs);

    struct Phase {
        const char* name;
        std::function<void()> setUp;
    };
    const Phase phases[] = {
        {"trend closed", [&] { trend.hide(); }},
        {"trend open, 1 minute",
         [&] {
             trend.SetWindowMinutes(1);
             trend.ShowBesideParent();
         }},
        {"trend open, 10 minutes", [&] { trend.SetWindowMinutes(10); }},
        {"trend open, 60 minutes", [&] { trend.SetWindowMinutes(60); }},
        {"trend closed again", [&] { trend.hide(); }},
    };
    std::printf("%-24s %10s %10s %12s\n", "phase", "wall s", "cpu s", "% of a core");
    for (const Phase& phase : phases) {
        phase.setUp();
        // Settle (first paint, layout) before the clock starts.
        RunFor(2000);
        const double cpu0 = CpuSeconds();
        QElapsedTimer wall;
        wall.start();
        RunFor(seconds * 1000);
        const double cpu = CpuSeconds() - cpu0;
        const double elapsed = wall.elapsed() / 1000.0;
        std::printf("%-24s %10.1f %10.2f %11.3f%%\n", phase.name, elapsed, cpu,
                    100.0 * cpu / elapsed);
        std::fflush(stdout);
        if (grab != nullptr && std::strstr(phase.name, "60 minutes") != nullptr)
            QGuiApplication::primaryScreen()->grabWindow(0).save(QString::fromLocal8Bit(grab));
    }
    return 0;
}
