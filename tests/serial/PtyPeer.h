// The far end of a pseudo-terminal, reachable as a COMn alias in a private
// configuration folder, for tests that talk to CSerial from the other side.
#pragma once

#include "TempConfig.h"

#include <cstdint>
#include <string>
#include <vector>

#include <termios.h>

class PtyPeer {
public:
    // Opens a pty and links COM<port> to it under a fresh XDG_CONFIG_HOME.
    explicit PtyPeer(int port);
    ~PtyPeer();

    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    int Port() const { return m_port; }
    const std::string& SlavePath() const { return m_slavePath; }

    void Send(const std::vector<uint8_t>& bytes);
    // Reads what has arrived within `waitMs`, up to `max` bytes.
    std::vector<uint8_t> Receive(unsigned max, int waitMs);
    // The line settings the port side has set. Read through the master, as
    // a second open of the slave meets the port's TIOCEXCL (EBUSY unless
    // root); on Linux the master reports the slave's termios.
    bool LineSettings(termios* tio) const;
    // Closes the master: the port side sees a hang-up.
    void HangUp();

private:
    TempConfig m_config;  // first: the alias goes in here
    int m_port;
    int m_master = -1;
    int m_keepSlave = -1;  // holds the slave open so a client close is no hang-up
    std::string m_slavePath;
};
