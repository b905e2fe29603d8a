// The parameter and password dialogs on a real QApplication (offscreen).
#include "CDlgParameterSet.h"
#include "CDlgPassword.h"
#include "CModalDriver.h"
#include "DialogUnits.h"

#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace {

// Runs `action`, answers each message box it opens with OK as soon as it
// is up, and reports what they showed.
std::vector<BoxSeen> AnswerBoxes(const std::function<void()>& action)
{
    std::vector<BoxSeen> seen;
    const auto driver = CModalDriver::AnswerBoxes(&seen);
    action();
    return seen;
}

template <typename D>
QPushButton* Button(const D& dialog, int id)
{
    return qobject_cast<QPushButton*>(dialog.Control(id));
}

template <typename D>
QLineEdit* Edit(const D& dialog, int id)
{
    return qobject_cast<QLineEdit*>(dialog.Control(id));
}

// Shows `dialog` and waits until it has the keyboard.
void ShowActive(QDialog& dialog)
{
    dialog.show();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
}

// Ids of the controls that Tab visits from the focused one, `count` steps.
std::vector<int> TabWalk(int count)
{
    std::vector<int> ids;
    for (int i = 0; i < count; ++i) {
        QWidget* focus = QApplication::focusWidget();
        ids.push_back(focus ? focus->objectName().mid(2).toInt() : -1);
        QTest::keyClick(focus, Qt::Key_Tab);
    }
    return ids;
}

struct Placed {
    int id;
    int x, y, w, h;
};

template <typename D>
void ExpectLayout(const D& dialog, const DialogUnits& du, int w, int h,
                  const std::vector<Placed>& controls)
{
    EXPECT_EQ(dialog.size(), du.Size(w, h));
    EXPECT_EQ(dialog.font(), du.Font());
    for (const Placed& p : controls) {
        SCOPED_TRACE(p.id);
        QWidget* control = dialog.Control(p.id);
        ASSERT_NE(control, nullptr);
        const QRect want = du.Rect(p.x, p.y, p.w, p.h);
        if (qobject_cast<QComboBox*>(control)) {
            // Closed drop-downs keep the top, left and width.
            EXPECT_EQ(control->geometry().topLeft(), want.topLeft());
            EXPECT_EQ(control->width(), want.width());
            EXPECT_LE(control->height(), want.height());
        } else {
            EXPECT_EQ(control->geometry(), want);
        }
    }
}

QString ProgramName()
{
    return QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
}

using P = CDlgParameterSet;

TEST(ParameterDialog, LayoutTextsAndInitialState)
{
    P dialog(Settings{30055, 25000, 17, 2});
    ExpectLayout(dialog, DialogUnits(QStringLiteral("Fixedsys"), 12), 173, 147,
                 {{P::IDC_ADDRESS_LABEL, 33, 13, 65, 8},
                  {P::IDC_ADDRESS, 100, 10, 34, 14},
                  {P::IDC_BAUD_LABEL, 33, 32, 62, 8},
                  {P::IDC_BAUD_LIST, 100, 30, 34, 30},
                  {P::IDC_MAX_VOLTAGE_LABEL, 33, 50, 66, 8},
                  {P::IDC_MAX_VOLTAGE, 100, 48, 34, 14},
                  {P::IDC_MAX_VOLTAGE_UNIT, 139, 51, 8, 8},
                  {P::IDC_MIN_VOLTAGE_LABEL, 33, 70, 67, 8},
                  {P::IDC_MIN_VOLTAGE, 100, 68, 34, 14},
                  {P::IDC_MIN_VOLTAGE_UNIT, 139, 71, 8, 8},
                  {P::IDC_RANGE_LABEL, 33, 90, 67, 8},
                  {P::IDC_RANGE_LIST, 100, 89, 34, 30},
                  {P::IDOK_BUTTON, 33, 117, 43, 14},
                  {P::IDCANCEL_BUTTON, 99, 117, 40, 14}});
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Parameter settings"));
    EXPECT_EQ(qobject_cast<QLabel*>(dialog.Control(P::IDC_RANGE_LABEL))->text(),
              QStringLiteral("Current Range:"));
    EXPECT_EQ(Edit(dialog, P::IDC_ADDRESS)->text(), QStringLiteral("17"));
    EXPECT_EQ(Edit(dialog, P::IDC_MAX_VOLTAGE)->text(), QStringLiteral("300"));
    EXPECT_EQ(Edit(dialog, P::IDC_MIN_VOLTAGE)->text(), QStringLiteral("250"));
    auto* baud = qobject_cast<QComboBox*>(dialog.Control(P::IDC_BAUD_LIST));
    EXPECT_FALSE(baud->isEnabled());
    EXPECT_EQ(baud->count(), 0);
    auto* range = qobject_cast<QComboBox*>(dialog.Control(P::IDC_RANGE_LIST));
    ASSERT_EQ(range->count(), 4);
    EXPECT_EQ(range->itemText(3), QStringLiteral("300A"));
    EXPECT_TRUE(Button(dialog, P::IDOK_BUTTON)->isDefault());

    ShowActive(dialog);
    EXPECT_EQ(TabWalk(7), (std::vector<int>{P::IDOK_BUTTON, P::IDCANCEL_BUTTON, P::IDC_ADDRESS,
                                            P::IDC_MAX_VOLTAGE, P::IDC_MIN_VOLTAGE,
                                            P::IDC_RANGE_LIST, P::IDOK_BUTTON}));
}

