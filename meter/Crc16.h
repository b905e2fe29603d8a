// CRC-16/MODBUS (reflected polynomial 0xA001, start 0xFFFF, no final XOR),
// table-driven with the classic pair of 256-entry tables, built at compile
// time.
#pragma once

#include <array>
#include <cstdint>

namespace crc16_detail {

// Reflected CRC-16 (0xA001) of the single byte i, starting from zero.
constexpr uint16_t SingleByte(uint8_t i)
{
    uint16_t crc = i;
    for (int bit = 0; bit < 8; ++bit)
        crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001)
                        : static_cast<uint16_t>(crc >> 1);
    return crc;
}

constexpr std::array<uint8_t, 256> MakeTable(bool lowOrderByte)
{
    std::array<uint8_t, 256> table{};
    for (int i = 0; i < 256; ++i) {
        uint16_t crc = SingleByte(static_cast<uint8_t>(i));
        table[i] = static_cast<uint8_t>(lowOrderByte ? crc & 0xFF : crc >> 8);
    }
    return table;
}

}  // namespace crc16_detail

// Entry i: low-order byte of the CRC of byte i ("high-byte table").
inline constexpr std::array<uint8_t, 256> kCrcHiTable = crc16_detail::MakeTable(true);
// Entry i: high-order byte of the CRC of byte i ("low-byte table").
inline constexpr std::array<uint8_t, 256> kCrcLoTable = crc16_detail::MakeTable(false);

static_assert(kCrcHiTable[1] == 0xC1 && kCrcHiTable[2] == 0x81 && kCrcHiTable[7] == 0x41);
static_assert(kCrcLoTable[1] == 0xC0 && kCrcLoTable[4] == 0xC3 && kCrcLoTable[7] == 0xC2);

// Returns hi * 256 + lo: the standard CRC with its bytes exchanged, so its
// high byte goes on the wire first (which puts the CRC's low byte first).
constexpr uint16_t Crc16(uint8_t length, const uint8_t* bytes)
{
    uint8_t hi = 0xFF;
    uint8_t lo = 0xFF;
    while (length-- > 0) {
        uint8_t index = hi ^ *bytes++;
        hi = lo ^ kCrcHiTable[index];
        lo = kCrcLoTable[index];
    }
    return static_cast<uint16_t>(hi << 8 | lo);
}

// Appends the checksum of frame[0..length) at frame[length], frame[length+1].
constexpr void AppendCrc16(uint8_t* frame, uint8_t length)
{
    uint16_t crc = Crc16(length, frame);
    frame[length] = static_cast<uint8_t>(crc >> 8);
    frame[length + 1] = static_cast<uint8_t>(crc & 0xFF);
}

// Appends the checksum of `frame` to it, low byte of the CRC first.
template <typename Bytes>
void AppendCrc16Bytes(Bytes& frame)
{
    const uint16_t crc = Crc16(static_cast<uint8_t>(frame.size()), frame.data());
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    frame.push_back(static_cast<uint8_t>(crc & 0xFF));
}

// True when the last two bytes of frame[0..length) are the checksum of the rest.
constexpr bool CheckCrc16(const uint8_t* frame, uint8_t length)
{
    if (length < 2)
        return false;
    uint16_t crc = Crc16(static_cast<uint8_t>(length - 2), frame);
    return frame[length - 2] == (crc >> 8) && frame[length - 1] == (crc & 0xFF);
}
