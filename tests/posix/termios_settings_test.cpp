// The line's settings to and from termios2, and the counters' news, without
// a tty: what a pty cannot show (rates, stop bits, mark and space parity,
// error counters) is checked here.
#include "platform/posix/line_counters.h"
#include "platform/posix/termios_settings.h"

#include <cerrno>
#include <climits>
#include <gtest/gtest.h>
#include <optional>
#include <tuple>
#include <vector>

using namespace belvor::platform;

namespace {

constexpr tcflag_t kFormatBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;

TEST(TermiosSettings, RatesGetTheirOwnCodeOrBother)
{
    const struct {
        uint32_t Rate;
        unsigned Code;
    } cases[] = {{50, B50},         {9600, B9600},       {19200, B19200}, {230400, B230400},
                 {460800, B460800}, {4000000, B4000000}, {14400, BOTHER}, {31250, BOTHER}};
    for (const auto& c : cases) {
        const termios2 t = TermiosWith(termios2{}, {c.Rate, 8, 0, 1});
        EXPECT_EQ(t.c_cflag & (CBAUD | (CBAUD << IBSHIFT)), c.Code) << c.Rate;
        EXPECT_EQ(t.c_ospeed, c.Rate);
        EXPECT_EQ(t.c_ispeed, c.Rate);
    }
}

TEST(TermiosSettings, TheFormatGoesBothWaysAndFlowControlStaysAsItWas)
{
    const struct {
        LineFormat Format;
        tcflag_t Cflag;
    } cases[] = {
        {{9600, 5, 0, 1}, CS5},
        {{9600, 6, 1, 2}, CS6 | PARENB | PARODD | CSTOPB},
        {{9600, 7, 2, 1}, CS7 | PARENB},
        {{9600, 8, 3, 2}, CS8 | PARENB | PARODD | CMSPAR | CSTOPB},
        {{9600, 8, 4, 1}, CS8 | PARENB | CMSPAR},
    };
    termios2 old{};
    old.c_cflag = CS8 | PARENB | CSTOPB | CRTSCTS | CREAD;
    old.c_iflag = INPCK | IXON | IXOFF | ICRNL;
    for (const auto& c : cases) {
        const termios2 t = TermiosWith(old, c.Format);
        EXPECT_EQ(t.c_cflag & kFormatBits, c.Cflag) << int(c.Format.DataBits) << " " << int(c.Format.Parity);
        EXPECT_EQ(t.c_cflag & (CREAD | CRTSCTS), tcflag_t(CREAD | CRTSCTS)); // the rest as it was
        EXPECT_EQ(t.c_iflag, old.c_iflag);

        const LineFormat back = FormatOf(t, false, 0);
        EXPECT_EQ(back.DataBits, c.Format.DataBits);
        EXPECT_EQ(back.Parity, c.Format.Parity);
        EXPECT_EQ(back.StopBits, c.Format.StopBits);
    }
}

TEST(TermiosSettings, APtyReadsBackTheFormatLastSetAndOnlyAPty)
{
    termios2 forced{};
    forced.c_cflag = CS8 | CSTOPB; // what a pty's driver leaves of 7E2
    EXPECT_EQ(FormatOf(forced, true, CS7 | PARENB).DataBits, 7);
    EXPECT_EQ(FormatOf(forced, true, CS7 | PARENB).Parity, 2);
    EXPECT_EQ(FormatOf(forced, true, CS7 | PARENB).StopBits, 2);
    EXPECT_EQ(FormatOf(forced, false, CS7 | PARENB).DataBits, 8);
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

TEST(LineCounters, EachCounterBecomesItsOwnErrorCountedInFull)
{
    const struct {
        int serial_icounter_struct::*Counter;
        uint32_t LineErrors::*Error;
    } cases[] = {
        {&serial_icounter_struct::buf_overrun, &LineErrors::QueueOverflow},
        {&serial_icounter_struct::overrun, &LineErrors::Overrun},
        {&serial_icounter_struct::parity, &LineErrors::Parity},
        {&serial_icounter_struct::frame, &LineErrors::Framing},
        {&serial_icounter_struct::brk, &LineErrors::Break},
        {&serial_icounter_struct::rx, nullptr},
    };
    // Many in one look count as many; the kernel's int wraps between two looks.
    for (const auto& [from, to, counted] : {std::tuple{0, 5, 5u}, std::tuple{INT_MAX - 1, INT_MIN + 2, 4u}}) {
        for (const auto& c : cases) {
            serial_icounter_struct base{}, now{};
            base.*c.Counter = from;
            now.*c.Counter = to;
            LineErrors expected;
            if (c.Error)
                expected.*c.Error = counted;
            EXPECT_TRUE(ErrorsBetween(base, now) == expected)
                << (c.Error ? "an error" : "rx") << " counted wrong from " << from << " to " << to;
        }
    }
}

// A tty's framing counter, one reading a call; nullopt: that TIOCGICOUNT fails (EIO).
std::vector<std::optional<int>> gFrames;

Result<serial_icounter_struct> ScriptedCounters(int)
{
    const std::optional<int> frames = gFrames.front();
    gFrames.erase(gFrames.begin());
    serial_icounter_struct counts{};
    counts.frame = frames.value_or(0);
    return frames ? Result<serial_icounter_struct>(counts) : Failure{EIO};
}

TEST(LineCounters, NothingIsCountedAgainstABaseNeverRead)
{
    // The open's reading, then one per look (the kernel counts from boot); what each look counts.
    const std::pair<std::vector<std::optional<int>>, std::vector<uint32_t>> cases[] = {
        {{1000, 1002, 1002}, {2, 0}},
        {{std::nullopt, 1000, 1003}, {0, 3}},
        {{std::nullopt, std::nullopt, 1000, 1001}, {0, 0, 1}},
        {{1000, std::nullopt, 1004}, {0, 4}},
    };
    for (const bool trouble : {false, true}) {
        for (const auto& [frames, counted] : cases) {
            gFrames = frames;
            LineCounters counters(-1, &ScriptedCounters);
            for (size_t look = 0; look < counted.size(); ++look)
                EXPECT_EQ(trouble ? counters.TakeTrouble(false) : counters.TakeErrors().Framing,
                          trouble ? counted[look] != 0 : counted[look])
                    << "look " << look << (trouble ? " for trouble" : " for errors") << ", case of "
                    << frames.size();
            EXPECT_TRUE(gFrames.empty());
        }
    }
}

} // namespace
