// Port names on Windows: COMn is the device itself.
#include "PortMap.h"

#include <algorithm>
#include <cctype>

#include <windows.h>

namespace {

constexpr char kDevicePrefix[] = "\\\\.\\";  // \\.\ reaches COM10 and up too

// "COM3" for \\.\COM3, else the path as it is.
std::string ShortName(const std::string& device)
{
    const std::string prefix = kDevicePrefix;
    return device.compare(0, prefix.size(), prefix) == 0 ? device.substr(prefix.size()) : device;
}

bool SameName(const std::string& a, const std::string& b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::toupper(static_cast<unsigned char>(x)) ==
               std::toupper(static_cast<unsigned char>(y));
    });
}

}  // namespace

std::string PortAliasDir()
{
    return std::string();
}

std::string ComPortPath(int port)
{
    return port < 1 ? std::string() : kDevicePrefix + ("COM" + std::to_string(port));
}

bool IsDevicePath(const std::string& text)
{
    return text.find_first_of("\\/") != std::string::npos;
}

// A port of another name, such as a virtual null-modem pair's.
const char* DevicePathExample()
{
    return "\\\\.\\CNCA0";
}

bool IsAbsoluteDevicePath(const std::string& text)
{
    const std::string prefix = kDevicePrefix;
    return text.size() > prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

const char* AbsoluteDevicePathExample()
{
    return DevicePathExample();
}

bool ComPortPresent(int port)
{
    if (port < 1)
        return false;
    const std::wstring name = L"COM" + std::to_wstring(port);
    wchar_t target[512];
    return QueryDosDeviceW(name.c_str(), target, sizeof target / sizeof target[0]) != 0;
}

std::string PortLabel(const std::string& name, const std::string& path)
{
    return SameName(name, ShortName(path)) ? name : name + " (" + path + ")";
}

std::string PortOpenHint(const std::string& device, int error)
{
    const std::string name = ShortName(device);
    switch (error) {
        // The serial driver refuses a second open with "Access is denied".
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION: return "another program has " + name + " open";
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return "no " + name +
                   " on this computer now: Device Manager lists the ports under "
                   "\"Ports (COM & LPT)\"";
        default: return std::string();
    }
}
