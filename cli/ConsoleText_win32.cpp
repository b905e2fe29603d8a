#include "ConsoleText.h"

#include <cstdlib>

#include <windows.h>

namespace {

UINT g_savedCodePage = 0;

void RestoreCodePage()
{
    SetConsoleOutputCP(g_savedCodePage);
}

}  // namespace

void UseUtf8Console()
{
    const UINT codePage = GetConsoleOutputCP();  // 0 without a console
    if (codePage == 0 || codePage == CP_UTF8 || !SetConsoleOutputCP(CP_UTF8))
        return;
    g_savedCodePage = codePage;
    std::atexit(RestoreCodePage);
}
