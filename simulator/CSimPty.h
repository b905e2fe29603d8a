// The pseudo-terminal the meter answers on: its descriptors, the count of
// clients that hold its far end, and sending at the line's pace.
//
// The meter keeps a descriptor on the slave end so that a client closing
// the port does not hang up the master side. As that keeps the tty's input
// queue alive between clients, opens and closes of the slave are watched
// (inotify) so that a closed port behaves like a real one: bytes due while
// no client holds the port are not sent, and what a client left unread is
// flushed when the last client closes and when the first one opens.
//
// Threads: Open, Close and ClearStop from the controlling thread while the
// line thread is not running; RequestStop, DevicePath and LastDevicePath
// from any thread; the rest from the line thread only.
#pragma once

#include "SimTypes.h"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

class CSimPty {
public:
    CSimPty();
    ~CSimPty();  // Close()

    CSimPty(const CSimPty&) = delete;
    CSimPty& operator=(const CSimPty&) = delete;

    // A new pty, raw 9600 8N1 until a client sets the line. False with
    // *error on failure.
    bool Open(std::string* error);
    void Close();
    bool IsOpen() const { return m_master >= 0; }
    std::string DevicePath() const;      // /dev/pts/N, empty when closed
    std::string LastDevicePath() const;  // the last one opened, kept after Close()

    // Wakes the line thread's waits and keeps them short until ClearStop().
    void RequestStop();
    void ClearStop();

    enum class Event { Input, Stop, Timeout };
    // Waits for bytes from a client, a stop request, or timeoutMs (-1: no
    // limit). Keeps the client count while it waits.
    Event Wait(int timeoutMs);
    // Bytes a client sent (0 when none); a master that fails is not
    // waited on again.
    size_t Read(uint8_t* buffer, size_t size);
    // Nanoseconds a byte takes on the line as the client set it (start bit +
    // data bits + parity + stop bits), or 0 when the line is not the meter's
    // 9600 baud 8N2.
    long LineByteNs() const;
    // Writes `count` bytes, each when it would have finished arriving on a
    // line of `byteNs` a byte (0: at once). Bytes due while no client holds
    // the port are lost, as on a real line. False when asked to stop.
    bool Send(const uint8_t* bytes, size_t count, long byteNs);
    // Waits until `deadline`; true when asked to stop.
    bool WaitUntil(SimClock::time_point deadline);

private:
    bool StopRequested() const;
    void DrainInotify();

    int m_wake = -1;      // eventfd: stop requested
    int m_wakeErrno = 0;  // why it could not be made
    int m_master = -1;
    int m_ownSlave = -1;
    int m_inotify = -1;
    bool m_masterGone = false;
    int m_clients = 0;  // opens of the slave other than ours

    mutable std::mutex m_pathMutex;  // guards the two paths
    std::string m_device;
    std::string m_lastDevice;
};
