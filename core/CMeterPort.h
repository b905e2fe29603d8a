// The port of one meter job and the meter link behind it.
//
// Choose() fixes the device for the whole job: a COMn name goes through the
// port mapping once, and a measurement that reconnects reopens that same
// device. A COMn alias deleted meanwhile then fails the reopen, instead of
// the name falling back to the fixed table and polling quietly going on
// against another device.
//
// Every command returns a MeterOutcome. A command while the port is not open
// sends nothing and returns the failure that left it closed, so what a
// person reads is why the reopen failed, not "Bad file descriptor".
//
// Not thread-safe: one job thread uses it at a time, as the link itself.
#pragma once

#include "CModBusRtu.h"
#include "CStopToken.h"
#include "MeterOutcome.h"
#include "PortMap.h"

#include <chrono>
#include <cstdint>
#include <string>

class CMeterPort {
public:
    static constexpr uint16_t kMeterBaud = 9600;

    CMeterPort() = default;
    CMeterPort(const CMeterPort&) = delete;
    CMeterPort& operator=(const CMeterPort&) = delete;

    // Looks the port up now and keeps the device for every Open and Reopen
    // until the next Choose.
    void Choose(const PortChoice& choice, uint16_t baud = kMeterBaud);
    // Where requests go: the general address 0xF8 (the default) or a meter's own.
    void SetUnit(uint8_t address) { m_meter.SetSlaveAddress(address); }
    // The longest wait for an answer in ms; 0 (the default) is the meter's
    // own limit of 20 ms a byte + 1000 ms. A scan of a line's addresses
    // shortens it, as an address without a meter answers nothing.
    void SetAnswerLimitMs(uint32_t ms) { m_meter.SetAnswerLimitMs(ms); }
    // Transfers and the calibrate pause end at once while `stop` is raised.
    void SetCancel(const CStopToken* stop);

    // Opens with the meter's line settings; a failure is stage kOpen.
    MeterOutcome Open();
    // Closes, then opens again; a failure is stage kReopen.
    MeterOutcome Reopen();
    void Close() { m_meter.Serial().Close(); }
    bool IsOpen() const { return m_meter.Serial().IsOpen(); }

    // Listens until `deadline` and drops whatever arrives: the rest of a
    // spoiled answer, or a late one, must never be read as the next answer.
    // Waits in the serial layer's reads under the caller's total limit (the
    // answer limit of the commands is kept), so it never spins; the limit
    // being whole milliseconds, it returns less than 1 ms early rather than
    // late. *dropped gets the bytes thrown away. Fails as a read does
    // (kMeterTransport with the reason; a stop request is one too).
    MeterOutcome DiscardUntil(std::chrono::steady_clock::time_point deadline,
                              unsigned* dropped = nullptr);
    // Listens until `until`, then on until no byte came for `quiet`, and
    // drops it all; a line that never falls quiet is left one answer limit
    // after `until`. Before a request on a shared line, with the frame gap
    // for both: a late byte from before is dropped, not read as the answer.
    MeterOutcome DrainLine(std::chrono::steady_clock::time_point until,
                           std::chrono::steady_clock::duration quiet);
    // How long a command waits for an answer of `bytes` bytes: the answer
    // limit when one is set, else the meter's 20 ms a byte + 1000 ms.
    int AnswerLimitMs(unsigned bytes) const;
    // The 3.5-character silence each request waits for, at the port's
    // settings (known once the port is open).
    std::chrono::microseconds FrameGap() const;

    // One meter of a shared line: its reading asked at `address`, after the
    // frame gap spent listening, so that a late byte from before is dropped,
    // not read as this answer. *asked gets when the request was due.
    MeterOutcome ReadMeasurementsFrom(uint8_t address, MeterReading* reading,
                                      std::chrono::steady_clock::time_point* asked = nullptr);
    MeterOutcome ReadMeasurements(MeterReading* reading);
    MeterOutcome ReadParameters(Settings* settings);
    MeterOutcome WriteParameters(const Settings& settings);
    MeterOutcome ResetEnergy();
    MeterOutcome Calibrate();

    // "COM3 (/dev/ttyUSB2)" for a COMn port, the path as given otherwise.
    std::string Label() const;
    // What is opened: the alias or table device of COMn, or the path.
    const std::string& Device() const { return m_device; }
    // The failure in words, with the port's label and any hint.
    std::string Describe(const MeterOutcome& outcome) const;

    CModBusRtu& Meter() { return m_meter; }

private:
    MeterOutcome OpenAs(MeterOutcome::Stage stage);
    // The outcome of one command: `result`, and for a transport failure the
    // serial layer's reason.
    MeterOutcome Finish(int result);
    // False, with *outcome the reason, when the port is not open.
    bool Ready(MeterOutcome* outcome) const;

    CModBusRtu m_meter;
    PortChoice m_choice;
    uint16_t m_baud = kMeterBaud;
    std::string m_device;
    MeterOutcome m_closedBy;  // why the port is not open, after a failed (re)open
};
