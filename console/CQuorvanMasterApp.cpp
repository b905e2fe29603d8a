#include "CQuorvanMasterApp.h"

#include "CIanalogdisplayx.h"
#include "CQuorvanMasterDlg.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QProxyStyle>

namespace {

// The desktop style, except that dialog buttons (OK in a message box) carry
// no icon: the panel's windows have plain text buttons.
class PlainButtonsStyle : public QProxyStyle {
public:
    // Takes `base` over (it becomes this style's child).
    explicit PlainButtonsStyle(QStyle* base) : QProxyStyle(base) {}

    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* answer) const override
    {
        if (hint == SH_DialogButtonBox_ButtonsHaveIcons)
            return 0;
        return QProxyStyle::styleHint(hint, option, widget, answer);
    }
};

}  // namespace

CQuorvanMasterApp::CQuorvanMasterApp(int& argc, char** argv) : m_app(argc, argv)
{
    QCoreApplication::setApplicationName(ProgramName());
    QCoreApplication::setApplicationVersion(QStringLiteral(QUORVAN_VERSION));
#ifdef QUORVAN_DESKTOP_ID
    // Lets the desktop match the window to the installed entry and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral(QUORVAN_DESKTOP_ID));
#endif
    InstallLook();
}

void CQuorvanMasterApp::InstallLook()
{
    // Wraps the style in use (the desktop's, or one given with -style), so
    // only the button icons change.
    if (dynamic_cast<PlainButtonsStyle*>(QApplication::style()) == nullptr)
        QApplication::setStyle(new PlainButtonsStyle(QApplication::style()));
    CIanalogdisplayx::InstallAccessibility();
}

QString CQuorvanMasterApp::ProgramName()
{
    return QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
}

int CQuorvanMasterApp::InitInstance()
{
    CQuorvanMasterDlg dlg;
    QApplication::setWindowIcon(dlg.windowIcon());
    dlg.exec();
    // The dialog's destructor has closed the port by now; no event loop of
    // our own follows.
    return 0;
}
