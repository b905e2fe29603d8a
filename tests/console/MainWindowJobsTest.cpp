// The one-shot jobs behind "Set Parameters", "Clear Energy" and "Calibrate",
// in the real window against the simulated meter.
#include "CDlgParameterSet.h"
#include "CDlgPassword.h"
#include "CQuorvanMasterApp.h"
#include "DialogControls.h"
#include "MainWindowFixture.h"

#include <QLineEdit>

#include <algorithm>
#include <memory>
#include <utility>

namespace {

using Param = CDlgParameterSet;
using std::chrono::milliseconds;

const char kRangeAddress[] = "请输入一个在 1 和 247 之间的整数。";
const char kRangeMax[] = "请输入一个在 5 和 350 之间的整数。";
const char kRangeMin[] = "请输入一个在 1 和 350 之间的整数。";
const char kNotANumber[] = "请输入一个正整数。";

class Jobs : public MainWindow {
protected:
    void SetUp() override
    {
        MainWindow::SetUp();
        if (HasFatalFailure())
            return;
        m_dlg->SetTiming(JobTiming{50, 100, 200});
        SimMeterState state = m_sim.State();
        state.highVoltage = 30055;  // hundredths the dialog cannot show
        state.lowVoltage = 25000;
        state.address = 1;
        state.currentRange = 2;
        m_sim.SetState(state);
        ChoosePort(1);
    }

    void TearDown() override
    {
        m_modal.reset();
        MainWindow::TearDown();
    }

    // Runs `act` on the first modal T, from inside that widget's exec().
    template <typename T>
    void OnModal(std::function<void(T*)> act)
    {
        m_modal = CModalDriver::Once<T>(std::move(act));
    }
    bool ModalPending() const { return m_modal != nullptr && !m_modal->Done(); }

    void Press(int id) { Button(id)->click(); }

    // The settings carried by the last request, which must be a write.
    Settings Written()
    {
        const std::vector<uint8_t> r = m_sim.LastRequest();
        MeterParameters p{};
        EXPECT_EQ(r.size(), 17u);
        if (r.size() == 17) {
            EXPECT_EQ(r[1], CModBusRtu::kFuncWriteMultiple);
            std::copy(r.begin() + 7, r.begin() + 15, p.bytes);
        }
        return DecodeParameters(p);
    }

    // A finished job: buttons back, port closed.
    void ExpectIdle()
    {
        EXPECT_FALSE(m_dlg->JobRunning());
        EXPECT_EQ(EnabledButtons().size(), 6u);
        EXPECT_FALSE(m_dlg->Meter().Serial().IsOpen());
    }

    // The one outcome box: text, a serial detail or none, the window's style.
    void ExpectOutcome(const char* text, bool detail)
    {
        ASSERT_EQ(m_boxes.size(), 1u);
        const BoxSeen& box = m_boxes[0];
        EXPECT_EQ(box.text, QString::fromLatin1(text));
        EXPECT_EQ(box.caption, CQuorvanMasterApp::ProgramName());
        EXPECT_EQ(box.icon, QMessageBox::NoIcon);
        EXPECT_EQ(box.buttons, QMessageBox::Ok);
        EXPECT_EQ(box.owner, m_dlg.get());
        if (detail)
            EXPECT_TRUE(box.detail.startsWith(QStringLiteral("COM1 (/dev/pts/")))
                << box.detail.toStdString();
        else
            EXPECT_TRUE(box.detail.isEmpty()) << box.detail.toStdString();
    }

    static QLineEdit* Edit(Param* d, int id) { return qobject_cast<QLineEdit*>(d->Control(id)); }
    static QComboBox* List(Param* d)
    {
        return qobject_cast<QComboBox*>(d->Control(Param::IDC_RANGE_LIST));
    }
    static void Click(QDialog* d, int id)
    {
        qobject_cast<QPushButton*>(FindControl(d, id))->click();
    }

    void Calibrate(const char* password)
    {
        OnModal<CDlgPassword>([password](CDlgPassword* d) {
            qobject_cast<QLineEdit*>(d->Control(CDlgPassword::IDC_PASSWORD))
                ->setText(QString::fromLatin1(password));
            Click(d, CDlgPassword::IDOK_BUTTON);
        });
        Press(Dlg::IDC_CALIBRATE);
    }

