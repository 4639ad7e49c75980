// The control block's conversions to and from termios2, and the counters'
// news, without a tty: what a pty cannot show (rates, stop bits, mark and
// space parity, error counters) is checked here.
#include "platform/posix/line_counters.h"
#include "platform/posix/termios_settings.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>

using namespace belvor::platform;

namespace {

constexpr tcflag_t kFormatBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;

TEST(TermiosSettings, RatesGetTheirOwnCodeOrBother)
{
    const struct {
        uint32_t Rate;
        unsigned Code;
    } cases[] = {{50, B50},         {9600, B9600},       {19200, B19200}, {230400, B230400},
                 {460800, B460800}, {4000000, B4000000}, {14400, BOTHER}, {31250, BOTHER}};
    for (const auto& c : cases) {
        const termios2 t = TermiosWith(termios2{}, {c.Rate, 0, 8, 0, 0});
        EXPECT_EQ(t.c_cflag & (CBAUD | (CBAUD << IBSHIFT)), c.Code) << c.Rate;
        EXPECT_EQ(t.c_ospeed, c.Rate);
        EXPECT_EQ(t.c_ispeed, c.Rate);
    }
}

TEST(TermiosSettings, FormatAndFlowBitsGoBothWays)
{
    const uint32_t rtsHandshake = kLineHandshake << kRtsShift;
    const struct {
        ControlBlock Block;
        tcflag_t Cflag;
        tcflag_t Iflag;
    } cases[] = {
        {{9600, kFlagBinary, 5, 0, 0}, CS5, 0},
        {{9600, kFlagBinary | kFlagParity, 6, 1, 2}, CS6 | PARENB | PARODD | CSTOPB, INPCK},
        {{9600, kFlagBinary | kFlagOutX, 7, 2, 0}, CS7 | PARENB, IXON},
        {{9600, kFlagBinary | kFlagInX, 8, 3, 2}, CS8 | PARENB | PARODD | CMSPAR | CSTOPB, IXOFF},
        {{9600, kFlagBinary | kFlagOutxCtsFlow, 8, 4, 0}, CS8 | PARENB | CMSPAR | CRTSCTS, 0},
        {{9600, kFlagBinary | kFlagOutxCtsFlow | rtsHandshake, 8, 0, 0}, CS8 | CRTSCTS, 0},
    };
    termios2 old{};
    old.c_cflag = CS8 | PARENB | CSTOPB | CRTSCTS | CREAD;
    old.c_iflag = INPCK | IXON | IXOFF | ICRNL;
    for (const auto& c : cases) {
        const termios2 t = TermiosWith(old, c.Block);
        EXPECT_EQ(t.c_cflag & kFormatBits, c.Cflag) << int(c.Block.ByteSize) << " " << int(c.Block.Parity);
        EXPECT_EQ(t.c_iflag & (INPCK | IXON | IXOFF), c.Iflag) << c.Block.Flags;
        EXPECT_TRUE(t.c_cflag & CREAD); // the rest as it was
        EXPECT_TRUE(t.c_iflag & ICRNL);

        const ControlBlock back = ControlBlockOf(t, c.Block.Flags & kKeptFlags, false, 0);
        EXPECT_EQ(back.Flags & ~kKeptFlags, c.Block.Flags & ~kKeptFlags) << c.Block.Flags;
        EXPECT_EQ(back.ByteSize, c.Block.ByteSize);
        EXPECT_EQ(back.Parity, c.Block.Parity);
        EXPECT_EQ(back.StopBits, c.Block.StopBits);
    }
}

TEST(TermiosSettings, APtyReadsBackTheFormatLastSetAndOnlyAPty)
{
    termios2 forced{};
    forced.c_cflag = CS8 | CSTOPB; // what a pty's driver leaves of 7E2
    EXPECT_EQ(ControlBlockOf(forced, 0, true, CS7 | PARENB).ByteSize, 7);
    EXPECT_EQ(ControlBlockOf(forced, 0, true, CS7 | PARENB).Parity, 2);
    EXPECT_EQ(ControlBlockOf(forced, 0, true, CS7 | PARENB).StopBits, 2);
    EXPECT_EQ(ControlBlockOf(forced, 0, false, CS7 | PARENB).ByteSize, 8);
}

TEST(TermiosSettings, WhatADriverKeptPassesWithinTwoPercentAndTheSameFormat)
{
    termios2 asked{};
    asked.c_ospeed = 9600;
    asked.c_cflag = CS7 | PARENB | CSTOPB;
    const struct {
        uint32_t Got;
        tcflag_t Cflag;
        bool Pty;
        bool Kept;
    } cases[] = {
        {9600 + 192, asked.c_cflag, false, true}, {9600 + 193, asked.c_cflag, false, false},
        {9600 - 192, asked.c_cflag, false, true}, {9600 - 193, asked.c_cflag, false, false},
        {9600, CS7 | PARENB, false, false},       {9600, CS8 | CSTOPB, false, false},
        {9600, CS8 | CSTOPB, true, true},         {9600, CS7 | PARENB | CSTOPB | CRTSCTS, true, false},
    };
    for (const auto& c : cases) {
        termios2 now = asked;
        now.c_ospeed = c.Got;
        now.c_cflag = c.Cflag;
        EXPECT_EQ(KeptAsAsked(asked, now, c.Pty), c.Kept) << c.Got << " " << c.Cflag << " " << c.Pty;
    }
}

TEST(TermiosSettings, TheLinesAtOpenAreTheKeptDtrAndRts)
{
    termios2 t{};
    EXPECT_EQ(KeptFlagsAtOpen(-1, t), (kLineEnable << kDtrShift) | (kLineEnable << kRtsShift));
    EXPECT_EQ(KeptFlagsAtOpen(TIOCM_DTR, t), kLineEnable << kDtrShift);
    EXPECT_EQ(KeptFlagsAtOpen(TIOCM_RTS, t), kLineEnable << kRtsShift);
    t.c_cflag = CRTSCTS;
    EXPECT_EQ(KeptFlagsAtOpen(TIOCM_DTR | TIOCM_RTS, t),
              (kLineEnable << kDtrShift) | (kLineHandshake << kRtsShift));
}

TEST(LineCounters, EachCounterBecomesItsOwnErrorBitAndEvent)
{
    const struct {
        int serial_icounter_struct::*Counter;
        uint32_t Error;
        uint32_t Event;
    } cases[] = {
        {&serial_icounter_struct::buf_overrun, kCeRxOver, kEvErr},
        {&serial_icounter_struct::overrun, kCeOverrun, kEvErr},
        {&serial_icounter_struct::parity, kCeRxParity, kEvErr},
        {&serial_icounter_struct::frame, kCeFrame, kEvErr},
        {&serial_icounter_struct::brk, kCeBreak, kEvBreak},
        {&serial_icounter_struct::rx, 0, 0},
    };
    const serial_icounter_struct base{};
    for (const auto& c : cases) {
        serial_icounter_struct now{};
        now.*c.Counter = 1;
        EXPECT_EQ(ErrorsBetween(base, now), c.Error) << c.Error;
        EXPECT_EQ(EventsBetween(base, now), c.Event) << c.Error;
    }
}

} // namespace
