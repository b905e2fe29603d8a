#include "CMeterSim.h"

#include "CSimBus.h"
#include "CSimLine.h"
#include "CSimLinks.h"
#include "CSimPty.h"
#include "PortMap.h"

#include <filesystem>
#include <mutex>

struct CMeterSim::Impl {
    std::mutex control;  // Start/Stop/HangUp/Replug/Link*, one at a time
    CSimPty pty;
    CSimLinks links;
    CSimBus bus;
    CSimLine line{pty, bus};

    // A new pty and the thread on it; the links follow (caller holds control).
    bool Plug(std::string* error)
    {
        if (!pty.Open(error))
            return false;
        links.Repoint(pty.LastDevicePath());
        line.Start();
        return true;
    }
    void Unplug()
    {
        line.Stop();
        pty.Close();
    }
};

CMeterSim::CMeterSim() : m_impl(new Impl) {}

CMeterSim::~CMeterSim()
{
    Stop();
    delete m_impl;
}

bool CMeterSim::Start(std::string* error)
{
    std::lock_guard<std::mutex> lock(m_impl->control);
    if (m_impl->pty.IsOpen() || m_impl->line.Started()) {
        if (error)
            *error = "the simulator is already running";
        return false;
    }
    return m_impl->Plug(error);  // after a HangUp(), as Replug() would
}

void CMeterSim::Stop()
{
    std::lock_guard<std::mutex> lock(m_impl->control);
    m_impl->Unplug();
    m_impl->links.Remove(m_impl->pty.LastDevicePath(), true);
}

std::string CMeterSim::DevicePath() const
{
    return m_impl->pty.DevicePath();
}

bool CMeterSim::LinkCom(int port, std::string* error)
{
    if (port < 1 || port > kMaxComPort) {
        if (error)
            *error = "port number out of range: " + std::to_string(port);
        return false;
    }
    const std::string dir = PortAliasDir();
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        if (error)
            *error = "cannot create " + dir + ": " + ec.message();
        return false;
    }
    return LinkAt(dir + "/COM" + std::to_string(port), error);
}

bool CMeterSim::LinkAt(const std::string& path, std::string* error)
{
    std::lock_guard<std::mutex> lock(m_impl->control);
    const std::string target = m_impl->pty.LastDevicePath();
    if (target.empty()) {
        if (error)
            *error = "the simulator has no pseudo-terminal (not started)";
        return false;
    }
    return m_impl->links.Add(path, target, error);
}

void CMeterSim::HangUp()
{
    std::lock_guard<std::mutex> lock(m_impl->control);
    // A pulled adapter's device links vanish with it; a link left pointing at
    // the freed /dev/pts/N would reach whichever pty gets that number next.
    m_impl->links.Remove(m_impl->pty.LastDevicePath(), false);
    m_impl->Unplug();
}

bool CMeterSim::Replug(std::string* error)
{
    std::lock_guard<std::mutex> lock(m_impl->control);
    m_impl->Unplug();
    return m_impl->Plug(error);
}

void CMeterSim::SetPacing(bool on)
{
    m_impl->line.SetPacing(on);
}

void CMeterSim::SetCalibrateMs(int ms)
{
    m_impl->bus.SetCalibrateMs(ms);
}

void CMeterSim::SetState(const SimMeterState& state)
{
    m_impl->bus.First().SetState(state);
}

SimMeterState CMeterSim::State() const
{
    return m_impl->bus.First().State();
}

void CMeterSim::SetVoltage(double volts)
{
    m_impl->bus.First().SetVoltage(volts);
}

void CMeterSim::SetCurrent(double amperes)
{
    m_impl->bus.First().SetCurrent(amperes);
}

void CMeterSim::SetFaults(const SimFaults& faults)
{
    m_impl->bus.First().SetFaults(faults);
}

void CMeterSim::ClearFaults()
{
    m_impl->bus.First().SetFaults(SimFaults{});
}

MeterReading CMeterSim::Reading() const
{
    return m_impl->bus.First().Reading();
}

MeterParameters CMeterSim::Parameters() const
{
    return m_impl->bus.First().Parameters();
}

unsigned CMeterSim::RequestCount() const
{
    return m_impl->bus.First().RequestCount();
}

std::vector<uint8_t> CMeterSim::LastRequest() const
{
    return m_impl->bus.First().LastRequest();
}

unsigned CMeterSim::IgnoredForLineSettings() const
{
    return m_impl->bus.First().IgnoredForLineSettings();
}

unsigned CMeterSim::AnswerCount() const
{
    return m_impl->bus.First().AnswerCount();
}

void CMeterSim::AddMeter(const SimMeterState& state)
{
    m_impl->bus.Add(state);
}

size_t CMeterSim::MeterCount() const
{
    return m_impl->bus.Count();
}

std::optional<SimMeterState> CMeterSim::State(int address) const
{
    const auto meters = m_impl->bus.At(address);
    if (meters.empty())
        return std::nullopt;
    return meters.front()->State();
}

std::optional<MeterReading> CMeterSim::Reading(int address) const
{
    const auto meters = m_impl->bus.At(address);
    if (meters.empty())
        return std::nullopt;
    return meters.front()->Reading();
}

bool CMeterSim::SetFaults(int address, const SimFaults& faults)
{
    const auto meters = m_impl->bus.At(address);
    for (CSimMeter* meter : meters)
        meter->SetFaults(faults);
    return !meters.empty();
}

unsigned CMeterSim::RequestCount(int address) const
{
    const auto meters = m_impl->bus.At(address);
    return meters.empty() ? 0 : meters.front()->RequestCount();
}

unsigned CMeterSim::AnswerCount(int address) const
{
    const auto meters = m_impl->bus.At(address);
    return meters.empty() ? 0 : meters.front()->AnswerCount();
}

bool CMeterSim::Running() const
{
    return m_impl->line.Running();
}
