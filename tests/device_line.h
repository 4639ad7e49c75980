// A serial line for the device tests: its near end is a port that the system's
// opener opens as COMn, its far end a plain handle the test sends bytes from.
// Linux makes it from a pty, Windows (under Wine) uses the null-modem pair
// COM7 <-> COM8 that the test runner sets up.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace belvor::test {

class DeviceLine {
public:
    virtual ~DeviceLine() = default;
    // n of the near end's COMn.
    virtual uint16_t PortNumber() const = 0;
    // Writes the bytes from the far end; true when all went out.
    virtual bool Send(const std::string& bytes) = 0;

    // Whether GetState reports the data bits, parity and rate that SetState
    // took. Not under Wine: it reads a pty's termios back, and a pty keeps
    // neither data bits nor parity, nor a rate Wine has to express otherwise.
    virtual bool ReadsBackAsSet() const { return true; }
    // The error, besides going on, with which a wait on a quiet line may end
    // (0: none). Wine ends every wait on a pty that way after a moment,
    // because a pty has no modem lines for it to watch.
    virtual uint32_t QuietWaitEnding() const { return 0; }
};

// A fresh line; null (after reporting a test failure) when none can be made.
std::unique_ptr<DeviceLine> MakeDeviceLine();

// Whether this system refuses a second open of an open port (Wine does not).
bool SecondOpenRefused(std::string& why);

} // namespace belvor::test
