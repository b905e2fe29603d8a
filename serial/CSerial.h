// One serial port: open by number with the settings held in the public
// fields, bounded reads and writes, a port lock, purge after failure.
//
// Results are 1 (success) or 0 (failure); every failure, and every short
// transfer, leaves a text in LastError(). Nothing is thrown.
//
// Time limits of a transfer (the meter protocol depends on them):
//   read   ends when `count` bytes arrived, 20 ms after a byte with no next
//          one, or 20 ms x count + 1000 ms in all (m_dwReadTotalLimitMs
//          replaces that total when set); an outer wait of 10000 ms turns
//          a longer read into a failure;
//   write  ends when all bytes are queued, or after 10 ms x count + 1000 ms
//          (a short write); an outer wait of 2000 ms turns a longer one into
//          a failure.
// A short transfer is not a failure and purges nothing; a failed one purges
// both directions. Open() starts with an empty input queue: whatever an
// earlier program or exchange left there (a late answer, a stray byte) is
// thrown away, never taken as an answer.
//
// A transfer can be cancelled from outside, as a pending Windows transfer
// can: SetCancel() names a stop token that, once raised, fails the transfer
// in progress at once (and every later one while it stays raised), with
// the system's "operation cancelled" error as the reason.
//
// On Linux (CSerial_posix.cpp):
//   - the port number goes through ComPortPath() (PortMap.h);
//   - "exclusive" is TIOCEXCL plus flock(LOCK_EX|LOCK_NB): root ignores
//     TIOCEXCL, the flock keeps a second program out all the same (only
//     terminals are locked; anything else fails at its line settings);
//   - overlapped mode is a non-blocking descriptor driven by poll() with
//     deadlines; plain mode applies the same limits except the outer waits;
//   - a hang-up (adapter pulled, far end of a pty closed) shows as "readable
//     but 0 bytes" and fails the transfer with an I/O error, never a spin;
//   - a stop is ECANCELED ("Operation canceled");
//   - stop-bit code 1 (one and a half) is CSTOPB, as Linux has only 1 and 2;
//   - DSR sensitivity, DSR output flow and the end-of-file character have no
//     termios counterpart; they are accepted and have no effect;
//   - DTR/RTS codes 0 and 1 drop or raise the line, code 2 on DTR raises it,
//     code 2 on RTS is CRTSCTS, code 3 on RTS asks for the driver's RS-485
//     direction control (TIOCSRS485). Devices without modem lines (a pty)
//     refuse these ioctls; that is not an error.
//   - LastErrno() is an errno; texts are strerror's, UTF-8.
//
// On Windows (CSerial_win32.cpp):
//   - the port number opens \\.\COMn (every n, not only 1-9), exclusively
//     (no sharing) and overlapped when overlapped mode is on;
//   - the time limits are the port's COMMTIMEOUTS; the outer waits are the
//     waits for the transfer's event; SetupComm asks for 1024-byte queues;
//   - a failed transfer clears the error state and purges both directions
//     (PurgeComm, abort and clear); a stop cancels the pending transfer
//     (CancelIo) and waits for it to end before the call returns;
//   - every DCB item is set as the fields say, abort-on-error on; the
//     others keep what the driver reported;
//   - LastErrno() is GetLastError()'s code; texts are FormatMessage's in
//     the user's language, as UTF-8.
#pragma once

#include "CStopToken.h"

#include <cstdint>
#include <mutex>
#include <string>

class CSerial {
public:
    CSerial();
    virtual ~CSerial();

    CSerial(const CSerial&) = delete;
    CSerial& operator=(const CSerial&) = delete;

    // 1 if the port is open. An open port is closed and reopened.
    int Open();
    // Waits for a transfer in progress, then closes. Safe when closed.
    void Close();
    // 1 when every byte (after the 1024-byte cap) was written.
    int Write(const uint8_t* buffer, uint32_t count);
    // 1 when the read completed, even with fewer bytes than asked;
    // *received is meaningful only then.
    int Read(uint8_t* buffer, uint32_t count, uint32_t* received);

