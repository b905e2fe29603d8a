// The port named on the command line, opened through the meter link.
//
// A COMn port goes through the panel's own mapping (PortMap.h). The serial
// layer opens only port numbers, so a device path is reached through a
// private COM1 alias that exists just for the moment of the open.
#pragma once

#include "CModBusRtu.h"
#include "CliArgs.h"

#include <string>

class CCliPort {
public:
    explicit CCliPort(const CliPort& port);

    CCliPort(const CCliPort&) = delete;
    CCliPort& operator=(const CCliPort&) = delete;

    // OpenPort at the meter's 9600 baud; true when open.
    bool Open();
    void Close() { m_meter.Serial().Close(); }

    CModBusRtu& Meter() { return m_meter; }

    // "COM3 (/dev/ttyUSB2)", or the path as given.
    std::string Label() const;
    // What to open: the alias or fixed device of COMn, or the path.
    std::string Device() const;
    bool IsOpen() { return m_meter.Serial().IsOpen(); }
    // Why the last Open failed, from the serial layer;
    // kept until the next Open, whatever the port does meanwhile.
    const std::string& OpenError() const { return m_openError; }

    static constexpr uint16_t kBaudRate = 9600;

private:
    CliPort m_port;
    CModBusRtu m_meter;
    std::string m_openError;
};

// "cannot open <label>: <error>" plus, on its own line, what to do about it:
// for a permission error the device's group and the usermod command, for a
// busy port that another program has it, for a non-terminal that it is none.
std::string OpenFailureText(const std::string& label, const std::string& device,
                            const std::string& serialError);
