// Cuts request frames out of the bytes heard on the line, as the meter
// does: frames by SimFrameLength(), a frame whose checksum fails dropped one
// byte at a time (resync), noise that only looks like a frame's start
// skipped when a whole good frame follows, and an incomplete frame thrown
// away after kSimFrameGapMs of silence. Each byte keeps the time it was
// heard, so a frame knows when its first byte came.
//
// Line thread only. Holds at most one incomplete frame between calls.
#pragma once

#include "SimTypes.h"

#include <cstddef>
#include <cstdint>
#include <vector>

class CSimFramer {
public:
    void Push(const uint8_t* bytes, size_t count, SimClock::time_point heard);
    // The next frame with a good checksum and when its first byte was
    // heard; false when more bytes are needed.
    bool Next(std::vector<uint8_t>* frame, SimClock::time_point* firstHeard);
    // Throws away an incomplete frame once the line has been silent for the
    // frame gap. Returns how long (ms, rounded up) until that is due, or -1
    // when nothing is waiting.
    int ExpireIncomplete(SimClock::time_point now);
    void Clear();

private:
    void Drop(size_t count);

    std::vector<uint8_t> m_bytes;
    std::vector<SimClock::time_point> m_heard;  // one for each byte
};
