// The meter's side of the protocol as pure functions. See SimProtocol.h
// for the rules.
#include "SimProtocol.h"
#include "SimRegisters.h"

#include "Crc16.h"
#include "MeterBlocks.h"

namespace {

uint16_t Word(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

void PushWord(std::vector<uint8_t>& out, uint16_t value)
{
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value & 0xFF));
}

bool ValueAccepted(int reg, uint16_t value)
{
    switch (reg) {
        case kRegHighVoltage:
        case kRegLowVoltage: return value >= kSimMinThreshold && value <= kSimMaxThreshold;
        case kRegAddress: return value >= 1 && value <= 247;
        case kRegCurrentRange: return value <= 3;
        default: return false;
    }
}

}  // namespace

std::vector<uint8_t> SimExceptionAnswer(uint8_t address, uint8_t function, uint8_t code)
{
    std::vector<uint8_t> out{address, static_cast<uint8_t>(function | 0x80), code};
    AppendCrc16Bytes(out);
    return out;
}

void SimInputRegisters(const SimMeterState& s, uint16_t regs[8])
{
    const uint32_t power = SimPower(s.voltage, s.current);
    regs[kRegVoltage] = s.voltage;
    regs[kRegCurrent] = s.current;
    regs[kRegPowerLow] = static_cast<uint16_t>(power & 0xFFFF);
    regs[kRegPowerLow + 1] = static_cast<uint16_t>(power >> 16);
    regs[kRegEnergyLow] = static_cast<uint16_t>(s.energy & 0xFFFF);
    regs[kRegEnergyLow + 1] = static_cast<uint16_t>(s.energy >> 16);
    regs[kRegAlarm1] = s.voltage > s.highVoltage ? kAlarmOn : 0;
    regs[kRegAlarm2] = s.voltage < s.lowVoltage ? kAlarmOn : 0;
}

void SimHoldingRegisters(const SimMeterState& s, uint16_t regs[4])
{
    regs[kRegHighVoltage] = s.highVoltage;
    regs[kRegLowVoltage] = s.lowVoltage;
    regs[kRegAddress] = s.address;
    regs[kRegCurrentRange] = s.currentRange;
}

uint32_t SimPower(uint16_t voltage, uint16_t current)
{
    // 0.01 V x 0.01 A = 0.0001 W; the register counts 0.1 W.
    return static_cast<uint32_t>((static_cast<uint64_t>(voltage) * current + 500) / 1000);
}

int SimFrameLength(const uint8_t* bytes, size_t length)
{
    if (length == 0)
        return 0;
    if (bytes[0] > kSimGeneralAddress)
        return -1;
    if (length < 2)
        return 0;
    const uint8_t function = bytes[1];
    if (function == 0 || (function & 0x80) != 0)
        return -1;

    int need = 0;
    switch (function) {
        case 0x01:
        case 0x02:
        case 0x03:
        case 0x04:
        case 0x05:
        case 0x06: need = 8; break;
        case 0x07:
        case 0x0B:
        case 0x0C:
        case 0x11:
        case 0x42: need = 4; break;
        case 0x41: need = 6; break;
        case 0x0F:
        case 0x10:
            if (length < 7)
                return 0;
            need = 9 + bytes[6];
            break;
        default:
            // Unknown layout: the first length whose checksum holds.
            for (size_t n = 4; n <= length && n <= 255; ++n)
                if (CheckCrc16(bytes, static_cast<uint8_t>(n)))
                    return static_cast<int>(n);
            return length >= 255 ? -1 : 0;
    }
    return length >= static_cast<size_t>(need) ? need : 0;
}

std::vector<uint8_t> SimAnswer(SimMeterState& state, const uint8_t* request, size_t length)
{
    if (length < 4)
        return {};
    const uint8_t address = request[0];
    if (address == kSimBroadcastAddress ||
        (address != kSimGeneralAddress && address != state.address))
        return {};
    const uint8_t function = request[1];

    switch (function) {
        case 0x03:
        case 0x04: {
            if (length != 8)
                return SimExceptionAnswer(address, function, 3);
            const unsigned start = Word(request + 2);
            const unsigned count = Word(request + 4);
            if (count < 1 || count > 125)
                return SimExceptionAnswer(address, function, 3);
            uint16_t regs[8];
            unsigned blockSize;
            if (function == 0x04) {
                SimInputRegisters(state, regs);
                blockSize = 8;
            } else {
                SimHoldingRegisters(state, regs);
                blockSize = 4;
            }
            if (start + count > blockSize)
                return SimExceptionAnswer(address, function, 2);
            std::vector<uint8_t> out{address, function, static_cast<uint8_t>(count * 2)};
            for (unsigned i = 0; i < count; ++i)
                PushWord(out, regs[start + i]);
            AppendCrc16Bytes(out);
            return out;
        }
        case 0x10: {
            if (length < 9)
                return SimExceptionAnswer(address, function, 3);
            const unsigned start = Word(request + 2);
            const unsigned count = Word(request + 4);
            const unsigned byteCount = request[6];
            if (count < 1 || count > 123 || byteCount != 2 * count || length != 9 + byteCount)
                return SimExceptionAnswer(address, function, 3);
            if (start + count > 4)
                return SimExceptionAnswer(address, function, 2);
            uint16_t regs[4];
            SimHoldingRegisters(state, regs);
            for (unsigned i = 0; i < count; ++i) {
                const uint16_t value = Word(request + 7 + 2 * i);
                if (!ValueAccepted(static_cast<int>(start + i), value))
                    return SimExceptionAnswer(address, function, 3);
                regs[start + i] = value;
            }
            state.highVoltage = regs[kRegHighVoltage];
            state.lowVoltage = regs[kRegLowVoltage];
            state.address = regs[kRegAddress];
            state.currentRange = regs[kRegCurrentRange];
            std::vector<uint8_t> out(request, request + 6);
            AppendCrc16Bytes(out);
            return out;
        }
        case 0x41:
            if (length != 6 || request[2] != kSimCalibrateCode[0] ||
                request[3] != kSimCalibrateCode[1])
                return SimExceptionAnswer(address, function, 3);
            return std::vector<uint8_t>(request, request + 6);
        case 0x42:
            if (length != 4)
                return SimExceptionAnswer(address, function, 3);
            state.energy = 0;
            return std::vector<uint8_t>(request, request + 4);
        default: return SimExceptionAnswer(address, function, 1);
    }
}

std::vector<uint8_t> SimOverlap(const std::vector<std::vector<uint8_t>>& answers)
{
    if (answers.size() == 1)
        return answers.front();
    std::vector<uint8_t> line;
    for (const auto& answer : answers) {
        if (answer.size() > line.size())
            line.resize(answer.size(), 0xFF);  // idle until this answer drives it
        for (size_t i = 0; i < answer.size(); ++i)
            line[i] &= answer[i];
    }
    // Identical answers overlay to a good frame; a real collision never
    // comes out that clean. One cleared bit is always caught by the CRC, and
    // an all-zero frame never passes it (the CRC starts at 0xFFFF).
    if (line.size() >= 4 && line.size() <= 255 &&
        CheckCrc16(line.data(), static_cast<uint8_t>(line.size()))) {
        for (size_t i = line.size(); i-- > 0;) {
            if (line[i] != 0) {
                line[i] &= static_cast<uint8_t>(line[i] - 1);  // lowest set bit
                break;
            }
        }
    }
    return line;
}