TEST(ParameterDialog, EnterAtOnceWritesBackWhatWasRead)
{
    const Settings read{30055, 25099, 17, 3};
    P dialog(read);
    ShowActive(dialog);
    EXPECT_TRUE(AnswerBoxes([&] { QTest::keyClick(&dialog, Qt::Key_Return); }).empty());
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    const Settings out = dialog.SettingsToWrite();
    EXPECT_EQ(out.highVoltage, 30055);
    EXPECT_EQ(out.lowVoltage, 25099);
    EXPECT_EQ(out.address, 17);
    EXPECT_EQ(out.currentRange, 3);
}

TEST(ParameterDialog, RangeListPreselectsAndPicks)
{
    P dialog(Settings{30000, 25000, 1, 2});
    auto* range = qobject_cast<QComboBox*>(dialog.Control(P::IDC_RANGE_LIST));
    EXPECT_TRUE(range->isEnabled());
    EXPECT_EQ(range->currentText(), QStringLiteral("200A"));
    range->setCurrentIndex(range->findText(QStringLiteral("50A")));
    Button(dialog, P::IDOK_BUTTON)->click();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_EQ(dialog.SettingsToWrite().currentRange, 1);
}

TEST(ParameterDialog, UnknownRangeIsShownEmptyAndKept)
{
    P dialog(Settings{30055, 25099, 1, 7});
    auto* range = qobject_cast<QComboBox*>(dialog.Control(P::IDC_RANGE_LIST));
    EXPECT_FALSE(range->isEnabled());
    EXPECT_EQ(range->currentIndex(), -1);
    EXPECT_TRUE(range->currentText().isEmpty());
    Edit(dialog, P::IDC_ADDRESS)->setText(QStringLiteral("5"));
    Edit(dialog, P::IDC_MIN_VOLTAGE)->setText(QStringLiteral(" 120V"));
    Button(dialog, P::IDOK_BUTTON)->click();
    ASSERT_EQ(dialog.result(), QDialog::Accepted);
    const Settings out = dialog.SettingsToWrite();
    EXPECT_EQ(out.currentRange, 7);
    EXPECT_EQ(out.address, 5);
    EXPECT_EQ(out.highVoltage, 30055);  // untouched: hundredths kept
    EXPECT_EQ(out.lowVoltage, 12000);   // changed: whole volts
}

struct Refusal {
    int edit;
    const char* text;
    const char* message;
};

