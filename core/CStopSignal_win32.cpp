#include "CStopSignal.h"

#include <atomic>
#include <cstdlib>

#include <windows.h>

namespace {

// Shared with the handler, which Windows runs on a thread of its own: a
// pointer set before it is installed, the event that came (+1, so that 0
// is none: CTRL_C_EVENT is 0) and the event that lets a closing console's
// handler return.
CStopToken* g_token = nullptr;
std::atomic<DWORD> g_event{0};
HANDLE g_cleanedUp = nullptr;

BOOL WINAPI OnConsoleEvent(DWORD event)
{
    g_event.store(event + 1);
    g_token->Raise();
    // Returning ends the program at once for these; the port is closed first.
    if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT)
        WaitForSingleObject(g_cleanedUp, INFINITE);
    return TRUE;
}

}  // namespace

CStopSignal::CStopSignal()
{
    g_token = &m_token;
    g_event.store(0);
    if (g_cleanedUp == nullptr)  // kept for the process: a handler may still wait on it
        g_cleanedUp = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ResetEvent(g_cleanedUp);
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

CStopSignal::~CStopSignal()
{
    SetConsoleCtrlHandler(OnConsoleEvent, FALSE);
    SetEvent(g_cleanedUp);  // a handler waiting for the cleanup may return now
}

const char* CStopSignal::What() const
{
    switch (g_event.load()) {
        case CTRL_C_EVENT + 1: return "Ctrl+C";
        case CTRL_BREAK_EVENT + 1: return "Ctrl+Break";
        case CTRL_CLOSE_EVENT + 1: return "console closed";
        case CTRL_LOGOFF_EVENT + 1: return "log-off";
        case CTRL_SHUTDOWN_EVENT + 1: return "shut-down";
        default: return "";
    }
}

void CStopSignal::RaiseAgain() const
{
    if (g_event.load() == 0)
        return;
    SetEvent(g_cleanedUp);
    // exit(), not ExitProcess: output is flushed and what the program set
    // up to undo at exit is undone, as after a return from main.
    std::exit(static_cast<int>(STATUS_CONTROL_C_EXIT));
}
