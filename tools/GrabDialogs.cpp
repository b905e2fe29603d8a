// Saves the parameter and password dialogs as PNGs for the docs and for a
// look by eye: grab_dialogs DIR. Runs on any platform plugin; under the
// offscreen one the pictures have no window frames.
#include "CDlgParameterSet.h"
#include "CDlgPassword.h"
#include "CModalDriver.h"
#include "CQuorvanMasterApp.h"

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>

#include <cstdio>

namespace {

bool Save(const QPixmap& picture, const QString& path)
{
    const bool saved = picture.save(path);
    std::printf("%s %s\n", saved ? "saved" : "FAILED", qPrintable(path));
    return saved;
}

// The dialog with its modal box drawn over it where the box stands.
QPixmap WithBox(QWidget* dialog, QWidget* box)
{
    const QRect area = dialog->frameGeometry().united(box->frameGeometry());
    QPixmap picture(area.size());
    picture.fill(Qt::darkGray);
    QPainter painter(&picture);
    painter.drawPixmap(dialog->geometry().topLeft() - area.topLeft(), dialog->grab());
    painter.drawPixmap(box->geometry().topLeft() - area.topLeft(), box->grab());
    return picture;
}

// Presses "OK" in `dialog` and saves it together with the box that follows.
bool SaveRefusal(QDialog& dialog, QPushButton* ok, const QString& path)
{
    bool saved = false;
    const auto driver = CModalDriver::Once<QMessageBox>([&](QMessageBox* box) {
        saved = Save(WithBox(&dialog, box), path);
        box->accept();
    });
    ok->click();
    return saved;
}

}  // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    CQuorvanMasterApp::InstallLook();  // as the program has it: plain box buttons
    if (argc != 2) {
        std::fprintf(stderr, "usage: grab_dialogs DIR\n");
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    bool ok = true;

    CDlgParameterSet parameters(Settings{30055, 25000, 1, 0});
    parameters.show();
    ok &= Save(parameters.grab(), dir.filePath(QStringLiteral("parameter-dialog.png")));
    auto* address = qobject_cast<QLineEdit*>(parameters.Control(CDlgParameterSet::IDC_ADDRESS));
    address->setText(QStringLiteral("248"));
    ok &= SaveRefusal(parameters,
                      qobject_cast<QPushButton*>(parameters.Control(CDlgParameterSet::IDOK_BUTTON)),
                      dir.filePath(QStringLiteral("parameter-dialog-refusal.png")));
    ok &= Save(parameters.grab(), dir.filePath(QStringLiteral("parameter-dialog-after.png")));
    parameters.reject();

    CDlgPassword password;
    password.show();
    auto* edit = qobject_cast<QLineEdit*>(password.Control(CDlgPassword::IDC_PASSWORD));
    edit->setText(QStringLiteral("secret"));
    ok &= Save(password.grab(), dir.filePath(QStringLiteral("password-dialog.png")));
    ok &= SaveRefusal(password,
                      qobject_cast<QPushButton*>(password.Control(CDlgPassword::IDOK_BUTTON)),
                      dir.filePath(QStringLiteral("password-dialog-error.png")));
    return ok ? 0 : 1;
}
