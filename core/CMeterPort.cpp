#include "CMeterPort.h"

#include "PortMap.h"

#include <algorithm>
#include <cerrno>

void CMeterPort::Choose(const PortChoice& choice, uint16_t baud)
{
    m_choice = choice;
    m_baud = baud;
    m_device = choice.path.empty() ? ComPortPath(choice.number) : choice.path;
    m_closedBy = MeterOutcome{};
}

void CMeterPort::SetCancel(const CStopToken* stop)
{
    m_meter.Serial().SetCancel(stop);
}

MeterOutcome CMeterPort::Open()
{
    return OpenAs(MeterOutcome::kOpen);
}

MeterOutcome CMeterPort::Reopen()
{
    Close();
    return OpenAs(MeterOutcome::kReopen);
}

MeterOutcome CMeterPort::OpenAs(MeterOutcome::Stage stage)
{
    CSerial& serial = m_meter.Serial();
    // The device looked up by Choose, never the name looked up again; with
    // no port number beside it, an empty one (a number below 1) fails as a
    // missing device.
    serial.m_strDevicePath = m_device;
    MeterOutcome outcome;
    if (m_meter.OpenPort(0, m_baud) == 0) {
        outcome.stage = stage;
        outcome.result = kMeterTransport;
        outcome.error = serial.LastErrno();
        outcome.reason = serial.LastError();
    }
    m_closedBy = outcome;
    return outcome;
}

bool CMeterPort::Ready(MeterOutcome* outcome) const
{
    if (IsOpen())
        return true;
    if (m_closedBy.PortFailed()) {
        *outcome = m_closedBy;
    } else {
        outcome->result = kMeterTransport;
        outcome->error = EBADF;
        outcome->reason = "the port is not open";
    }
    return false;
}

MeterOutcome CMeterPort::Finish(int result)
{
    MeterOutcome outcome;
    outcome.result = result;
    outcome.received = m_meter.LastReceived();
    outcome.wholeFrame = m_meter.LastAnswerWasWholeFrame();
    if (result == kMeterTransport) {
        outcome.error = m_meter.Serial().LastErrno();
        outcome.reason = m_meter.Serial().LastError();
    }
    return outcome;
}

MeterOutcome CMeterPort::DiscardUntil(std::chrono::steady_clock::time_point deadline,
                                      unsigned* dropped)
{
    using Clock = std::chrono::steady_clock;
    MeterOutcome outcome;
    unsigned total = 0;
    if (dropped != nullptr)
        *dropped = 0;
    if (!Ready(&outcome))
        return outcome;
    CSerial& serial = m_meter.Serial();
    const uint32_t answerLimit = serial.m_dwReadTotalLimitMs;
    uint8_t sink[256];
    for (;;) {
        const auto left =
            std::chrono::floor<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left < 1)
            break;
        // A read ends at its total limit, or 20 ms after a burst: then again.
        serial.m_dwReadTotalLimitMs =
            static_cast<uint32_t>(std::min<long long>(left, CSerial::kReadWaitMs));
        uint32_t got = 0;
        if (!serial.Read(sink, sizeof sink, &got)) {
            outcome.result = kMeterTransport;
            outcome.error = serial.LastErrno();
            outcome.reason = serial.LastError();
            break;
        }
        total += got;
    }
    serial.m_dwReadTotalLimitMs = answerLimit;
    if (dropped != nullptr)
        *dropped = total;
    return outcome;
}

MeterOutcome CMeterPort::DrainLine(std::chrono::steady_clock::time_point until,
                                   std::chrono::steady_clock::duration quiet)
{
    // The measurement answer is the longest a meter sends.
    const auto latest = until + std::chrono::milliseconds(AnswerLimitMs(kMeasurementAnswerBytes));
    MeterOutcome outcome = DiscardUntil(until);
    unsigned dropped = 1;
    while (outcome.Ok() && dropped > 0 && std::chrono::steady_clock::now() < latest)
        outcome = DiscardUntil(std::chrono::steady_clock::now() + quiet, &dropped);
    return outcome;
}

int CMeterPort::AnswerLimitMs(unsigned bytes) const
{
    return m_meter.Serial().ReadTotalMs(bytes);
}

std::chrono::microseconds CMeterPort::FrameGap() const
{
    return m_meter.FrameGap();
}

MeterOutcome CMeterPort::ReadMeasurementsFrom(uint8_t address, MeterReading* reading,
                                              std::chrono::steady_clock::time_point* asked)
{
    SetUnit(address);
    MeterOutcome outcome = DrainLine(std::chrono::steady_clock::now(), FrameGap());
    if (asked != nullptr)
        *asked = std::chrono::steady_clock::now();
    return outcome.Ok() ? ReadMeasurements(reading) : outcome;
}

MeterOutcome CMeterPort::ReadMeasurements(MeterReading* reading)
{
    MeterOutcome outcome;
    return Ready(&outcome) ? Finish(m_meter.ReadMeasurements(reading)) : outcome;
}

MeterOutcome CMeterPort::ReadParameters(Settings* settings)
{
    MeterOutcome outcome;
    if (!Ready(&outcome))
        return outcome;
    MeterParameters block;
    outcome = Finish(m_meter.ReadParameters(&block));
    if (outcome.Ok())
        *settings = DecodeParameters(block);
    return outcome;
}

MeterOutcome CMeterPort::WriteParameters(const Settings& settings)
{
    MeterOutcome outcome;
    if (!Ready(&outcome))
        return outcome;
    const MeterParameters block = EncodeParameters(settings);
    return Finish(m_meter.WriteParameters(&block));
}

MeterOutcome CMeterPort::ResetEnergy()
{
    MeterOutcome outcome;
    return Ready(&outcome) ? Finish(m_meter.ResetEnergy()) : outcome;
}

MeterOutcome CMeterPort::Calibrate()
{
    // The meter's pause holds even when nothing can be sent.
    MeterOutcome outcome;
    const bool ready = Ready(&outcome);
    const int result = m_meter.Calibrate();
    return ready ? Finish(result) : outcome;
}

std::string CMeterPort::Label() const
{
    if (!m_choice.path.empty())
        return m_choice.path;
    return PortLabel("COM" + std::to_string(m_choice.number), m_device);
}

std::string CMeterPort::Describe(const MeterOutcome& outcome) const
{
    return DescribeFailure(Label(), m_device, outcome);
}
