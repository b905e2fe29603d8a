// The meters' side of the line: a thread that reads requests off the pty,
// hands them to the bus and sends back what the bus answers.
//
// With pacing on, the line is modelled whole: a request takes its wire time
// to arrive (11 bits a byte at 9600 8N2, from its first byte, and not
// before the line is free of the frames before it), only then do the
// meters hear it, and the answer goes out at the line's pace; so a master
// cannot poll faster than request + answer on the wire. Pacing off: the
// meters hear a request as soon as it is complete and answer at once.
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
    bool Carry(const std::vector<uint8_t>& frame, SimClock::time_point firstHeard);

    CSimPty& m_pty;
    CSimBus& m_bus;
    std::thread m_thread;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_pacing{true};

    // Line thread only.
    CSimFramer m_framer;
    SimClock::time_point m_lineFree{};  // when the last frame left the wire
};
