#include "PtyPeer.h"

#include "PortMap.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

PtyPeer::PtyPeer(int port) : m_port(port)
{
    if (m_config.Dir().empty())
        throw std::runtime_error("mkdtemp");
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0)
        throw std::runtime_error("posix_openpt");
    m_slavePath = ptsname(m_master);
    m_keepSlave = open(m_slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);

    std::filesystem::create_directories(PortAliasDir());
    std::filesystem::create_symlink(m_slavePath, PortAliasDir() + "/COM" + std::to_string(port));
}

PtyPeer::~PtyPeer()
{
    HangUp();
}

void PtyPeer::Send(const std::vector<uint8_t>& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(m_master, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            throw std::runtime_error("pty write");
        done += static_cast<size_t>(n);
    }
}

std::vector<uint8_t> PtyPeer::Receive(unsigned max, int waitMs)
{
    std::vector<uint8_t> bytes;
    pollfd pfd{m_master, POLLIN, 0};
    while (bytes.size() < max && poll(&pfd, 1, waitMs) > 0 && (pfd.revents & POLLIN)) {
        uint8_t buf[256];
        ssize_t n = read(m_master, buf, std::min<size_t>(sizeof buf, max - bytes.size()));
        if (n <= 0)
            break;
        bytes.insert(bytes.end(), buf, buf + n);
        waitMs = 20;  // what belongs together arrives together
    }
    return bytes;
}

bool PtyPeer::LineSettings(termios* tio) const
{
    return tcgetattr(m_master, tio) == 0;
}

void PtyPeer::HangUp()
{
    if (m_keepSlave >= 0)
        close(m_keepSlave);
    if (m_master >= 0)
        close(m_master);
    m_keepSlave = m_master = -1;
}
