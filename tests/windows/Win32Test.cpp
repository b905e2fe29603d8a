// The Windows build's serial layer where no device is needed: port names,
// the wording of a failure from GetLastError(), the hints.
#include "CMeterPort.h"
#include "CSerial.h"
#include "PortMap.h"

#include <gtest/gtest.h>

#include <windows.h>

namespace {

// The system's own sentence for `error`, as FormatMessage gives it.
std::string SystemText(DWORD error)
{
    char text[512];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             error, 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' '))
        --n;
    return std::string(text, n);
}

// COM250 is no port on any machine this runs on.
constexpr int kNoSuchPort = 250;

TEST(Win32PortMap, ComnIsTheDeviceItself)
{
    EXPECT_EQ(ComPortPath(3), "\\\\.\\COM3");
    EXPECT_EQ(ComPortPath(12), "\\\\.\\COM12");  // past COM9 only the \\.\ form works
    EXPECT_EQ(ComPortPath(0), "");
    EXPECT_EQ(ComPortLabel(3), "COM3");
    EXPECT_EQ(PortLabel("COM3", "\\\\.\\com3"), "COM3");
    EXPECT_EQ(PortLabel("COM3", "\\\\.\\CNCA0"), "COM3 (\\\\.\\CNCA0)");
    EXPECT_EQ(PortAliasDir(), "");
    EXPECT_FALSE(ComPortPresent(kNoSuchPort));
    EXPECT_FALSE(ComPortPresent(0));
    // What a service's configuration takes as a device path.
    EXPECT_TRUE(IsAbsoluteDevicePath("\\\\.\\CNCA0"));
    EXPECT_FALSE(IsAbsoluteDevicePath("\\\\.\\"));
    EXPECT_FALSE(IsAbsoluteDevicePath("CNCA0"));
    EXPECT_FALSE(IsAbsoluteDevicePath("/dev/ttyUSB0"));
}

TEST(Win32PortMap, HintsFollowTheErrorCode)
{
    EXPECT_EQ(PortOpenHint("\\\\.\\COM3", ERROR_ACCESS_DENIED), "another program has COM3 open");
    EXPECT_EQ(PortOpenHint("\\\\.\\COM3", ERROR_SHARING_VIOLATION),
              "another program has COM3 open");
    EXPECT_EQ(PortOpenHint("\\\\.\\COM7", ERROR_FILE_NOT_FOUND),
              "no COM7 on this computer now: Device Manager lists the ports under \"Ports (COM & "
              "LPT)\"");
    EXPECT_EQ(PortOpenHint("\\\\.\\COM3", ERROR_GEN_FAILURE), "");
}

// The Linux build's sentence, with the system's text for GetLastError()'s
// code, and the code itself beside it.
TEST(Win32Serial, MissingPortFailsClosedWithOpenComText)
{
    CSerial port;
    port.m_nPort = kNoSuchPort;
    port.m_dwBaudRate = 9600;
    EXPECT_EQ(port.Open(), 0);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.LastErrno(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(port.LastError(),
              "'OpenCom' failed with the following error: " + SystemText(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(port.DevicePath(), "\\\\.\\COM250");
    port.Close();  // closed already: nothing to do
    port.Close();
}

// A device that opens but is no serial port fails at its time-outs, the
// first serial call, and ends closed.
TEST(Win32Serial, ADeviceThatIsNoPortFailsAtItsTimeouts)
{
    CSerial port;
    port.m_strDevicePath = "\\\\.\\NUL";
    port.m_dwBaudRate = 9600;
    EXPECT_EQ(port.Open(), 0);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.LastError().rfind("'SetCommtimeouts' failed with the following error: ", 0), 0u)
        << port.LastError();
    EXPECT_NE(port.LastErrno(), 0);
}

TEST(Win32Serial, ClosedPortFailsWithReadFileAndWriteFile)
{
    CSerial port;
    uint8_t buf[4] = {};
    uint32_t got = 0;
    EXPECT_EQ(port.Read(buf, 4, &got), 0);
    EXPECT_EQ(port.LastErrno(), ERROR_INVALID_HANDLE);
    EXPECT_EQ(port.LastError(),
              "'ReadFile' failed with the following error: " + SystemText(ERROR_INVALID_HANDLE));
    EXPECT_EQ(port.Write(buf, 4), 0);
    EXPECT_EQ(port.LastError().rfind("'WriteFile' failed with the following error: ", 0), 0u);
}

// What the client prints: the port, the system's reason, what to do.
TEST(Win32Serial, AMissingPortIsDescribedWithWhatToDo)
{
    CMeterPort port;
    port.Choose(PortChoice{kNoSuchPort, ""});
    const MeterOutcome o = port.Open();
    EXPECT_EQ(o.stage, MeterOutcome::kOpen);
    EXPECT_EQ(port.Describe(o), "COM250: 'OpenCom' failed with the following error: " +
                                    SystemText(ERROR_FILE_NOT_FOUND) +
                                    "\nno COM250 on this computer now: Device Manager lists the "
                                    "ports under \"Ports (COM & LPT)\"");
}

}  // namespace