TEST(ParameterDialog, RefusalWarnsThenSelectsTheOffendingEdit)
{
    const Refusal refusals[] = {
        {P::IDC_ADDRESS, "248", "请输入一个在 1 和 247 之间的整数。"},
        {P::IDC_ADDRESS, "", "请输入一个正整数。"},
        {P::IDC_MAX_VOLTAGE, "-1", "请输入一个在 5 和 350 之间的整数。"},
        {P::IDC_MIN_VOLTAGE, "0 V", "请输入一个在 1 和 350 之间的整数。"},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.text);
        P dialog(Settings{30055, 25000, 17, 0});
        ShowActive(dialog);
        QLineEdit* edit = Edit(dialog, r.edit);
        edit->setText(QString::fromUtf8(r.text));

        const auto boxes = AnswerBoxes([&] { Button(dialog, P::IDOK_BUTTON)->click(); });
        ASSERT_EQ(boxes.size(), 1u);
        const BoxSeen& box = boxes[0];
        EXPECT_EQ(box.text, QString::fromUtf8(r.message));
        EXPECT_EQ(box.caption, ProgramName());
        EXPECT_EQ(box.icon, QMessageBox::Warning);
        EXPECT_EQ(box.buttons, QMessageBox::Ok);
        EXPECT_EQ(box.owner, &dialog);

        EXPECT_TRUE(dialog.isVisible());
        EXPECT_NE(dialog.result(), QDialog::Accepted);
        EXPECT_EQ(dialog.focusWidget(), edit);
        EXPECT_EQ(edit->selectedText(), edit->text());
        EXPECT_EQ(edit->text(), QString::fromUtf8(r.text));  // left as typed
        dialog.reject();
    }
}

using W = CDlgPassword;

TEST(PasswordDialog, LayoutFocusAndMaskedEdit)
{
    W dialog;
    ExpectLayout(dialog, DialogUnits(QStringLiteral("Times New Roman"), 12), 138, 74,
                 {{W::IDC_PASSWORD_LABEL, 23, 16, 41, 8},
                  {W::IDC_PASSWORD, 58, 13, 55, 14},
                  {W::IDOK_BUTTON, 81, 46, 36, 14},
                  {W::IDCANCEL_BUTTON, 20, 46, 36, 14}});
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Calibration Password"));
    EXPECT_EQ(Button(dialog, W::IDOK_BUTTON)->text(), QStringLiteral("Ok"));
    EXPECT_TRUE(Button(dialog, W::IDOK_BUTTON)->isDefault());
    QLineEdit* edit = Edit(dialog, W::IDC_PASSWORD);
    EXPECT_EQ(edit->echoMode(), QLineEdit::Password);

    ShowActive(dialog);
    EXPECT_EQ(TabWalk(4), (std::vector<int>{W::IDOK_BUTTON, W::IDCANCEL_BUTTON, W::IDC_PASSWORD,
                                            W::IDOK_BUTTON}));
    edit->setFocus();
    QTest::keyClicks(edit, QStringLiteral("ABCDEFGHIJKLMNOPQRST"));
    EXPECT_EQ(edit->text(), QStringLiteral("ABCDEFGHIJKLMNOP"));
}

// One dialog through the whole sequence: the refusals must leave it usable.
TEST(PasswordDialog, OnlyTheExactPasswordCloses)
{
    W dialog;
    ShowActive(dialog);
    // Empty: no box at all.
    EXPECT_TRUE(AnswerBoxes([&] { QTest::keyClick(&dialog, Qt::Key_Return); }).empty());
    EXPECT_TRUE(dialog.isVisible());

    QLineEdit* edit = Edit(dialog, W::IDC_PASSWORD);
    for (const char* wrong : {"kvra518", "KVRA5180", " KVRA518"}) {
        SCOPED_TRACE(wrong);
        edit->setFocus();
        QTest::keyClicks(edit, QString::fromLatin1(wrong));
        const auto boxes = AnswerBoxes([&] { Button(dialog, W::IDOK_BUTTON)->click(); });
        ASSERT_EQ(boxes.size(), 1u);
        const BoxSeen& box = boxes[0];
        EXPECT_EQ(box.text, QStringLiteral("Password is error!"));
        EXPECT_EQ(box.caption, QStringLiteral("Error"));
        EXPECT_EQ(box.icon, QMessageBox::Critical);
        EXPECT_EQ(box.buttons, QMessageBox::Ok);
        EXPECT_EQ(box.owner, &dialog);
        EXPECT_TRUE(edit->text().isEmpty());
        EXPECT_TRUE(dialog.Password().isEmpty());
        EXPECT_TRUE(dialog.isVisible());
    }

    edit->setFocus();
    QTest::keyClicks(edit, QStringLiteral("KVRA518"));
    EXPECT_TRUE(AnswerBoxes([&] { QTest::keyClick(edit, Qt::Key_Return); }).empty());
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    EXPECT_FALSE(dialog.isVisible());
    EXPECT_EQ(dialog.Password(), QStringLiteral("KVRA518"));
}

}  // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
