// The port dialog (template 130): picks the port number; the baud list is
// shown but fixed. It hands back plain values and never touches the port.
#pragma once

#include <QDialog>

#include <cstdint>

class QComboBox;

class CComSetDlg : public QDialog {
    Q_OBJECT

public:
    enum { IDD = 130 };
    enum ControlId {
        IDC_PORT_LABEL = 1034,
        IDC_PORT_LIST = 1004,
        IDC_BAUD_LABEL = 1035,
        IDC_BAUD_LIST = 1005,
        IDOK_BUTTON = 1,
        IDCANCEL_BUTTON = 2,
    };

    explicit CComSetDlg(QWidget* parent = nullptr);

    // In and out: read at show time, port written by OnOK. The baud rate
    // leaves as it came in.
    uint8_t m_byPort = 1;
    uint16_t m_wBaudRate = 9600;

    QWidget* Control(int id) const;

    static constexpr int kPortCount = 12;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void OnInitDialog();
    void OnOK();

    QComboBox* m_portList;
    QComboBox* m_baudList;
};

// "COM3 (/dev/ttyUSB2), present" or "..., not present": which device an
// entry stands for and whether it exists now.
QString PortEntryToolTip(int port);
