#include "CCliPort.h"

#include "PortMap.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool EndsWith(const std::string& text, const char* tail)
{
    const size_t n = std::strlen(tail);
    return text.size() >= n && text.compare(text.size() - n, n, tail) == 0;
}

// The serial layer's text ends with strerror() of the failing call.
bool FailedWith(const std::string& serialError, int error)
{
    return EndsWith(serialError, std::strerror(error));
}

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

}  // namespace

CCliPort::CCliPort(const CliPort& port) : m_port(port) {}

bool CCliPort::Open()
{
    // A path is opened as it is; a port number goes through the COMn mapping.
    m_meter.Serial().m_strDevicePath = m_port.path;
    const uint8_t number = static_cast<uint8_t>(m_port.path.empty() ? m_port.number : 0);
    const bool opened = m_meter.OpenPort(number, kBaudRate) == 1;
    if (opened)
        m_openError.clear();
    else
        m_openError = m_meter.Serial().LastError();
    return opened;
}

std::string CCliPort::Label() const
{
    return m_port.path.empty() ? ComPortLabel(m_port.number) : m_port.path;
}

std::string CCliPort::Device() const
{
    return m_port.path.empty() ? ComPortPath(m_port.number) : m_port.path;
}

std::string OpenFailureText(const std::string& label, const std::string& device,
                            const std::string& serialError)
{
    std::string text = "cannot open " + label + ": " + serialError;
    struct stat st;
    const bool exists = stat(device.c_str(), &st) == 0;
    const std::string real = RealPath(device);
    if (FailedWith(serialError, EACCES) && exists) {
        const std::string group = GroupName(st.st_gid);
        text += "\n" + real + " belongs to group " + group + ": run `sudo usermod -aG " + group +
                " $USER` and log in again";
    } else if (FailedWith(serialError, EBUSY)) {
        text += "\nanother program has " + real + " open";
    } else if ((exists && !S_ISCHR(st.st_mode)) || FailedWith(serialError, ENOTTY)) {
        text += "\n" + real + " is not a terminal";
    }
    return text;
}
