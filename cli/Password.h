// Reading the calibration password.
#pragma once

#include <string>

// Reads one line from `fd` into *password (without the line end). On a
// terminal it first writes `prompt` to standard error and turns echo off;
// the terminal's settings come back on return and also when SIGINT,
// SIGTERM, SIGHUP or SIGQUIT end the program meanwhile. False at end of
// input with nothing read, or on a read error.
bool ReadPassword(int fd, const char* prompt, std::string* password);
