#include "CSimBus.h"

#include "SimProtocol.h"

#include <algorithm>

CSimBus::CSimBus()
{
    m_meters.push_back(std::make_unique<CSimMeter>(SimMeterState{}));
    m_first = m_meters.front().get();
}

void CSimBus::Add(const SimMeterState& state)
{
    auto meter = std::make_unique<CSimMeter>(state);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_meters.push_back(std::move(meter));
}

size_t CSimBus::Count() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_meters.size();
}

std::vector<CSimMeter*> CSimBus::All() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<CSimMeter*> all;
    for (const auto& meter : m_meters)
        all.push_back(meter.get());
    return all;
}

std::vector<CSimMeter*> CSimBus::At(int address) const
{
    std::vector<CSimMeter*> found;
    for (CSimMeter* meter : All())
        if (meter->Address() == address)
            found.push_back(meter);
    return found;
}

SimLineReply CSimBus::Hear(const std::vector<uint8_t>& frame, bool lineOk)
{
    SimLineReply line;
    std::vector<std::vector<uint8_t>> answers;
    for (CSimMeter* meter : All()) {
        if (!meter->Hears(frame[0]))
            continue;
        SimReply reply = meter->Answer(frame, lineOk, m_calibrateMs.load());
        if (!reply.answers)
            continue;
        line.senders.push_back(meter);
        line.waitMs = std::max(line.waitMs, reply.waitMs);
        line.splitPauseMs = reply.splitPauseMs;
        answers.push_back(std::move(reply.bytes));
    }
    if (line.senders.size() > 1)
        line.splitPauseMs = 0;
    line.bytes = SimOverlap(answers);
    return line;
}
