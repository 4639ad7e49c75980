// The control block as termios2 holds it, both ways: the rate table, raw mode,
// the format and flow-control bits, and the check that what a driver kept is
// what was asked for. Pure conversions, without a tty.
#pragma once

#include "platform/serial_device.h"

// termios2 rather than <termios.h>: it carries any baud rate (BOTHER), not
// only those with a Bxxx constant. The two headers cannot be mixed.
#include <asm/termbits.h>

#include <cstdint>

namespace belvor::platform {

// The DTR and RTS fields of the flag word, and the values that matter here.
inline constexpr uint32_t kDtrShift = 4;
inline constexpr uint32_t kRtsShift = 12;
inline constexpr uint32_t kLineEnable = 1;
inline constexpr uint32_t kLineHandshake = 2;
inline constexpr uint32_t kRtsToggle = 3;

// The DTR and RTS fields' values.
constexpr uint32_t DtrControl(const ControlBlock& block)
{
    return (block.Flags & kFlagDtrControlMask) >> kDtrShift;
}
constexpr uint32_t RtsControl(const ControlBlock& block)
{
    return (block.Flags & kFlagRtsControlMask) >> kRtsShift;
}

// Flag fields kept as last set, because no termios bit holds them.
inline constexpr uint32_t kKeptFlags = kFlagDtrControlMask | kFlagRtsControlMask | kFlagTxContinueOnXoff;

// A pty has no wire, and its driver forces these to 8 bits without parity.
inline constexpr tcflag_t kPtyForcedCflags = CSIZE | PARENB;

// The Bxxx code of a rate, or BOTHER with the rate in c_ospeed.
unsigned CodeOfRate(uint32_t rate);

// No echo, no line editing, no translation, no signals; reads never wait.
void MakeRaw(termios2& t);

// False for what termios cannot do; then nothing may be set.
bool TermiosCanHold(const ControlBlock& block);

// old with the block's rate, format, flow control and input checks; the rest
// as it was. block must be one TermiosCanHold takes.
termios2 TermiosWith(const termios2& old, const ControlBlock& block);

// The block t reads as, with the flag fields kept (kKeptFlags) as given. On a
// pty, ptyFormat (the data bits and parity last set) stands in for what the
// kernel forced.
ControlBlock ControlBlockOf(const termios2& t, uint32_t kept, bool isPty, tcflag_t ptyFormat);

// Whether the settings read back after setting asked are what was asked for:
// the rate within a tolerance, the format and flow-control bits the same.
bool KeptAsAsked(const termios2& asked, const termios2& now, bool isPty);

// The kept flag fields of a line just opened: DTR and RTS as its modem lines
// stand (TIOCM_... bits; both enabled when lines < 0, unknown), RTS
// handshaking with CRTSCTS.
uint32_t KeptFlagsAtOpen(int lines, const termios2& t);

} // namespace belvor::platform
