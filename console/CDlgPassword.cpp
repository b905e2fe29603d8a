#include "CDlgPassword.h"

#include "CalibrationPassword.h"

#include "DialogControls.h"
#include "DialogUnits.h"
#include "MessageBox.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace {

template <typename T>
T* AddControl(QWidget* dialog, const DialogUnits& du, int id, int x, int y, int w, int h)
{
    auto* control = Named(new T(dialog), id);
    du.Place(control, x, y, w, h);
    return control;
}

}  // namespace

CDlgPassword::CDlgPassword(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint)
{
    BuildControls();
    setWindowTitle(QStringLiteral("Calibration Password"));
    // Enter pressed at once meets the empty-password rule.
    m_ok->setDefault(true);
    m_ok->setFocus();
}

void CDlgPassword::BuildControls()
{
    const DialogUnits du(QStringLiteral("Times New Roman"), 12);
    setFont(du.Font());
    setFixedSize(du.Size(138, 74));

    // Created in template order, which is also the tab order.
    m_ok = AddControl<QPushButton>(this, du, IDOK_BUTTON, 81, 46, 36, 14);
    m_ok->setText(QStringLiteral("Ok"));
    auto* cancel = AddControl<QPushButton>(this, du, IDCANCEL_BUTTON, 20, 46, 36, 14);
    cancel->setText(QStringLiteral("Cancel"));
    auto* label = AddControl<QLabel>(this, du, IDC_PASSWORD_LABEL, 23, 16, 41, 8);
    label->setText(QStringLiteral("Password:"));
    m_edit = AddControl<QLineEdit>(this, du, IDC_PASSWORD, 58, 13, 55, 14);
    m_edit->setEchoMode(QLineEdit::Password);
    m_edit->setMaxLength(kMaxLength);

    connect(m_ok, &QPushButton::clicked, this, &CDlgPassword::accept);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

QWidget* CDlgPassword::Control(int id) const
{
    return FindControl(this, id);
}

void CDlgPassword::accept()
{
    m_password = m_edit->text();
    if (m_password.isEmpty())
        return;
    if (IsCalibrationPassword(m_password.toStdString())) {
        QDialog::accept();
        return;
    }
    // Owned by this dialog, so it stays in front of it.
    if (!ExecMessageBox(MakeMessageBox(QStringLiteral("Error"), QMessageBox::Critical,
                                       QStringLiteral("Password is error!"), QString(), this)))
        return;  // the window, and this dialog with it, went meanwhile
    m_password.clear();
    m_edit->clear();
}
