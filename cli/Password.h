// Reading the calibration password.
#pragma once

#include <functional>
#include <string>

// Reads one line of standard input into *password (without the line end).
// On a terminal (a console on Windows) it first writes `prompt` to
// standard error and turns echo off; the terminal's settings come back on
// return and also when a signal (Ctrl+C) ends the program meanwhile. False
// at end of input with nothing read, or on a read error.
bool ReadPassword(const char* prompt, std::string* password);

// For the systems' ReadPassword: one line from `readByte` (1 for a byte, 0
// at the end of input, -1 on an error), without its "\n" or "\r\n", at most
// 256 characters kept. False when the input ended before any byte, or
// failed.
bool ReadPasswordLine(const std::function<int(char*)>& readByte, std::string* line);
