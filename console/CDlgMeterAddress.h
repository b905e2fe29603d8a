// "Meter Address": which meter the panel talks to. The general address
// 0xF8, which every meter answers whatever its own address (right for a
// meter alone on the line, and the default), or one meter's own address 1
// to 247 when several share the line. Hands back a plain value; never
// touches the port.
#pragma once

#include <QDialog>
#include <QString>

#include <cstdint>

class QRadioButton;
class QSpinBox;

class CDlgMeterAddress : public QDialog {
    Q_OBJECT

public:
    // `unit`: 0 for the general address, else an own address.
    CDlgMeterAddress(uint8_t unit, QWidget* parent);

    // The choice: 0 for the general address.
    uint8_t Unit() const;

    // "Meter at address 5", "Meter at the general address 0xF8".
    static QString Describe(uint8_t unit);

    // objectNames "general", "own" (the two choices) and "address".
    QRadioButton* GeneralChoice() const { return m_general; }
    QRadioButton* OwnChoice() const { return m_own; }
    QSpinBox* AddressBox() const { return m_address; }

private:
    QRadioButton* m_general = nullptr;
    QRadioButton* m_own = nullptr;
    QSpinBox* m_address = nullptr;
};
