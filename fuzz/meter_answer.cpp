// The meter's answer check and register-block copy on anything a line can
// deliver. Input: expected length, received count, then the bytes read.
#include "CModBusRtu.h"
#include "Crc16.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void Require(bool condition)
{
    if (!condition)
        std::abort();
}

// The copy into a block with guard bytes on both sides: a whole block or
// nothing at all.
void CheckCopy(const uint8_t* answer, uint8_t received, unsigned blockSize)
{
    constexpr unsigned kGuard = 8;
    constexpr uint8_t kFill = 0xA5;
    uint8_t area[kGuard + 16 + kGuard];
    std::memset(area, kFill, sizeof area);
    uint8_t* block = area + kGuard;

    const bool copied = CopyRegisterBlock(answer, received, block, blockSize);
    Require(copied == (received == blockSize + 5 && answer[2] == blockSize));
    const unsigned count = copied ? blockSize : 0;
    Require(count == 0 || std::memcmp(block, answer + 3, count) == 0);
    for (unsigned i = 0; i < sizeof area; ++i)
        if (i < kGuard || i >= kGuard + count)
            Require(area[i] == kFill);
}

// At a meter's own address nothing passes that the general address would
// refuse, and no answer from another address or function passes at all.
void CheckOwnAddress(const uint8_t* answer, uint8_t expected, uint8_t received, int general)
{
    constexpr uint8_t kAddress = 5, kFunction = 0x04;
    const int result = CheckMeterAnswer(answer, expected, received, kAddress, kFunction);
    if (general != kMeterOk && general != kMeterLength)
        Require(result == general || result == kMeterLength);
    if (result == kMeterOk)
        Require(general == kMeterOk && answer[0] == kAddress && answer[1] == kFunction);
    if (result > 0)
        Require(answer[0] == kAddress && answer[1] == (kFunction | 0x80));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const uint8_t expected = data[0];
    const uint8_t received = static_cast<uint8_t>(std::min<size_t>(data[1], size - 2));
    // Exactly what was received, on the heap: a read past it is a finding.
    const std::vector<uint8_t> line(data + 2, data + 2 + received);
    const uint8_t* answer = line.data();

    const int result = CheckMeterAnswer(answer, expected, received);
    const bool exception = received >= 3 && answer[1] > 0x80;
    if (result == kMeterOk)
        Require(!exception && received == expected && CheckCrc16(answer, received));
    else if (result > 0)
        Require(exception && answer[2] == result);
    else
        Require(result == kMeterLength || result == kMeterChecksum);

    CheckOwnAddress(answer, expected, received, result);
    CheckCopy(answer, received, sizeof(MeterReading::bytes));
    CheckCopy(answer, received, sizeof(MeterParameters::bytes));
    return 0;
}
