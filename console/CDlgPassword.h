// The calibration password dialog (template 136). It closes with Accepted
// only after the fixed calibration password was typed exactly; a wrong one
// is refused in a box and the edit emptied. It never touches the port.
#pragma once

#include <QDialog>
#include <QString>

class QLineEdit;
class QPushButton;

class CDlgPassword : public QDialog {
    Q_OBJECT

public:
    enum { IDD = 136 };
    // Control ids, found through Control() (DialogControls.h).
    enum ControlId {
        IDOK_BUTTON = 1,
        IDCANCEL_BUTTON = 2,
        IDC_PASSWORD_LABEL = 1039,
        IDC_PASSWORD = 1040,
    };

    static constexpr int kMaxLength = 16;

    explicit CDlgPassword(QWidget* parent = nullptr);

    // The control with dialog id `id`, or nullptr.
    QWidget* Control(int id) const;

    // The text taken from the edit at the last "Ok"; empty after a refusal.
    const QString& Password() const { return m_password; }

public slots:
    void accept() override;  // "Ok": compare, refuse or close

private:
    void BuildControls();

    QString m_password;
    QLineEdit* m_edit = nullptr;
    QPushButton* m_ok = nullptr;
};
