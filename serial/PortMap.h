// Which device a port number ("COM3") stands for on this machine, and what
// a person can do when it does not open.
//
// The mapping lives here and nowhere else. On Windows COMn is the device
// itself, opened as \\.\COMn. On Linux (PortMap_posix.cpp):
//   1. an alias: a symbolic link named COMn in
//      ${XDG_CONFIG_HOME:-$HOME/.config}/quorvan-master/ports/
//      (users point it at /dev/serial/by-id/..., the simulator at its pty);
//   2. otherwise a fixed table:
//      COM1-COM4  -> /dev/ttyUSB0-3
//      COM5-COM8  -> /dev/ttyACM0-3
//      COM9-COM12 -> /dev/ttyS0-3
//      COM13 and up -> /dev/ttyUSB(n-1)
#pragma once

#include <string>

// A port as a person names it: COMn, or a device path.
struct PortChoice {
    int number = 0;    // n of "COMn"; 0 when a path is given
    std::string path;  // a device path; empty when a number is given
};

// Folder that holds the COMn aliases (not created here); empty on Windows,
// which has none.
std::string PortAliasDir();

// Path to open for port number n; the alias path itself when one exists.
// Empty for n < 1.
std::string ComPortPath(int port);

// Whether the device that port number n stands for is there now (an alias
// is followed).
bool ComPortPresent(int port);

// "COM3 (/dev/ttyUSB2)": the port and the device it resolves to, for messages.
// On Windows, where COMn is its own device, just "COM3".
std::string ComPortLabel(int port);
// The same for a path already looked up: "<name> (<device>)", where an alias
// shows the device it leads to, or, dangling, the device it names.
std::string PortLabel(const std::string& name, const std::string& path);

// What the user can do about an open of `device` that failed with the
// system's `error` (errno, or GetLastError() on Windows), one line, or "":
// the group to join for a permission error, another program holding a busy
// port, a device that is no terminal.
std::string PortOpenHint(const std::string& device, int error);

// Whether a port as a person wrote it is a device path rather than a
// name: it has a slash on Linux, a slash or a backslash on Windows.
bool IsDevicePath(const std::string& text);
// A device path for messages and help: "/dev/ttyUSB0", "\\.\CNCA0".
const char* DevicePathExample();
// Whether `text` is a device path that means the same from any folder, as
// a service's configuration needs: "/dev/..." on Linux, "\\.\NAME" on
// Windows. And an example for its messages: the name that survives
// replugging on Linux ("/dev/serial/by-id/..."), "\\.\CNCA0" on Windows.
bool IsAbsoluteDevicePath(const std::string& text);
const char* AbsoluteDevicePathExample();

// Parses "COM3" / "com3" into 3. Returns 0 for anything else, including
// "COM0", signs, and numbers above kMaxComPort.
int ParseComPortName(const std::string& name);

constexpr int kMaxComPort = 255;
