// The meters' side of the line: a thread that reads requests off the pty,
// hands them to the bus and sends back what the bus answers.
//
// With pacing on, the answer goes out at the line's pace.
//
// Start/Stop from one controlling thread; SetPacing and Running from any.
#pragma once

#include "CSimFramer.h"
#include "SimTypes.h"

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

class CSimBus;
class CSimPty;

class CSimLine {
public:
    CSimLine(CSimPty& pty, CSimBus& bus);  // both outlive the line
    ~CSimLine();                           // Stop()

    CSimLine(const CSimLine&) = delete;
    CSimLine& operator=(const CSimLine&) = delete;

    void Start();  // the pty is open
    // Returns promptly, even mid-answer or mid-calibration.
    void Stop();
    bool Running() const { return m_running.load(); }
    bool Started() const { return m_thread.joinable(); }

    void SetPacing(bool on) { m_pacing = on; }

private:
    void Run();
    // One frame with a good checksum. False when asked to stop.
    bool Carry(const std::vector<uint8_t>& frame);

    CSimPty& m_pty;
    CSimBus& m_bus;
    std::thread m_thread;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_pacing{true};

    CSimFramer m_framer;  // line thread only
};
