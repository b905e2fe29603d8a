// The application: the Qt application object, and start-up, which runs the
// main window modally and ends the program when it closes.
#pragma once

#include <QApplication>
#include <QString>

class CQuorvanMasterApp {
public:
    CQuorvanMasterApp(int& argc, char** argv);

    // Runs the main window; returns the process exit code.
    int InitInstance();

    // Caption of boxes given none: the running program file's base name
    // ("Quorvan-Master").
    static QString ProgramName();

    // What every window shares: dialog buttons without icons, readouts that
    // answer accessibility queries. For the running QApplication; once is
    // enough, again is harmless (tests call it on theirs).
    static void InstallLook();

private:
    QApplication m_app;
};
