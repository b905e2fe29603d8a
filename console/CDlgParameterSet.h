// The parameter dialog (template 133): the meter's address, alarm thresholds
// and current range as read, edited by the operator and checked at "OK".
//
// Built from the Settings read from the meter; after exec() returns
// Accepted, SettingsToWrite() gives the registers to write. The dialog never
// touches the port.
#pragma once

#include "MeterBlocks.h"
#include "ParamInput.h"

#include <QDialog>

class QComboBox;
class QLineEdit;
class QPushButton;

class CDlgParameterSet : public QDialog {
    Q_OBJECT

public:
    enum { IDD = 133 };
    // Control ids, found through Control() (DialogControls.h).
    enum ControlId {
        IDOK_BUTTON = 1,
        IDCANCEL_BUTTON = 2,
        IDC_ADDRESS_LABEL = 1037,
        IDC_ADDRESS = 1010,
        IDC_BAUD_LABEL = 1035,
        IDC_BAUD_LIST = 1011,
        IDC_MAX_VOLTAGE_LABEL = 1039,
        IDC_MAX_VOLTAGE = 1013,
        IDC_MAX_VOLTAGE_UNIT = 1041,
        IDC_MIN_VOLTAGE_LABEL = 1040,
        IDC_MIN_VOLTAGE = 1014,
        IDC_MIN_VOLTAGE_UNIT = 1043,
        IDC_RANGE_LABEL = 1029,
        IDC_RANGE_LIST = 1044,
    };

    explicit CDlgParameterSet(const Settings& read, QWidget* parent = nullptr);

    // The control with dialog id `id`, or nullptr.
    QWidget* Control(int id) const;

    // The fields: as read until "OK" passes, then as entered.
    const ParamValues& Values() const { return m_values; }

    // The registers to write after "OK": untouched thresholds keep the
    // hundredths that were read.
    Settings SettingsToWrite() const { return ParamSettingsToWrite(m_read, m_values); }

public slots:
    void accept() override;  // "OK": take the range, check the edits

private:
    void BuildControls();
    void Refuse(QLineEdit* edit, const ParamCheck& check);

    const Settings m_read;
    ParamValues m_values;
    QLineEdit* m_address = nullptr;
    QLineEdit* m_maxVoltage = nullptr;
    QLineEdit* m_minVoltage = nullptr;
    QComboBox* m_range = nullptr;
    QPushButton* m_ok = nullptr;
};
