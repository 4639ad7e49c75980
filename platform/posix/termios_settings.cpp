#include "platform/posix/termios_settings.h"

#include <sys/ioctl.h>

namespace belvor::platform {

namespace {

// A rate the kernel applies within this share of the one asked for counts as
// applied, as UART divisors rarely hit a rate exactly.
constexpr uint32_t kBaudTolerancePercent = 2;

// The format's bits of c_cflag.
constexpr tcflag_t kFormatCflags = CSIZE | CSTOPB | PARENB | PARODD | CMSPAR;
// The bits of c_cflag a driver may drop when it cannot do them.
constexpr tcflag_t kCheckedCflags = kFormatCflags | CRTSCTS;

struct BaudCode {
    uint32_t Rate;
    unsigned Code;
};

constexpr BaudCode kBaudCodes[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

tcflag_t ParityBits(uint8_t parity)
{
    switch (parity) {
    case 1:
        return PARENB | PARODD;
    case 2:
        return PARENB;
    case 3:
        return PARENB | CMSPAR | PARODD;
    case 4:
        return PARENB | CMSPAR;
    default:
        return 0;
    }
}

uint8_t ParityOf(tcflag_t cflag)
{
    if (!(cflag & PARENB))
        return 0;
    if (cflag & CMSPAR)
        return (cflag & PARODD) ? 3 : 4;
    return (cflag & PARODD) ? 1 : 2;
}

uint8_t ByteSizeOf(tcflag_t cflag)
{
    switch (cflag & CSIZE) {
    case CS5:
        return 5;
    case CS6:
        return 6;
    case CS7:
        return 7;
    default:
        return 8;
    }
}

} // namespace

unsigned CodeOfRate(uint32_t rate)
{
    for (const BaudCode& entry : kBaudCodes)
        if (entry.Rate == rate)
            return entry.Code;
    return BOTHER;
}

void MakeRaw(termios2& t)
{
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | IGNPAR | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IUCLC | IXON | IXANY | IXOFF | IMAXBEL | IUTF8);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOPRT |
                                        ECHOKE | IEXTEN | TOSTOP | XCASE | NOFLSH);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
}

LineFormat Merged(const LineFormat& now, const LineConfig& config)
{
    return {config.BaudRate.value_or(now.BaudRate), config.DataBits.value_or(now.DataBits),
            config.Parity.value_or(now.Parity), config.StopBits.value_or(now.StopBits)};
}

bool TermiosCanHold(const LineFormat& format)
{
    // Rate 0 would be B0, which hangs the line up.
    return format.BaudRate != 0 && format.DataBits >= 5 && format.DataBits <= 8 && format.Parity <= 4 &&
           (format.StopBits == 1 || format.StopBits == 2);
}

termios2 TermiosWith(const termios2& old, const LineFormat& format)
{
    termios2 t = old;
    // Input speed bits 0: the input runs at the output's rate.
    t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= CodeOfRate(format.BaudRate);
    t.c_ospeed = t.c_ispeed = format.BaudRate;

    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag &= ~kFormatCflags;
    t.c_cflag |= kSizes[format.DataBits - 5] | ParityBits(format.Parity);
    if (format.StopBits == 2)
        t.c_cflag |= CSTOPB;
    return t;
}

LineFormat FormatOf(const termios2& t, bool isPty, tcflag_t ptyFormat)
{
    const tcflag_t cflag = isPty ? (t.c_cflag & ~kPtyForcedCflags) | ptyFormat : t.c_cflag;
    // The kernel fills c_ospeed for Bxxx codes as well as for BOTHER.
    return {t.c_ospeed, ByteSizeOf(cflag), ParityOf(cflag), static_cast<uint8_t>((cflag & CSTOPB) ? 2 : 1)};
}

bool KeptAsAsked(const termios2& asked, const termios2& now, bool isPty)
{
    const uint64_t rate = asked.c_ospeed;
    const uint64_t got = now.c_ospeed;
    const uint64_t off = got > rate ? got - rate : rate - got;
    const tcflag_t checked = kCheckedCflags & ~(isPty ? kPtyForcedCflags : 0);
    return off * 100 <= rate * kBaudTolerancePercent && (now.c_cflag & checked) == (asked.c_cflag & checked);
}

} // namespace belvor::platform
