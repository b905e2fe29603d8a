#include "CDlgParameterSet.h"

#include "CQuorvanMasterApp.h"
#include "DialogControls.h"
#include "DialogUnits.h"
#include "MessageBox.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <algorithm>

namespace {

constexpr uint32_t kRangeCount = 4;  // list entries; a higher code is kept as read

template <typename T>
T* AddControl(QWidget* dialog, const DialogUnits& du, int id, int x, int y, int w, int h)
{
    auto* control = Named(new T(dialog), id);
    du.Place(control, x, y, w, h);
    return control;
}

void AddLabel(QWidget* dialog, const DialogUnits& du, int id, const char* text, int x, int y, int w,
              int h)
{
    AddControl<QLabel>(dialog, du, id, x, y, w, h)->setText(QString::fromLatin1(text));
}

// A drop-down list's template height (30) covers its open list; the closed
// box takes the style's height for the font.
QComboBox* AddDropDown(QWidget* dialog, const DialogUnits& du, int id, int x, int y, int w)
{
    auto* list = AddControl<QComboBox>(dialog, du, id, x, y, w, 30);
    list->resize(list->width(), std::min(list->height(), list->sizeHint().height()));
    return list;
}

}  // namespace

CDlgParameterSet::CDlgParameterSet(const Settings& read, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      m_read(read),
      m_values(ParamValuesFromSettings(read))
{
    BuildControls();
    setWindowTitle(QStringLiteral("Parameter settings"));

    m_address->setText(QString::number(m_values.address));
    m_maxVoltage->setText(QString::number(m_values.maxVoltage));
    m_minVoltage->setText(QString::number(m_values.minVoltage));
    if (m_values.currentRange < kRangeCount) {
        m_range->setCurrentIndex(static_cast<int>(m_values.currentRange));
    } else {
        m_range->setEnabled(false);
        m_range->setCurrentIndex(-1);
    }

    // Enter pressed at once writes back what was read.
    m_ok->setDefault(true);
    m_ok->setFocus();
}

void CDlgParameterSet::BuildControls()
{
    const DialogUnits du(QStringLiteral("Fixedsys"), 12);
    setFont(du.Font());
    setFixedSize(du.Size(173, 147));

    // Created in template order, which is also the tab order.
    m_ok = AddControl<QPushButton>(this, du, IDOK_BUTTON, 33, 117, 43, 14);
    m_ok->setText(QStringLiteral("OK"));
    auto* cancel = AddControl<QPushButton>(this, du, IDCANCEL_BUTTON, 99, 117, 40, 14);
    cancel->setText(QStringLiteral("Cancel"));
    AddLabel(this, du, IDC_ADDRESS_LABEL, "Address:", 33, 13, 65, 8);
    m_address = AddControl<QLineEdit>(this, du, IDC_ADDRESS, 100, 10, 34, 14);
    AddLabel(this, du, IDC_BAUD_LABEL, "Baudrate:", 33, 32, 62, 8);
    AddDropDown(this, du, IDC_BAUD_LIST, 100, 30, 34)->setEnabled(false);  // never filled
    AddLabel(this, du, IDC_MAX_VOLTAGE_LABEL, "Max Voltage:", 33, 50, 66, 8);
    m_maxVoltage = AddControl<QLineEdit>(this, du, IDC_MAX_VOLTAGE, 100, 48, 34, 14);
    AddLabel(this, du, IDC_MAX_VOLTAGE_UNIT, "V", 139, 51, 8, 8);
    AddLabel(this, du, IDC_MIN_VOLTAGE_LABEL, "Min Voltage:", 33, 70, 67, 8);
    m_minVoltage = AddControl<QLineEdit>(this, du, IDC_MIN_VOLTAGE, 100, 68, 34, 14);
    AddLabel(this, du, IDC_MIN_VOLTAGE_UNIT, "V", 139, 71, 8, 8);
    AddLabel(this, du, IDC_RANGE_LABEL, "Current Range:", 33, 90, 67, 8);
    m_range = AddDropDown(this, du, IDC_RANGE_LIST, 100, 89, 34);
    // Entry index = range code.
    for (uint32_t code = 0; code < kRangeCount; ++code)
        m_range->addItem(QString::fromLatin1(CurrentRangeText(code)));

    connect(m_ok, &QPushButton::clicked, this, &CDlgParameterSet::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

QWidget* CDlgParameterSet::Control(int id) const
{
    return FindControl(this, id);
}

void CDlgParameterSet::accept()
{
    const ParamCheck check =
        CheckParamTexts(m_address->text().toStdU16String(), m_maxVoltage->text().toStdU16String(),
                        m_minVoltage->text().toStdU16String());
    if (check.verdict != ParamVerdict::kAccepted) {
        QLineEdit* const edits[kParamFieldCount] = {m_address, m_maxVoltage, m_minVoltage};
        Refuse(edits[check.field], check);
        return;
    }
    if (m_values.currentRange < kRangeCount && m_range->currentIndex() >= 0)
        m_values.currentRange = static_cast<uint32_t>(m_range->currentIndex());
    m_values.address = check.values[kParamAddress];
    m_values.maxVoltage = check.values[kParamMaxVoltage];
    m_values.minVoltage = check.values[kParamMinVoltage];
    QDialog::accept();
}

void CDlgParameterSet::Refuse(QLineEdit* edit, const ParamCheck& check)
{
    if (!ExecMessageBox(MakeMessageBox(
            CQuorvanMasterApp::ProgramName(), QMessageBox::Warning,
            QString::fromStdString(ParamRefusalText(check.field, check.verdict)), QString(), this)))
        return;  // the window, and this dialog with it, went meanwhile
    edit->setFocus();
    edit->selectAll();
}
