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

std::string Absolute(const std::string& path)
{
    if (!path.empty() && path[0] == '/')
        return path;
    char cwd[PATH_MAX];
    return getcwd(cwd, sizeof cwd) != nullptr ? std::string(cwd) + "/" + path : path;
}

}  // namespace

CCliPort::CCliPort(const CliPort& port) : m_port(port) {}

bool CCliPort::Open()
{
    std::string aliasError;
    const bool opened = m_port.path.empty()
                            ? m_meter.OpenPort(static_cast<uint8_t>(m_port.number), kBaudRate) == 1
                            : OpenThroughAlias(&aliasError);
    if (opened)
        m_openError.clear();
    else
        m_openError = aliasError.empty() ? m_meter.Serial().LastError() : aliasError;
    return opened;
}

bool CCliPort::OpenThroughAlias(std::string* aliasError)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string base = (tmp != nullptr && tmp[0] == '/') ? tmp : "/tmp";
    std::string dir = base + "/quorvan-cli-XXXXXX";
    if (mkdtemp(dir.data()) == nullptr) {
        *aliasError = std::string("cannot make a private port alias in ") + base + ": " +
                      std::strerror(errno);
        return false;
    }
    // PortAliasDir() reads the variable on each call; nothing else here uses it.
    setenv("XDG_CONFIG_HOME", dir.c_str(), 1);
    const std::string config = dir + "/quorvan-master";
    const std::string ports = config + "/ports";
    const std::string alias = ports + "/COM1";
    bool opened = false;
    if (mkdir(config.c_str(), 0700) == 0 && mkdir(ports.c_str(), 0700) == 0 &&
        symlink(Absolute(m_port.path).c_str(), alias.c_str()) == 0) {
        opened = m_meter.OpenPort(1, kBaudRate) == 1;
    } else {
        *aliasError = std::string("cannot make a private port alias: ") + std::strerror(errno);
    }
    // The open descriptor does not need the alias any more.
    unlink(alias.c_str());
    rmdir(ports.c_str());
    rmdir(config.c_str());
    rmdir(dir.c_str());
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
