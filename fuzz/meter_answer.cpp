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

// The copy into a block with guard bytes on both sides.
void CheckCopy(const uint8_t* answer, uint8_t received, unsigned blockSize)
{
    constexpr unsigned kGuard = 8;
    constexpr uint8_t kFill = 0xA5;
    uint8_t area[kGuard + 16 + kGuard];
    std::memset(area, kFill, sizeof area);
    uint8_t* block = area + kGuard;

    const unsigned copied = CopyRegisterBlock(answer, received, block, blockSize);
    Require(copied <= blockSize);
    Require(received >= 5 ? copied <= received - 5u && copied <= answer[2] : copied == 0);
    Require(copied == 0 || std::memcmp(block, answer + 3, copied) == 0);
    for (unsigned i = 0; i < sizeof area; ++i)
        if (i < kGuard || i >= kGuard + copied)
            Require(area[i] == kFill);
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

    CheckCopy(answer, received, sizeof(MeterReading::bytes));
    CheckCopy(answer, received, sizeof(MeterParameters::bytes));
    return 0;
}
