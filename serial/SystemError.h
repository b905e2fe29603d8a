// The system's own sentence for one of its error codes, as UTF-8: errno's
// on Linux (strerror), GetLastError()'s or WSAGetLastError()'s on Windows
// (FormatMessage, in the user's language, without its line end).
#pragma once

#include <string>

std::string SystemErrorText(int error);
