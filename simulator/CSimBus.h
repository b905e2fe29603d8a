// The meters on one RS-485 line. A request goes to every meter that hears
// its address (its own, or 0xF8, which every meter hears); when more than
// one answers, the line carries their answers laid over each other
// (SimOverlap): one garbled frame.
//
// Thread-safe. Meters are added, never removed, so a meter found here
// stays valid as long as the bus.
#pragma once

#include "CSimMeter.h"
#include "SimTypes.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

// What the line carries back for one request.
struct SimLineReply {
    std::vector<CSimMeter*> senders;  // the meters that answered; empty: silence
    std::vector<uint8_t> bytes;
    int waitMs = 0;        // the longest of the senders' waits
    int splitPauseMs = 0;  // a lone sender's split pause
};

class CSimBus {
public:
    CSimBus();  // one meter, SimMeterState defaults

    CSimBus(const CSimBus&) = delete;
    CSimBus& operator=(const CSimBus&) = delete;

    CSimMeter& First() { return *m_first; }
    void Add(const SimMeterState& state);
    size_t Count() const;
    // The meters whose stored address is `address` now, in the order added.
    std::vector<CSimMeter*> At(int address) const;

    void SetCalibrateMs(int ms) { m_calibrateMs = ms < 0 ? 0 : ms; }

    // Hands one request (checksum good) to the meters that hear it; lineOk
    // as for CSimMeter::Answer. With several senders the reply is sent
    // after the longest wait, in one piece.
    SimLineReply Hear(const std::vector<uint8_t>& frame, bool lineOk);

private:
    std::vector<CSimMeter*> All() const;

    mutable std::mutex m_mutex;  // guards m_meters
    std::vector<std::unique_ptr<CSimMeter>> m_meters;
    CSimMeter* m_first;
    std::atomic<int> m_calibrateMs{kSimDefaultCalibrateMs};
};
