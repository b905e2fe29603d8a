// Fixture shared by the window tests: a real main window (offscreen) with
// the simulated meter on a pty behind a temporary COM1 alias, short pauses,
// and every message box recorded and answered with OK.
#pragma once

#include "CComSetDlg.h"
#include "CDlgParameterSet.h"
#include "CIanalogdisplayx.h"
#include "CMeterSim.h"
#include "CModalDriver.h"
#include "CQuorvanMasterDlg.h"
#include "TempConfig.h"

#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QStringList>
#include <QTest>

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
        m_boxWatch = CModalDriver::AnswerBoxes(&m_boxes);
    }

    void TearDown() override
    {
        m_boxWatch.reset();
        m_dlg.reset();
    }

    QPushButton* Button(int id) { return qobject_cast<QPushButton*>(m_dlg->Control(id)); }
    CIanalogdisplayx* Readout(int id) { return m_dlg->Readout(id); }

    QStringList BoxTexts() const
    {
        QStringList texts;
        for (const BoxSeen& b : m_boxes)
            texts.push_back(b.text);
        return texts;
    }

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
        const auto driver = CModalDriver::Once<CComSetDlg>(act);
        Button(Dlg::IDC_SET_COM_PORT)->click();
        EXPECT_TRUE(driver->Done());
    }

    void ChoosePort(int port)
    {
        WithPortDialog([port](CComSetDlg* d) {
            qobject_cast<QComboBox*>(d->Control(CComSetDlg::IDC_PORT_LIST))
                ->setCurrentIndex(port - 1);
            qobject_cast<QPushButton*>(d->Control(CComSetDlg::IDOK_BUTTON))->click();
        });
    }

    // The menu the window popped up, or nullptr.
    static QMenu* OpenMenu() { return qobject_cast<QMenu*>(QApplication::activePopupWidget()); }

    static QStringList Entries(QMenu* menu)
    {
        QStringList texts;
        for (QAction* a : menu->actions())
            texts << a->text();
        return texts;
    }

    // A right-click on `widget`, as the desktop delivers it.
    static void RightClick(QWidget* widget)
    {
        const QPoint at = widget->rect().center();
        QContextMenuEvent event(QContextMenuEvent::Mouse, at, widget->mapToGlobal(at));
        QApplication::sendEvent(widget, &event);
    }

    // Picks `entry` from the menu that a right-click on the voltage readout
    // opens; false, the menu closed, when it is missing or disabled.
    bool Choose(const QString& entry)
    {
        RightClick(Readout(Dlg::IDC_VOLTAGE));
        QMenu* menu = OpenMenu();
        if (menu == nullptr)
            return false;
        for (QAction* a : menu->actions()) {
            if (a->text() == entry && a->isEnabled()) {
                menu->close();
                a->trigger();
                return true;
            }
        }
        menu->close();
        return false;
    }

    // "Set Parameters" with `address` typed over the address read, and OK;
    // returns the address the dialog showed.
    QString WriteAddress(int address)
    {
        QString shown;
        const auto driver = CModalDriver::Once<CDlgParameterSet>([&](CDlgParameterSet* p) {
            auto* edit = qobject_cast<QLineEdit*>(p->Control(CDlgParameterSet::IDC_ADDRESS));
            shown = edit->text();
            edit->setText(QString::number(address));
            qobject_cast<QPushButton*>(p->Control(CDlgParameterSet::IDOK_BUTTON))->click();
        });
        Button(Dlg::IDC_SET_PARAMETERS)->click();
        EXPECT_TRUE(WaitIdle());
        EXPECT_TRUE(driver->Done());
        return shown;
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

    // Waits for the first `polls` requests of the measurement started last:
    // its worker may have sent one before the test looks.
    bool WaitPollsSinceStart(unsigned polls, int ms = 5000)
    {
        const unsigned target = m_requestsAtStart + polls;
        return WaitFor([&] { return m_sim.RequestCount() >= target; }, ms);
    }

    void StartMeasuring()
    {
        m_requestsAtStart = m_sim.RequestCount();
        Button(Dlg::IDC_START_MEASURE)->click();
        ASSERT_TRUE(m_dlg->JobRunning());
    }

    TempConfig m_config;  // first: the alias goes to a temporary folder
    CMeterSim m_sim;
    std::unique_ptr<Dlg> m_dlg;
    std::unique_ptr<CModalDriver> m_boxWatch;
    std::vector<BoxSeen> m_boxes;
    unsigned m_requestsAtStart = 0;
};
