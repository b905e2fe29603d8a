// The simulated bus's request side on an arbitrary byte stream: frames cut
// with SimFrameLength as the meters do, each good one answered by SimAnswer
// of two meters on one line, their answers overlaid by SimOverlap when both
// speak. Input: the first meter's stored address (the second one's is 248
// minus it), then the bytes heard.
#include "Crc16.h"
#include "SimProtocol.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace {

void Require(bool condition)
{
    if (!condition)
        std::abort();
}

void CheckAnswer(const SimMeterState& before, const SimMeterState& after,
                 const std::vector<uint8_t>& frame, const std::vector<uint8_t>& answer)
{
    if (answer.empty())
        return;
    Require(answer.size() >= 4 && answer.size() <= 255);
    Require(answer[0] == frame[0]);
    Require(CheckCrc16(answer.data(), static_cast<uint8_t>(answer.size())));
    const bool exception = answer[1] == (frame[1] | 0x80);
    Require(exception || answer[1] == frame[1]);
    // A refused request changes nothing; the meter keeps settings it accepts.
    if (exception) {
        Require(answer.size() == 5 && answer[2] >= 1 && answer[2] <= 3);
        Require(after.address == before.address && after.energy == before.energy &&
                after.highVoltage == before.highVoltage && after.lowVoltage == before.lowVoltage &&
                after.currentRange == before.currentRange);
    }
    Require(after.address >= 1 && after.address <= 247 && after.currentRange <= 3);
}

// Two answers on the line at once never make a frame a master would take.
void CheckOverlap(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b)
{
    const std::vector<uint8_t> line = SimOverlap({a, b});
    Require(line.size() == std::max(a.size(), b.size()));
    Require(line.size() > 255 || !CheckCrc16(line.data(), static_cast<uint8_t>(line.size())));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    SimMeterState meters[2];
    meters[0].address = static_cast<uint16_t>(data[0] % 247 + 1);
    meters[1].address = static_cast<uint16_t>(248 - meters[0].address);
    for (auto& m : meters)
        m.fixed = true;
    // Heap copy of exactly the stream: a read past it is a finding.
    std::vector<uint8_t> rx(data + 1, data + size);

    size_t at = 0;
    while (at < rx.size()) {
        const size_t left = rx.size() - at;
        const int n = SimFrameLength(rx.data() + at, left);
        Require(n >= -1 && n <= static_cast<int>(left));
        if (n == 0)
            break;  // the meters wait for more, or for the gap
        if (n < 0 || n > 255 || !CheckCrc16(rx.data() + at, static_cast<uint8_t>(n))) {
            ++at;  // resync one byte on
            continue;
        }
        Require(n >= 4);
        const std::vector<uint8_t> frame(rx.begin() + static_cast<long>(at),
                                         rx.begin() + static_cast<long>(at) + n);
        at += static_cast<size_t>(n);
        std::vector<uint8_t> answers[2];
        for (int i = 0; i < 2; ++i) {
            const SimMeterState before = meters[i];
            answers[i] = SimAnswer(meters[i], frame.data(), frame.size());
            CheckAnswer(before, meters[i], frame, answers[i]);
        }
        if (!answers[0].empty() && !answers[1].empty())
            CheckOverlap(answers[0], answers[1]);
    }
    return 0;
}
