// The line's settings as termios2 holds them, both ways: the rate table, raw
// mode, the format bits, and the check that what a driver kept is what was
// asked for. Pure conversions, without a tty.
#pragma once

#include "platform/serial_device.h"

// termios2 rather than <termios.h>: it carries any baud rate (BOTHER), not
// only those with a Bxxx constant. The two headers cannot be mixed.
#include <asm/termbits.h>

#include <cstdint>

namespace belvor::platform {

// A pty has no wire, and its driver forces these to 8 bits without parity.
inline constexpr tcflag_t kPtyForcedCflags = CSIZE | PARENB;

// The Bxxx code of a rate, or BOTHER with the rate in c_ospeed.
unsigned CodeOfRate(uint32_t rate);

// No echo, no line editing, no translation, no signals; reads never wait.
void MakeRaw(termios2& t);

// A line's rate and format, every field known.
struct LineFormat {
    uint32_t BaudRate = 0;
    uint8_t DataBits = 8;
    uint8_t Parity = 0;
    uint8_t StopBits = 1;
};

// now with the fields config gives.
LineFormat Merged(const LineFormat& now, const LineConfig& config);

// False for what termios cannot do; then nothing may be set.
bool TermiosCanHold(const LineFormat& format);

// old with the format's rate, data bits, parity and stop bits; the rest (flow
// control, input checks) as it was. format must be one TermiosCanHold takes.
termios2 TermiosWith(const termios2& old, const LineFormat& format);

// The format t reads as. On a pty, ptyFormat (the data bits and parity last
// set) stands in for what the kernel forced.
LineFormat FormatOf(const termios2& t, bool isPty, tcflag_t ptyFormat);

// Whether the settings read back after setting asked are what was asked for:
// the rate within a tolerance, the format and flow-control bits the same.
bool KeptAsAsked(const termios2& asked, const termios2& now, bool isPty);

} // namespace belvor::platform
