// Fixture shared by the window tests: a real main window (offscreen) with
// the simulated meter on a pty behind a temporary COM1 alias, short pauses,
// and every message box recorded and answered with OK.
#pragma once

#include "CComSetDlg.h"
#include "CIanalogdisplayx.h"
#include "CMeterSim.h"
#include "CQuorvanMasterDlg.h"
#include "TempConfig.h"

#include <QApplication>
#include <QComboBox>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <ostream>
#include <vector>

using Dlg = CQuorvanMasterDlg;
using Clock = std::chrono::steady_clock;
using Ids = std::vector<int>;

inline constexpr int kCommandButtons[] = {Dlg::IDC_SET_COM_PORT, Dlg::IDC_START_MEASURE,
                                          Dlg::IDC_CLEAR_ENERGY, Dlg::IDC_SET_PARAMETERS,
                                          Dlg::IDC_CALIBRATE,    Dlg::IDC_CANCEL};

// Readable QStrings in failure messages.
inline void PrintTo(const QString& text, std::ostream* os)
{
    *os << '"' << text.toStdString() << '"';
}

struct BoxSeen {
    QString text;
    QString detail;
    QString caption;
    QMessageBox::Icon icon;
    QMessageBox::StandardButtons buttons;
    QWidget* owner;
    Clock::time_point at;  // when it was seen up
};

class MainWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(m_sim.Start(&error)) << error;
        ASSERT_TRUE(m_sim.LinkCom(1, &error)) << error;
        SimMeterState state;
        state.voltage = 5123;
        state.current = 1234;
        state.energy = 1234567;
        state.fixed = true;
        m_sim.SetState(state);

        m_dlg = std::make_unique<Dlg>();
        m_dlg->SetTiming(JobTiming{50, 100});
        m_dlg->show();

        // Every box the window shows is recorded and answered with OK.
        m_boxWatch.setInterval(5);
        QObject::connect(&m_boxWatch, &QTimer::timeout, [this] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr || !box->isVisible())
                return;
            m_boxes.push_back({box->text(), box->detailedText(), box->windowTitle(), box->icon(),
                               box->standardButtons(), box->parentWidget(), Clock::now()});
            box->button(QMessageBox::Ok)->click();
        });
        m_boxWatch.start();
    }

    void TearDown() override
    {
        m_boxWatch.stop();
        m_dlg.reset();
    }

    QPushButton* Button(int id) { return qobject_cast<QPushButton*>(m_dlg->Control(id)); }
    CIanalogdisplayx* Readout(int id) { return m_dlg->Readout(id); }

    std::vector<int> EnabledButtons()
    {
        std::vector<int> ids;
        for (int id : kCommandButtons)
            if (Button(id)->isEnabled())
                ids.push_back(id);
        return ids;
    }

    // Presses "Set COM Port" and lets `act` work on the port dialog while it
    // is up; `act` must close it.
    void WithPortDialog(const std::function<void(CComSetDlg*)>& act)
    {
        bool seen = false;
        QTimer poll;
        poll.setInterval(5);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto* d = qobject_cast<CComSetDlg*>(QApplication::activeModalWidget());
            if (d == nullptr || !d->isVisible())
                return;
            poll.stop();
            seen = true;
            act(d);
        });
        poll.start();
        Button(Dlg::IDC_SET_COM_PORT)->click();
        EXPECT_TRUE(seen);
    }

    void ChoosePort(int port)
    {
        WithPortDialog([port](CComSetDlg* d) {
            qobject_cast<QComboBox*>(d->Control(CComSetDlg::IDC_PORT_LIST))
                ->setCurrentIndex(port - 1);
            qobject_cast<QPushButton*>(d->Control(CComSetDlg::IDOK_BUTTON))->click();
        });
    }

    bool WaitFor(const std::function<bool()>& condition, int ms = 5000)
    {
        return QTest::qWaitFor(condition, ms);
    }

    bool WaitIdle(int ms = 5000)
    {
        return WaitFor([this] { return !m_dlg->JobRunning(); }, ms);
    }

    // Waits until the meter has answered `polls` more requests.
    bool WaitPolls(unsigned polls, int ms = 5000)
    {
        const unsigned target = m_sim.RequestCount() + polls;
        return WaitFor([&] { return m_sim.RequestCount() >= target; }, ms);
    }

    void StartMeasuring()
    {
        Button(Dlg::IDC_START_MEASURE)->click();
        ASSERT_TRUE(m_dlg->JobRunning());
    }

    TempConfig m_config;  // first: the alias goes to a temporary folder
    CMeterSim m_sim;
    std::unique_ptr<Dlg> m_dlg;
    QTimer m_boxWatch;
    std::vector<BoxSeen> m_boxes;
};
