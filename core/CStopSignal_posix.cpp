#include "CStopSignal.h"

#include <atomic>
#include <csignal>

namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

// Shared with the handler: a pointer set before it is installed and a
// lock-free int.
CStopToken* g_token = nullptr;
std::atomic<int> g_signal{0};

void OnSignal(int signal)
{
    g_signal.store(signal);
    g_token->Raise();  // async-signal-safe
}

}  // namespace

CStopSignal::CStopSignal()
{
    g_token = &m_token;
    g_signal.store(0);
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (int s : kSignals)
        sigaction(s, &action, nullptr);
}

CStopSignal::~CStopSignal()
{
    for (int s : kSignals)
        std::signal(s, SIG_DFL);
    g_token = nullptr;
}

const char* CStopSignal::What() const
{
    switch (g_signal.load()) {
        case SIGINT: return "SIGINT";
        case SIGTERM: return "SIGTERM";
        case SIGHUP: return "SIGHUP";
        default: return "";
    }
}

void CStopSignal::RaiseAgain() const
{
    const int signal = g_signal.load();
    if (signal == 0)
        return;
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}