    std::unique_ptr<CModalDriver> m_modal;
};

TEST_F(Jobs, OkWithoutChangesWritesBackExactlyWhatWasRead)
{
    const MeterParameters before = m_sim.Parameters();
    OnModal<Param>([this](Param* d) {
        // The worker waits with the port open and the buttons off.
        EXPECT_TRUE(m_dlg->Meter().Serial().IsOpen());
        EXPECT_TRUE(EnabledButtons().empty());
        EXPECT_EQ(d->parentWidget(), m_dlg.get());
        EXPECT_EQ(Edit(d, Param::IDC_ADDRESS)->text(), QStringLiteral("1"));
        EXPECT_EQ(Edit(d, Param::IDC_MAX_VOLTAGE)->text(), QStringLiteral("300"));
        EXPECT_EQ(Edit(d, Param::IDC_MIN_VOLTAGE)->text(), QStringLiteral("250"));
        EXPECT_TRUE(List(d)->isEnabled());
        EXPECT_EQ(List(d)->currentText(), QStringLiteral("200A"));
        EXPECT_EQ(m_sim.RequestCount(), 1u);  // the read
        Click(d, Param::IDOK_BUTTON);
    });
    Press(Dlg::IDC_SET_PARAMETERS);
    ASSERT_TRUE(WaitIdle());

    EXPECT_FALSE(ModalPending());
    EXPECT_EQ(m_sim.RequestCount(), 2u);
    const Settings out = Written();
    EXPECT_EQ(out.highVoltage, 30055);  // hundredths kept
    EXPECT_EQ(out.lowVoltage, 25000);
    EXPECT_EQ(out.address, 1);
    EXPECT_EQ(out.currentRange, 2);
    EXPECT_TRUE(std::equal(before.bytes, before.bytes + 8, m_sim.Parameters().bytes));
    ExpectOutcome("Set the parameters successfully!", false);
    ExpectIdle();
}

// Refusals keep the dialog open; what is finally accepted reaches the meter.
TEST_F(Jobs, RefusedEntriesThenEditedValuesReachTheMeter)
{
    OnModal<Param>([](Param* d) {
        QLineEdit* address = Edit(d, Param::IDC_ADDRESS);
        QLineEdit* max = Edit(d, Param::IDC_MAX_VOLTAGE);
        QLineEdit* min = Edit(d, Param::IDC_MIN_VOLTAGE);
        auto ok = [d] { Click(d, Param::IDOK_BUTTON); };
        address->setText(QStringLiteral("0"));
        ok();
        address->setText(QStringLiteral("248"));
        ok();
        address->setText(QStringLiteral(" 12abc"));  // reads as 12
        max->setText(QStringLiteral("4"));
        ok();
        max->setText(QStringLiteral("-1"));
        ok();
        EXPECT_EQ(d->focusWidget(), max);
        EXPECT_EQ(max->selectedText(), QStringLiteral("-1"));
        max->setText(QString());
        ok();
        max->setText(QStringLiteral("320"));
        min->setText(QStringLiteral("0"));
        ok();
        EXPECT_TRUE(d->isVisible());
        min->setText(QStringLiteral("20"));
        List(d)->setCurrentIndex(1);  // "50A"
        ok();
    });
    Press(Dlg::IDC_SET_PARAMETERS);
    ASSERT_TRUE(WaitIdle());

    const Settings out = Written();
    EXPECT_EQ(out.address, 12);
    EXPECT_EQ(out.highVoltage, 32000);  // changed: whole volts
    EXPECT_EQ(out.lowVoltage, 2000);
    EXPECT_EQ(out.currentRange, 1);
    EXPECT_EQ(DecodeParameters(m_sim.Parameters()).address, 12);

    auto u = [](const char* s) { return QString::fromUtf8(s); };
    EXPECT_EQ(BoxTexts(),
              (QStringList{u(kRangeAddress), u(kRangeAddress), u(kRangeMax), u(kRangeMax),
                           u(kNotANumber), u(kRangeMin), u("Set the parameters successfully!")}));
    EXPECT_EQ(m_boxes[0].icon, QMessageBox::Warning);
    EXPECT_NE(m_boxes[0].owner, m_dlg.get());  // the parameter dialog's
    ExpectIdle();
}

// A code the list cannot show is written back as read; this meter then
// refuses the write, which the operator is told with the reason.
TEST_F(Jobs, UnknownRangeIsWrittenBackAndAFailedWriteIsReported)
{
    SimMeterState state = m_sim.State();
    state.currentRange = 7;
    m_sim.SetState(state);
    OnModal<Param>([](Param* d) {
        EXPECT_FALSE(List(d)->isEnabled());
        EXPECT_EQ(List(d)->currentIndex(), -1);
        EXPECT_TRUE(List(d)->currentText().isEmpty());
        Edit(d, Param::IDC_ADDRESS)->setText(QStringLiteral("9"));
        Click(d, Param::IDOK_BUTTON);
    });
    Press(Dlg::IDC_SET_PARAMETERS);
    ASSERT_TRUE(WaitIdle());

    EXPECT_EQ(Written().currentRange, 7);
    EXPECT_EQ(Written().address, 9);
    EXPECT_EQ(DecodeParameters(m_sim.Parameters()).address, 1);  // refused: nothing written
    ExpectOutcome("Failed to set the parameters!", true);
    EXPECT_NE(m_boxes[0].detail.indexOf(QStringLiteral("exception code 3")), -1)
        << m_boxes[0].detail.toStdString();
    ExpectIdle();
}

TEST_F(Jobs, CancelSendsNothing)
{
    OnModal<Param>([](Param* d) {
        Edit(d, Param::IDC_ADDRESS)->setText(QStringLiteral("5"));
        Click(d, Param::IDCANCEL_BUTTON);
    });
    Press(Dlg::IDC_SET_PARAMETERS);
    ASSERT_TRUE(WaitIdle());
    EXPECT_EQ(m_sim.RequestCount(), 1u);  // only the read
    EXPECT_EQ(DecodeParameters(m_sim.Parameters()).address, 1);
    EXPECT_TRUE(m_boxes.empty());
    ExpectIdle();
}

TEST_F(Jobs, ReadFailureShowsNoDialog)
{
    SimFaults faults;
    faults.exceptionCode = 2;
    m_sim.SetFaults(faults);
    OnModal<Param>([](Param* d) { d->reject(); });
    Press(Dlg::IDC_SET_PARAMETERS);
    ASSERT_TRUE(WaitIdle());
    EXPECT_TRUE(ModalPending());  // never shown
    EXPECT_EQ(m_sim.RequestCount(), 1u);
    ExpectOutcome("Failed to read parameters!", true);
    EXPECT_NE(m_boxes[0].detail.indexOf(QStringLiteral("exception code 2")), -1);
    ExpectIdle();
}

TEST_F(Jobs, PortThatCannotBeOpenedEndsEachJob)
{
    ChoosePort(8);  // no such device
    const auto start = Clock::now();
    for (int id : {Dlg::IDC_SET_PARAMETERS, Dlg::IDC_CLEAR_ENERGY, Dlg::IDC_CALIBRATE}) {
        m_boxes.clear();
        if (id == Dlg::IDC_CALIBRATE)
            Calibrate("KVRA518");
        else
            Press(id);
        ASSERT_TRUE(WaitIdle()) << id;
        ASSERT_EQ(m_boxes.size(), 1u) << id;
        EXPECT_EQ(m_boxes[0].text, QStringLiteral("Failed to open COM-Port!"));
        EXPECT_TRUE(m_boxes[0].detail.startsWith(QStringLiteral("COM8 (/dev/ttyACM3): ")));
        ExpectIdle();
    }
    EXPECT_LT(Clock::now() - start, milliseconds(2000));
    EXPECT_EQ(m_sim.RequestCount(), 0u);
}

// After a kWh reading the readout keeps its two decimals: "0.00 Wh", set
// only once the box is gone.
TEST_F(Jobs, ClearEnergyResetsTheReadoutAfterTheBox)
{
    Press(Dlg::IDC_START_MEASURE);
    CIanalogdisplayx* energy = Readout(Dlg::IDC_ENERGY);
    ASSERT_TRUE(WaitFor([&] { return energy->Value() != 0.0; }));
    Press(Dlg::IDC_START_MEASURE);
    ASSERT_TRUE(WaitIdle());
    ASSERT_EQ(energy->ShownText(), QStringLiteral("1234.57 kWh"));

    m_boxWatch.reset();
    QString shownUnderBox;
    OnModal<QMessageBox>([&](QMessageBox* box) {
        shownUnderBox = energy->ShownText();
        EXPECT_EQ(box->text(), QStringLiteral("Clear the energy successfully!"));
        EXPECT_TRUE(m_dlg->Meter().Serial().IsOpen());  // closed only after the box
        box->button(QMessageBox::Ok)->click();
    });
    Press(Dlg::IDC_CLEAR_ENERGY);
    ASSERT_TRUE(WaitIdle());

    EXPECT_EQ(shownUnderBox, QStringLiteral("1234.57 kWh"));
    EXPECT_EQ(energy->ShownText(), QStringLiteral("0.00 Wh"));
    EXPECT_EQ(energy->Precision(), 2);
    EXPECT_EQ(m_sim.State().energy, 0u);
    EXPECT_EQ(m_sim.LastRequest().at(1), CModBusRtu::kFuncResetEnergy);
    ExpectIdle();
}

TEST_F(Jobs, FailedClearEnergyLeavesTheReadout)
{
    Readout(Dlg::IDC_ENERGY)->SetPrecision(2);
    Readout(Dlg::IDC_ENERGY)->SetUnitsText(QStringLiteral("kWh"));
    Readout(Dlg::IDC_ENERGY)->SetValue(12.34);
    SimFaults faults;
    faults.exceptionCode = 4;
    m_sim.SetFaults(faults);
    Press(Dlg::IDC_CLEAR_ENERGY);
    ASSERT_TRUE(WaitIdle());
    ExpectOutcome("Failed to clear the energy!", true);
    EXPECT_EQ(Readout(Dlg::IDC_ENERGY)->ShownText(), QStringLiteral("12.34 kWh"));
    EXPECT_EQ(m_sim.State().energy, 1234567u);
    ExpectIdle();
}

// Refused passwords start nothing: no worker, nothing on the line.
TEST_F(Jobs, WrongPasswordsStartNoJob)
{
    bool sawEmpty = false;
    OnModal<CDlgPassword>([&](CDlgPassword* d) {
        auto* edit = qobject_cast<QLineEdit*>(d->Control(CDlgPassword::IDC_PASSWORD));
        Click(d, CDlgPassword::IDOK_BUTTON);  // empty: stays open, no box
        sawEmpty = d->isVisible() && m_boxes.empty();
        for (const char* wrong : {"kvra518", "KVRA5188"}) {
            edit->setText(QString::fromLatin1(wrong));
            Click(d, CDlgPassword::IDOK_BUTTON);
            EXPECT_TRUE(edit->text().isEmpty());
        }
        EXPECT_FALSE(m_dlg->JobRunning());
        Click(d, CDlgPassword::IDCANCEL_BUTTON);
    });
    Press(Dlg::IDC_CALIBRATE);
    EXPECT_FALSE(ModalPending());
    EXPECT_TRUE(sawEmpty);
    EXPECT_FALSE(m_dlg->JobRunning());
    EXPECT_EQ(BoxTexts(), (QStringList{QStringLiteral("Password is error!"),
                                       QStringLiteral("Password is error!")}));
    EXPECT_EQ(m_boxes[0].caption, QStringLiteral("Error"));
    EXPECT_EQ(m_boxes[0].icon, QMessageBox::Critical);
    QTest::qWait(100);
    EXPECT_EQ(m_sim.RequestCount(), 0u);
    EXPECT_EQ(EnabledButtons().size(), 6u);
}

TEST_F(Jobs, CalibrateSucceedsAfterThePause)
{
    Calibrate("KVRA518");
    ASSERT_TRUE(m_dlg->JobRunning());
    EXPECT_TRUE(EnabledButtons().empty());
    ASSERT_TRUE(WaitFor([this] { return m_sim.RequestCount() == 1; }));
    const auto sent = Clock::now();
    ASSERT_TRUE(WaitIdle());

    const std::vector<uint8_t> request = m_sim.LastRequest();
    ASSERT_EQ(request.size(), 6u);
    EXPECT_EQ(request[1], CModBusRtu::kFuncCalibrate);
    ExpectOutcome("The calibration is successful!", false);
    EXPECT_GE(m_boxes[0].at - sent, milliseconds(200));  // JobTiming's pause
    ExpectIdle();
}

// The product's pause: at least 3 s from sending to the outcome, failure
// or not.
TEST_F(Jobs, CalibrationFailureAfterTheRealPause)
{
    m_dlg->SetTiming(JobTiming{});
    SimFaults faults;
    faults.exceptionCode = 4;
    m_sim.SetFaults(faults);
    Calibrate("KVRA518");
    ASSERT_TRUE(WaitFor([this] { return m_sim.RequestCount() == 1; }));
    const auto sent = Clock::now();
    ASSERT_TRUE(WaitIdle(8000));

    ExpectOutcome("The calibration failed!", true);
    EXPECT_GE(m_boxes[0].at - sent, milliseconds(3000));
    EXPECT_LT(m_boxes[0].at - sent, milliseconds(4500));
    ExpectIdle();
}

// --- Closing the window during a job: the job ends first, no box follows.

TEST_F(Jobs, ClosingWhileTheParameterDialogIsOpenWritesNothing)
{
    OnModal<Param>([this](Param* d) {
        Edit(d, Param::IDC_ADDRESS)->setText(QStringLiteral("5"));
        m_dlg->close();
    });
    Press(Dlg::IDC_SET_PARAMETERS);
    ASSERT_TRUE(WaitFor([this] { return !m_dlg->isVisible(); }));
    EXPECT_FALSE(m_dlg->JobRunning());
    EXPECT_EQ(m_sim.RequestCount(), 1u);
    EXPECT_TRUE(m_boxes.empty());
    EXPECT_FALSE(m_dlg->Meter().Serial().IsOpen());
}

TEST_F(Jobs, DestroyingTheWindowUnderTheParameterDialog)
{
    QPointer<Param> dialog;
    OnModal<Param>([&](Param* d) {
        dialog = d;
        m_dlg.reset();  // from inside the dialog's exec()
    });
    Press(Dlg::IDC_SET_PARAMETERS);
    ASSERT_TRUE(WaitFor([&] { return !ModalPending() && dialog.isNull(); }));
    QTest::qWait(100);
    EXPECT_EQ(m_sim.RequestCount(), 1u);
}

// The window destroyed from inside the outcome box, and from inside a
// refusal box over the parameter dialog: nothing of it is touched after.
TEST_F(Jobs, DestroyingTheWindowUnderABox)
{
    m_boxWatch.reset();
    QPointer<QMessageBox> box;
    OnModal<QMessageBox>([&](QMessageBox* b) {
        box = b;
        m_dlg.reset();
    });
    Press(Dlg::IDC_CLEAR_ENERGY);
    ASSERT_TRUE(WaitFor([&] { return !ModalPending() && box.isNull(); }));
    QTest::qWait(100);
    EXPECT_EQ(m_sim.RequestCount(), 1u);

    m_dlg = std::make_unique<Dlg>();
    m_dlg->show();
    ChoosePort(1);
    std::unique_ptr<CModalDriver> refusal;
    OnModal<Param>([&](Param* d) {
        Edit(d, Param::IDC_ADDRESS)->setText(QStringLiteral("0"));
        refusal = CModalDriver::Once<QMessageBox>([&](QMessageBox* b) {
            box = b;
            m_dlg.reset();
        });
        qobject_cast<QPushButton*>(d->Control(Param::IDOK_BUTTON))->click();
    });
    Press(Dlg::IDC_SET_PARAMETERS);
    ASSERT_TRUE(WaitFor([&] { return !ModalPending() && box.isNull() && !m_dlg; }));
    QTest::qWait(100);
    EXPECT_EQ(m_sim.RequestCount(), 2u);  // the second job's read, no write
}

TEST_F(Jobs, ClosingUnderAnOutcomeBoxEndsIt)
{
    m_boxWatch.reset();
    OnModal<QMessageBox>([this](QMessageBox*) { m_dlg->close(); });
    Press(Dlg::IDC_CLEAR_ENERGY);
    ASSERT_TRUE(WaitFor([this] { return !m_dlg->isVisible(); }));
    EXPECT_FALSE(m_dlg->JobRunning());
    EXPECT_EQ(m_sim.State().energy, 0u);
    EXPECT_FALSE(m_dlg->Meter().Serial().IsOpen());
}

TEST_F(Jobs, ClosingDuringAClearWaitsForTheAnswer)
{
    SimFaults faults;
    faults.delayMs = 300;
    m_sim.SetFaults(faults);
    Press(Dlg::IDC_CLEAR_ENERGY);
    ASSERT_TRUE(WaitFor([this] { return m_sim.RequestCount() == 1; }));
    m_dlg->close();
    EXPECT_TRUE(m_dlg->isVisible());
    ASSERT_TRUE(WaitFor([this] { return !m_dlg->isVisible(); }));
    EXPECT_EQ(m_sim.AnswerCount(), 1u);
    EXPECT_TRUE(m_boxes.empty());
    EXPECT_FALSE(m_dlg->Meter().Serial().IsOpen());
}

// The calibrate pause sits inside the exchange and is not cut short: the
// window closes once it and the answer are over.
TEST_F(Jobs, ClosingDuringTheCalibratePause)
{
    m_dlg->SetTiming(JobTiming{50, 100, 1000});
    Calibrate("KVRA518");
    ASSERT_TRUE(WaitFor([this] { return m_sim.RequestCount() == 1; }));
    const auto sent = Clock::now();
    m_dlg->close();
    EXPECT_TRUE(m_dlg->isVisible());
    ASSERT_TRUE(WaitFor([this] { return !m_dlg->isVisible(); }));
    EXPECT_GE(Clock::now() - sent, milliseconds(900));
    EXPECT_LT(Clock::now() - sent, milliseconds(2000));
    EXPECT_TRUE(m_boxes.empty());
    EXPECT_FALSE(m_dlg->Meter().Serial().IsOpen());
}

}  // namespace
