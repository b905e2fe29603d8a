#include "CSimMeter.h"

#include "Crc16.h"
#include "SimProtocol.h"
#include "SimRegisters.h"

#include <algorithm>
#include <cmath>

namespace {

bool AnyFault(const SimFaults& f)
{
    return f.silent || f.delayMs > 0 || f.truncateTo >= 0 || f.corruptCrc || f.exceptionCode != 0 ||
           f.garbageBytes > 0 || f.splitPauseMs > 0;
}

uint16_t ClampRegister(double value)
{
    if (!(value > 0))
        return 0;
    if (value > 65535)
        return 65535;
    return static_cast<uint16_t>(std::lround(value));
}

}  // namespace

CSimMeter::CSimMeter(const SimMeterState& state)
{
    Reset(state);
}

void CSimMeter::Reset(const SimMeterState& state)
{
    m_state = state;
    m_baseVoltage = m_voltageNow = state.voltage;
    m_baseCurrent = m_currentNow = state.current;
    m_energyFraction = 0;
    m_lastAdvance = SimClock::now();
}

// Moves the live values on to `now` (caller holds m_mutex).
void CSimMeter::Advance(SimClock::time_point now)
{
    const double dt = std::chrono::duration<double>(now - m_lastAdvance).count();
    if (dt <= 0)
        return;
    m_lastAdvance = now;
    if (m_state.fixed)
        return;

    const double watts = SimPower(m_state.voltage, m_state.current) / 10.0;
    m_energyFraction += watts * dt / 3600.0;
    const double whole = std::floor(m_energyFraction);
    m_state.energy += static_cast<uint32_t>(whole);
    m_energyFraction -= whole;

    // A battery under charge and a solar panel under passing clouds:
    // mean-reverting random walks around slowly swinging targets.
    const double kTwoPi = 6.283185307179586;
    const double t = std::chrono::duration<double>(now - m_epoch).count();
    const double step = std::min(dt, 60.0);
    const double pull = 1.0 - std::exp(-step / 5.0);
    std::normal_distribution<double> gauss(0.0, 1.0);
    const double targetV = m_baseVoltage * (1.0 + 0.01 * std::sin(kTwoPi * t / 300.0));
    const double targetI = m_baseCurrent * (1.0 + 0.08 * std::sin(kTwoPi * t / 90.0) +
                                            0.03 * std::sin(kTwoPi * t / 17.0));
    m_voltageNow +=
        (targetV - m_voltageNow) * pull + 0.002 * m_baseVoltage * std::sqrt(step) * gauss(m_rng);
    m_currentNow +=
        (targetI - m_currentNow) * pull + 0.01 * m_baseCurrent * std::sqrt(step) * gauss(m_rng);
    m_voltageNow = std::clamp(m_voltageNow, 0.0, 65535.0);
    m_currentNow = std::clamp(m_currentNow, 0.0, 65535.0);
    m_state.voltage = ClampRegister(m_voltageNow);
    m_state.current = ClampRegister(m_currentNow);
}

void CSimMeter::SetState(const SimMeterState& state)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Reset(state);
}

SimMeterState CSimMeter::State()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Advance(SimClock::now());
    return m_state;
}

void CSimMeter::SetVoltage(double volts)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Advance(SimClock::now());
    m_state.voltage = ClampRegister(volts * 100.0);
    m_baseVoltage = m_voltageNow = m_state.voltage;
}

void CSimMeter::SetCurrent(double amperes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Advance(SimClock::now());
    m_state.current = ClampRegister(amperes * 100.0);
    m_baseCurrent = m_currentNow = m_state.current;
}

void CSimMeter::SetFaults(const SimFaults& faults)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_faults = faults.count == 0 ? SimFaults{} : faults;
}

MeterReading CSimMeter::Reading()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Advance(SimClock::now());
    uint16_t regs[8];
    SimInputRegisters(m_state, regs);
    MeterReading reading{};
    for (int i = 0; i < 8; ++i)
        PutRegisterWord(reading.bytes, i, regs[i]);
    return reading;
}

MeterParameters CSimMeter::Parameters() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    uint16_t regs[4];
    SimHoldingRegisters(m_state, regs);
    MeterParameters parameters{};
    for (int i = 0; i < 4; ++i)
        PutRegisterWord(parameters.bytes, i, regs[i]);
    return parameters;
}

uint16_t CSimMeter::Address() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_state.address;
}

bool CSimMeter::Hears(uint8_t address) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return address != kSimBroadcastAddress &&
           (address == kSimGeneralAddress || address == m_state.address);
}

std::vector<uint8_t> CSimMeter::Garbage(size_t count)
{
    std::vector<uint8_t> out(count);
    for (auto& b : out) {
        m_garbageState = m_garbageState * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(m_garbageState >> 24);
    }
    if (count >= 2)
        out[1] &= 0x7F;  // never an exception answer's function byte
    if (count >= 3 && count <= 255 && CheckCrc16(out.data(), static_cast<uint8_t>(count)))
        out.back() ^= 0x01;  // never a valid frame either
    return out;
}

SimReply CSimMeter::Answer(const std::vector<uint8_t>& frame, bool lineOk, int calibrateMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_requests;
    m_lastRequest = frame;
    if (!lineOk) {
        ++m_ignored;
        return {};
    }

    Advance(SimClock::now());
    const SimFaults f = m_faults;
    if (AnyFault(m_faults) && m_faults.count > 0 && --m_faults.count == 0)
        m_faults = SimFaults{};
    if (f.silent)
        return {};

    SimReply reply;
    if (f.exceptionCode != 0) {
        // The request's meaning is ignored: nothing written, nothing cleared.
        reply.bytes = SimExceptionAnswer(frame[0], frame[1], static_cast<uint8_t>(f.exceptionCode));
    } else {
        reply.bytes = SimAnswer(m_state, frame.data(), frame.size());
        const bool echoed = reply.bytes.size() == frame.size() && reply.bytes[1] == frame[1];
        if (frame[1] == 0x42 && echoed)
            m_energyFraction = 0;
        if (frame[1] == 0x41 && echoed)
            reply.waitMs = calibrateMs;
    }
    if (reply.bytes.empty())
        return {};

    reply.answers = true;
    reply.waitMs += f.delayMs;
    if (f.garbageBytes > 0)
        reply.bytes = Garbage(static_cast<size_t>(f.garbageBytes));
    else if (f.corruptCrc)
        reply.bytes.back() ^= 0xFF;
    if (f.truncateTo >= 0 && static_cast<size_t>(f.truncateTo) < reply.bytes.size())
        reply.bytes.resize(static_cast<size_t>(f.truncateTo));
    if (f.splitPauseMs > 0 && reply.bytes.size() >= 2)
        reply.splitPauseMs = f.splitPauseMs;
    return reply;
}

void CSimMeter::CountAnswer()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_answers;
}

unsigned CSimMeter::RequestCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
}

std::vector<uint8_t> CSimMeter::LastRequest() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastRequest;
}

unsigned CSimMeter::IgnoredForLineSettings() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_ignored;
}

unsigned CSimMeter::AnswerCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_answers;
}
