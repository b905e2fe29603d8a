// The readouts on a real QApplication (offscreen): focus shown without
// touching the digits, and the number readable as an accessible value.
#include "CIanalogdisplayx.h"
#include "CQuorvanMasterApp.h"
#include "CQuorvanMasterDlg.h"
#include "MessageBox.h"

#include <QAccessible>
#include <QApplication>
#include <QImage>
#include <QProxyStyle>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

namespace {

using Dlg = CQuorvanMasterDlg;

bool InRing(const QImage& image, int x, int y, int ring)
{
    return x < ring || y < ring || x >= image.width() - ring || y >= image.height() - ring;
}

// Where the focused and unfocused pictures of a readout differ, and where
// its digits are.
struct FocusPictures {
    int changed = 0;        // pixels that differ
    int changedInside = 0;  // ... away from the edge ring
    int digits = 0;         // pixels of the digits (not background)
    int digitsInRing = 0;   // ... in the edge ring
};

FocusPictures CompareFocus(Dlg& dlg, CIanalogdisplayx* readout)
{
    dlg.Control(Dlg::IDC_CANCEL)->setFocus();
    const QImage plain = readout->grab().toImage();
    readout->setFocus();
    EXPECT_TRUE(readout->hasFocus());
    const QImage focused = readout->grab().toImage();
    dlg.Control(Dlg::IDC_CANCEL)->setFocus();

    FocusPictures p;
    const QColor background = ColorFromBgr(CIanalogdisplayx::kBackground);
    for (int y = 0; y < plain.height(); ++y) {
        for (int x = 0; x < plain.width(); ++x) {
            const bool ring = InRing(plain, x, y, CIanalogdisplayx::kFocusRing);
            if (plain.pixel(x, y) != focused.pixel(x, y)) {
                ++p.changed;
                p.changedInside += InRing(plain, x, y, 1) ? 0 : 1;
            }
            if (plain.pixelColor(x, y) != background) {
                ++p.digits;
                p.digitsInRing += ring ? 1 : 0;
            }
        }
    }
    return p;
}

class Readout : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_dlg.show();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&m_dlg));
    }

    CIanalogdisplayx* R(int id) { return m_dlg.Readout(id); }

    Dlg m_dlg;
};

TEST_F(Readout, FocusShowsAsAnEdgeFrameClearOfTheDigits)
{
    R(Dlg::IDC_VOLTAGE)->SetValue(300.55);
    R(Dlg::IDC_VOLTAGE)->SetFontColor(0x0000FF);
    R(Dlg::IDC_ENERGY)->SetPrecision(2);
    R(Dlg::IDC_ENERGY)->SetUnitsText(QStringLiteral("kWh"));
    R(Dlg::IDC_ENERGY)->SetValue(1234.567);
    R(Dlg::IDC_POWER)->SetPrecision(0);
    R(Dlg::IDC_POWER)->SetValue(429496729.0);  // too wide: shrunk to fit
    for (int id : {Dlg::IDC_VOLTAGE, Dlg::IDC_ENERGY, Dlg::IDC_POWER}) {
        SCOPED_TRACE(id);
        const FocusPictures p = CompareFocus(m_dlg, R(id));
        EXPECT_GT(p.changed, 0);  // focus is visible
        EXPECT_EQ(p.changedInside, 0);
        EXPECT_GT(p.digits, 100);
        EXPECT_EQ(p.digitsInRing, 0);
    }

    // A readout too short for the digits' height shrinks them, still clear.
    CIanalogdisplayx* current = R(Dlg::IDC_CURRENT);
    current->SetValue(12.34);
    current->resize(current->width(), 30);
    const FocusPictures p = CompareFocus(m_dlg, current);
    EXPECT_GT(p.digits, 50);
    EXPECT_EQ(p.digitsInRing, 0);
    EXPECT_EQ(p.changedInside, 0);

    // Still a tab stop: Tab from Cancel lands on the voltage readout.
    m_dlg.Control(Dlg::IDC_CANCEL)->setFocus();
    QTest::keyClick(m_dlg.Control(Dlg::IDC_CANCEL), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), R(Dlg::IDC_VOLTAGE));
}

TEST_F(Readout, TheShownNumberIsTheAccessibleValue)
{
    CIanalogdisplayx* energy = R(Dlg::IDC_ENERGY);
    energy->SetPrecision(2);
    energy->SetUnitsText(QStringLiteral("kWh"));
    energy->SetValue(1234.567);

    QAccessibleInterface* a = QAccessible::queryAccessibleInterface(energy);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->text(QAccessible::Name), QStringLiteral("1234.57 kWh"));
    QAccessibleValueInterface* value = a->valueInterface();
    ASSERT_NE(value, nullptr);
    // The number as shown, rounded to the readout's decimals.
    EXPECT_DOUBLE_EQ(value->currentValue().toDouble(), 1234.57);
    EXPECT_DOUBLE_EQ(value->minimumStepSize().toDouble(), 0.01);

    // It follows the readout, and writing it changes nothing.
    energy->SetPrecision(0);
    energy->SetUnitsText(QStringLiteral("Wh"));
    energy->SetValue(987654.0);
    EXPECT_DOUBLE_EQ(value->currentValue().toDouble(), 987654.0);
    EXPECT_DOUBLE_EQ(value->minimumStepSize().toDouble(), 1.0);
    value->setCurrentValue(5.0);
    EXPECT_DOUBLE_EQ(energy->Value(), 987654.0);

    QAccessibleInterface* volts = QAccessible::queryAccessibleInterface(R(Dlg::IDC_VOLTAGE));
    ASSERT_NE(volts->valueInterface(), nullptr);
    R(Dlg::IDC_VOLTAGE)->SetValue(51.23);
    EXPECT_DOUBLE_EQ(volts->valueInterface()->currentValue().toDouble(), 51.23);
}

// A desktop's style as the generic X11 theme answers it: icons on dialog
// buttons (the offscreen platform's own theme has none).
class DesktopLikeStyle : public QProxyStyle {
public:
    DesktopLikeStyle() : QProxyStyle(QStringLiteral("Fusion")) {}

    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* answer) const override
    {
        if (hint == SH_DialogButtonBox_ButtonsHaveIcons)
            return 1;
        return QProxyStyle::styleHint(hint, option, widget, answer);
    }
};

}  // namespace

bool g_okIconBeforeLook = false;

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setStyle(new DesktopLikeStyle);
    g_okIconBeforeLook =
        !MakeMessageBox(QString(), QMessageBox::NoIcon, QString(), QString(), nullptr)
             ->button(QMessageBox::Ok)
             ->icon()
             .isNull();
    CQuorvanMasterApp::InstallLook();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
