// Port names as people write them, the same on every system.
#include "PortMap.h"

std::string ComPortLabel(int port)
{
    return PortLabel("COM" + std::to_string(port), ComPortPath(port));
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
