#include "CSimFramer.h"

#include "Crc16.h"
#include "SimProtocol.h"

#include <algorithm>

namespace {

bool GoodFrameAt(const std::vector<uint8_t>& bytes, size_t at)
{
    const int n = SimFrameLength(bytes.data() + at, bytes.size() - at);
    return n > 0 && n <= 255 && CheckCrc16(bytes.data() + at, static_cast<uint8_t>(n));
}

}  // namespace

void CSimFramer::Push(const uint8_t* bytes, size_t count, SimClock::time_point heard)
{
    m_bytes.insert(m_bytes.end(), bytes, bytes + count);
    m_heard.insert(m_heard.end(), count, heard);
}

void CSimFramer::Drop(size_t count)
{
    m_bytes.erase(m_bytes.begin(), m_bytes.begin() + static_cast<long>(count));
    m_heard.erase(m_heard.begin(), m_heard.begin() + static_cast<long>(count));
}

bool CSimFramer::Next(std::vector<uint8_t>* frame, SimClock::time_point* firstHeard)
{
    while (!m_bytes.empty()) {
        const int n = SimFrameLength(m_bytes.data(), m_bytes.size());
        if (n == 0) {
            // Incomplete, or noise that only looks like a frame's start:
            // if a whole good frame follows, skip to it.
            size_t next = 1;
            while (next + 4 <= m_bytes.size() && !GoodFrameAt(m_bytes, next))
                ++next;
            if (next + 4 > m_bytes.size())
                return false;
            Drop(next);
            continue;
        }
        if (n < 0 || !GoodFrameAt(m_bytes, 0)) {
            Drop(1);  // resync one byte on
            continue;
        }
        frame->assign(m_bytes.begin(), m_bytes.begin() + n);
        *firstHeard = m_heard.front();
        Drop(static_cast<size_t>(n));
        return true;
    }
    return false;
}

int CSimFramer::ExpireIncomplete(SimClock::time_point now)
{
    if (m_bytes.empty())
        return -1;
    const auto left = m_heard.back() + std::chrono::milliseconds(kSimFrameGapMs) - now;
    if (left <= SimClock::duration::zero()) {
        Clear();
        return -1;
    }
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

void CSimFramer::Clear()
{
    m_bytes.clear();
    m_heard.clear();
}
