#include "CQuorvanMasterApp.h"

#include "CIanalogdisplayx.h"
#include "CQuorvanMasterDlg.h"

#include <QCoreApplication>
#include <QFileInfo>

CQuorvanMasterApp::CQuorvanMasterApp(int& argc, char** argv) : m_app(argc, argv)
{
    QCoreApplication::setApplicationName(ProgramName());
    QCoreApplication::setApplicationVersion(QStringLiteral(QUORVAN_VERSION));
#ifdef QUORVAN_DESKTOP_ID
    // Lets the desktop match the window to the installed entry and its icon.
    QGuiApplication::setDesktopFileName(QStringLiteral(QUORVAN_DESKTOP_ID));
#endif
}

QString CQuorvanMasterApp::ProgramName()
{
    return QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
}

int CQuorvanMasterApp::InitInstance()
{
    CIanalogdisplayx::InstallAccessibility();
    CQuorvanMasterDlg dlg;
    QApplication::setWindowIcon(dlg.windowIcon());
    dlg.exec();
    // The dialog's destructor has closed the port by now; no event loop of
    // our own follows.
    return 0;
}