    bool IsOpen() const;
    const std::string& LastError() const { return m_strLastError; }
    // The system's error code behind LastError() (errno, or GetLastError()
    // on Windows); 0 when the text names no system error (a short
    // transfer). Set and cleared together with the text.
    int LastErrno() const { return m_nLastErrno; }
    // A stop token that, while raised, fails every transfer at once with
    // the system's "cancelled" error. nullptr for none. Not owned.
    void SetCancel(const CStopToken* stop) { m_cancel = stop; }
    const CStopToken* Cancel() const { return m_cancel; }
    // Sleeps `ms`, or less when the stop token is raised meanwhile; true
    // when it was.
    bool PauseUnlessCancelled(int ms) const;
    // The device path of the last Open, for messages.
    const std::string& DevicePath() const { return m_strDevice; }

    static constexpr uint32_t kMaxTransfer = 1024;
    static constexpr int kReadIntervalMs = 20;
    static constexpr int kReadTotalPerByteMs = 20;
    static constexpr int kReadTotalConstantMs = 1000;
    static constexpr int kWriteTotalPerByteMs = 10;
    static constexpr int kWriteTotalConstantMs = 1000;
    static constexpr int kReadWaitMs = 10000;
    static constexpr int kWriteWaitMs = 2000;

private:
    std::string m_strLastError;
    int m_nLastErrno = 0;

public:
    // Settings, read by Open() as they stand.
    int32_t m_nPort = 0;            // n of "COMn"
    uint32_t m_dwBaudRate = 19200;  // bits per second
    uint32_t m_bParityCheck = 0;    // INPCK
    uint8_t m_byParity = 0;         // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t m_byDataBits = 8;       // 5..8
    uint8_t m_byStopBits = 0;       // 0 one, 1 one and a half, 2 two
    uint32_t m_bOverlapped = 1;     // non-blocking with deadlines
    uint32_t m_bDsrSensitivity = 0;
    uint32_t m_bCtsOutFlow = 0;  // CRTSCTS
    uint32_t m_bDsrOutFlow = 0;
    uint32_t m_dwLineControl = 0;  // bits 0-1 DTR code, bits 2-3 RTS code
    uint32_t m_bBinary = 1;
    uint8_t m_chEof = 10;
    // When not empty, this device is opened instead of the one that the
    // port number maps to (for callers that were handed a path).
    std::string m_strDevicePath;
    // Total limit of a read in ms, for a caller that knows its answer comes
    // quickly or not at all (a scan of the addresses on a line). 0: the
    // meter's 20 ms x count + 1000 ms; at most the 10000 ms outer wait. The
    // 20 ms between bytes holds either way. Read by each Read() as it stands.
    uint32_t m_dwReadTotalLimitMs = 0;
    // The whole limit of a read of `count` bytes in ms, as the rule above.
    int ReadTotalMs(uint32_t count) const;
    // The meter's own limit, with no caller's limit set.
    static constexpr int MeterReadTotalMs(uint32_t count)
    {
        return kReadTotalPerByteMs * static_cast<int>(count) + kReadTotalConstantMs;
    }

private:
    enum class Direction { Read, Write };

    // The platform's part (CSerial_posix.cpp, CSerial_win32.cpp).
    int Transfer(Direction dir, uint8_t* buffer, uint32_t count, uint32_t* done);
    void Purge();  // after a failed transfer: error state cleared, both directions
    void SetLastError(const char* label, int error);
    void SetCancelledError(const char* label);
#ifdef _WIN32
    int ApplyTimeouts(uint32_t readTotalLimitMs);
    int ApplyCommState();
    int WaitForTransfer(Direction dir, void* overlapped, uint32_t* done);
#else
    int ApplyLineSettings();
    void ApplyModemLines();
#endif

    void SetLastText(const char* text, int error);

    // An outer wait that ran out (the transfer never ended).
    static constexpr const char* kTimedOutText =
        "The time-out interval elapsed, and the object's state is nonsignaled.";

#ifdef _WIN32
    void* m_hPort = nullptr;  // HANDLE; nullptr while closed (never INVALID_HANDLE_VALUE)
    void* m_hReadEvent = nullptr;
    void* m_hWriteEvent = nullptr;
    uint32_t m_dwAppliedReadLimitMs = 0;  // the read total limit the port's time-outs hold
#else
    int m_fd = -1;
#endif
    const CStopToken* m_cancel = nullptr;
    std::string m_strDevice;
    std::mutex m_portLock;  // held for each read, write and close
};
