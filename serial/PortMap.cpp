#include "PortMap.h"

#include <sys/stat.h>
#include <unistd.h>
#include <climits>
#include <cstdlib>

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

static std::string FixedDevice(int port)
{
    if (port <= 4)
        return "/dev/ttyUSB" + std::to_string(port - 1);
    if (port <= 8)
        return "/dev/ttyACM" + std::to_string(port - 5);
    if (port <= 12)
        return "/dev/ttyS" + std::to_string(port - 9);
    return "/dev/ttyUSB" + std::to_string(port - 1);
}

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

std::string ComPortLabel(int port)
{
    return PortLabel("COM" + std::to_string(port), ComPortPath(port));
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

int ParseComPortName(const std::string& name)
{
    if (name.size() < 4 || name.size() > 6)
        return 0;
    for (int i = 0; i < 3; ++i)
        if ((name[i] & ~0x20) != "COM"[i])
            return 0;
    int port = 0;
    for (size_t i = 3; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9')
            return 0;
        port = port * 10 + (name[i] - '0');
    }
    if (name[3] == '0' || port > kMaxComPort)
        return 0;
    return port;
}
