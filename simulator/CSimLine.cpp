#include "CSimLine.h"

#include "CSimBus.h"
#include "CSimPty.h"

#include <algorithm>

CSimLine::CSimLine(CSimPty& pty, CSimBus& bus) : m_pty(pty), m_bus(bus) {}

CSimLine::~CSimLine()
{
    Stop();
}

void CSimLine::Start()
{
    m_framer.Clear();
    m_lineFree = SimClock::time_point{};
    m_running = true;
    m_thread = std::thread(&CSimLine::Run, this);
}

void CSimLine::Stop()
{
    if (m_thread.joinable()) {
        m_pty.RequestStop();
        m_thread.join();
        m_pty.ClearStop();
    }
    m_running = false;
}

void CSimLine::Run()
{
    uint8_t buf[512];
    std::vector<uint8_t> frame;
    for (;;) {
        const int timeout = m_framer.ExpireIncomplete(SimClock::now());
        const CSimPty::Event event = m_pty.Wait(timeout);
        if (event == CSimPty::Event::Stop)
            return;
        if (event == CSimPty::Event::Input) {
            const size_t n = m_pty.Read(buf, sizeof buf);
            m_framer.Push(buf, n, SimClock::now());
        }
        SimClock::time_point firstHeard;
        while (m_framer.Next(&frame, &firstHeard))
            if (!Carry(frame, firstHeard))
                return;
    }
}

bool CSimLine::Carry(const std::vector<uint8_t>& frame, SimClock::time_point firstHeard)
{
    const long byteNs = m_pty.LineByteNs();
    const long pace = m_pacing.load() ? byteNs : 0;
    if (pace > 0) {
        // The pty hands the request over at once; the wire would not.
        const auto wire = std::chrono::nanoseconds(pace * static_cast<long>(frame.size()));
        m_lineFree = std::max(firstHeard, m_lineFree) + wire;
        if (m_pty.WaitUntil(m_lineFree))
            return false;
    }
    const SimLineReply reply = m_bus.Hear(frame, byteNs != 0);
    if (reply.senders.empty())
        return true;
    if (reply.waitMs > 0 &&
        m_pty.WaitUntil(SimClock::now() + std::chrono::milliseconds(reply.waitMs)))
        return false;

    const uint8_t* bytes = reply.bytes.data();
    const size_t count = reply.bytes.size();
    if (reply.splitPauseMs > 0) {
        const size_t half = count / 2;
        if (!m_pty.Send(bytes, half, pace) ||
            m_pty.WaitUntil(SimClock::now() + std::chrono::milliseconds(reply.splitPauseMs)) ||
            !m_pty.Send(bytes + half, count - half, pace))
            return false;
    } else if (!m_pty.Send(bytes, count, pace)) {
        return false;
    }
    m_lineFree = SimClock::now();
    for (CSimMeter* sender : reply.senders)
        sender->CountAnswer();
    return true;
}
