#include "Password.h"

#include <windows.h>

namespace {

// The console as found, for the handler to put back.
HANDLE g_console = nullptr;
DWORD g_savedMode = 0;

BOOL WINAPI RestoreOnConsoleEvent(DWORD)
{
    SetConsoleMode(g_console, g_savedMode);
    return FALSE;  // on to the next handler: the program ends as asked
}

// Echo off for its lifetime; a Ctrl+C or a closing console puts it back too.
class EchoOff {
public:
    explicit EchoOff(HANDLE console)
    {
        g_console = console;
        GetConsoleMode(console, &g_savedMode);
        SetConsoleCtrlHandler(RestoreOnConsoleEvent, TRUE);
        SetConsoleMode(console, g_savedMode & ~static_cast<DWORD>(ENABLE_ECHO_INPUT));
    }
    ~EchoOff()
    {
        SetConsoleMode(g_console, g_savedMode);
        SetConsoleCtrlHandler(RestoreOnConsoleEvent, FALSE);
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;
};

// One byte of `input`, so nothing after the line is consumed.
int ReadByte(HANDLE input, char* c)
{
    DWORD n = 0;
    if (!ReadFile(input, c, 1, &n, nullptr))
        return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;  // a pipe's end
    return n > 0 ? 1 : 0;
}

void WriteError(const char* text)
{
    DWORD n = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(lstrlenA(text)), &n,
              nullptr);
}

}  // namespace

bool ReadPassword(const char* prompt, std::string* password)
{
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    const auto readByte = [input](char* c) { return ReadByte(input, c); };
    DWORD mode = 0;
    if (!GetConsoleMode(input, &mode))  // a file or a pipe
        return ReadPasswordLine(readByte, password);

    WriteError(prompt);
    bool ok;
    {
        EchoOff quiet(input);
        ok = ReadPasswordLine(readByte, password);
    }
    WriteError("\n");  // the Enter that was not echoed
    return ok;
}
