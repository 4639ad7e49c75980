// The far end of a serial line, so one suite runs on the fake device, on a
// pty (Linux) and on a null-modem pair of COM ports (Windows, under Wine).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace belvor::test {

class TestLine {
public:
    virtual ~TestLine() = default;
    // The COM number under which the port object reaches this line.
    virtual uint16_t Port() const = 0;
    // Sends bytes towards the port, as a scanner would.
    virtual void Write(const std::string& bytes) = 0;
    // Whether a second open of the port is refused (Wine does not refuse it).
    virtual bool RefusesSecondOpen() const = 0;
    // The far end goes away, as when a cable is pulled (where the line can).
    virtual void Hangup() {}
    // The device file behind the port, where there is one.
    virtual std::string DevicePath() const { return {}; }
};

std::unique_ptr<TestLine> MakeFakeLine();
// A real tty line on the given COM number (Windows: COM7, whose peer is COM8).
std::unique_ptr<TestLine> MakeRealLine(uint16_t port);

} // namespace belvor::test
