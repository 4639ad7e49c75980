// A serial line whose near end a port opens as COMn and whose far end the
// test sends bytes from, as a scanner would. So that one suite runs on the
// fake device, on a pty (Linux, linked as <system dir>/comN the way Wine's
// dosdevices name ports) and on the null-modem pair COM7 <-> COM8 that
// tools/wine-run.sh makes for every Windows test program.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#ifndef _WIN32
#include "support/posix/pty.h"
#endif

namespace belvor::test {

class TestLine {
public:
    virtual ~TestLine() = default;
    TestLine() = default;
    TestLine(const TestLine&) = delete;
    TestLine& operator=(const TestLine&) = delete;

    // n of the near end's COMn.
    virtual uint16_t PortNumber() const = 0;
    // Writes the bytes from the far end; true when all went out.
    virtual bool Send(const std::string& bytes) = 0;
    // Send for callers that cannot assert (writer threads): throws when not all went out.
    void Write(const std::string& bytes);
    // The far end goes away for good, as when a cable is pulled (where the line can).
    virtual void HangUp() {}
    // Pulls the cable: the near end's device goes away, as a USB adapter does
    // when unplugged. False where the line cannot, or when it did not happen.
    virtual bool PullCable() { return false; }
    // Plugs it back in: COMn opens anew (a new device under the same name)
    // and the far end sends again.
    virtual bool PlugBackIn() { return false; }
    // The device file behind the near end, where there is one.
    virtual std::string DevicePath() const { return {}; }

    // Whether the system refuses a second open of the open port (Wine does not).
    virtual bool RefusesSecondOpen() const = 0;
    // Whether Settings reports the data bits, parity and rate that Configure
    // took. Not under Wine: it reads a pty's termios back, and a pty keeps
    // neither data bits nor parity, nor a rate Wine has to express otherwise.
    virtual bool ReadsBackAsSet() const { return true; }
    // The error, besides going on, with which a wait on a quiet line may end
    // (0: none). Wine ends every wait on a pty that way after a moment,
    // because a pty has no modem lines for it to watch.
    virtual uint32_t QuietWaitEnding() const { return 0; }
};

// A line to the fake serial device, on COM3.
std::unique_ptr<TestLine> MakeFakeLine();
// A real tty line: on Linux a pty linked as COM<port>; on Windows always COM7,
// whose far end is COM8. Throws, with the reason, when none can be made.
std::unique_ptr<TestLine> MakeRealLine(uint16_t port);
// The same on the next port of a range kept for it (Windows: COM7 again), so
// that a test may hold several lines at once.
std::unique_ptr<TestLine> MakeRealLine();

#ifndef _WIN32
// A port number of that range that no other test program uses; its link removed.
uint16_t FreshTestPort();
#endif

} // namespace belvor::test
