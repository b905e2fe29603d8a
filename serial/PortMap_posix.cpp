// Port names on Linux: the user's COMn aliases, else the fixed table.
#include "PortMap.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <vector>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

std::string PortAliasDir()
{
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    std::string base;
    if (xdg != nullptr && xdg[0] == '/') {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        base = std::string(home != nullptr ? home : "") + "/.config";
    }
    return base + "/quorvan-master/ports";
}

namespace {

std::string GroupName(gid_t gid)
{
    std::vector<char> buffer(4096);
    group entry;
    group* found = nullptr;
    if (getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr)
        return found->gr_name;
    return std::to_string(gid);
}

std::string RealPath(const std::string& path)
{
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

std::string FixedDevice(int port)
{
    if (port <= 4)
        return "/dev/ttyUSB" + std::to_string(port - 1);
    if (port <= 8)
        return "/dev/ttyACM" + std::to_string(port - 5);
    if (port <= 12)
        return "/dev/ttyS" + std::to_string(port - 9);
    return "/dev/ttyUSB" + std::to_string(port - 1);
}

}  // namespace

std::string ComPortPath(int port)
{
    if (port < 1)
        return std::string();
    std::string alias = PortAliasDir() + "/COM" + std::to_string(port);
    struct stat st;
    if (lstat(alias.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
        return alias;
    return FixedDevice(port);
}

bool IsDevicePath(const std::string& text)
{
    return text.find('/') != std::string::npos;
}

const char* DevicePathExample()
{
    return "/dev/ttyUSB0";
}

bool IsAbsoluteDevicePath(const std::string& text)
{
    return !text.empty() && text[0] == '/';
}

const char* AbsoluteDevicePathExample()
{
    return "/dev/serial/by-id/...";
}

bool ComPortPresent(int port)
{
    const std::string path = ComPortPath(port);
    return !path.empty() && access(path.c_str(), F_OK) == 0;  // follows an alias link
}

std::string PortLabel(const std::string& name, const std::string& path)
{
    // The device an alias leads to; for a dangling alias, the device it
    // names, which is what the user has to go and find.
    char target[PATH_MAX];
    if (realpath(path.c_str(), target) != nullptr)
        return name + " (" + target + ")";
    std::string shown = path;
    ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    if (n > 0) {
        target[n] = '\0';
        shown = target[0] == '/' ? std::string(target) : PortAliasDir() + "/" + target;
    }
    return name + " (" + shown + ")";
}

std::string PortOpenHint(const std::string& device, int error)
{
    struct stat st;
    const bool exists = stat(device.c_str(), &st) == 0;
    const std::string real = RealPath(device);
    if (error == EACCES && exists) {
        const std::string group = GroupName(st.st_gid);
        return real + " belongs to group " + group + ": run `sudo usermod -aG " + group +
               " $USER` and log in again";
    }
    if (error == EBUSY)
        return "another program has " + real + " open";
    if ((exists && !S_ISCHR(st.st_mode)) || error == ENOTTY)
        return real + " is not a terminal";
    return std::string();
}
