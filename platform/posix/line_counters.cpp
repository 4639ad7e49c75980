#include "platform/posix/line_counters.h"

#include "platform/serial_device.h"

#include <cerrno>
#include <sys/ioctl.h>

namespace belvor::platform {

uint32_t ErrorsBetween(const serial_icounter_struct& base, const serial_icounter_struct& now)
{
    uint32_t errors = 0;
    if (now.buf_overrun != base.buf_overrun)
        errors |= kCeRxOver;
    if (now.overrun != base.overrun)
        errors |= kCeOverrun;
    if (now.parity != base.parity)
        errors |= kCeRxParity;
    if (now.frame != base.frame)
        errors |= kCeFrame;
    if (now.brk != base.brk)
        errors |= kCeBreak;
    return errors;
}

uint32_t EventsBetween(const serial_icounter_struct& base, const serial_icounter_struct& now)
{
    uint32_t events = 0;
    if (now.brk != base.brk)
        events |= kEvBreak;
    if (now.frame != base.frame || now.overrun != base.overrun || now.parity != base.parity ||
        now.buf_overrun != base.buf_overrun)
        events |= kEvErr;
    return events;
}

LineCounters::LineCounters(int fd) : FFd(fd)
{
    serial_icounter_struct counts{};
    if (Read(counts))
        FErrorBase = FEventBase = counts;
}

bool LineCounters::Read(serial_icounter_struct& counts)
{
    if (!FSupported)
        return false;
    if (ioctl(FFd, TIOCGICOUNT, &counts) == 0)
        return true;
    if (errno == ENOTTY || errno == EINVAL)
        FSupported = false;
    return false;
}

uint32_t LineCounters::TakeErrors()
{
    serial_icounter_struct now{};
    if (!Read(now))
        return 0;
    const uint32_t errors = ErrorsBetween(FErrorBase, now);
    FErrorBase = now;
    return errors;
}

uint32_t LineCounters::TakeEvents(bool hungUp)
{
    uint32_t events = 0;
    serial_icounter_struct now{};
    if (Read(now)) {
        events = EventsBetween(FEventBase, now);
        FEventBase = now;
    }
    // A line whose other side is gone stays so: report that once, not in
    // every cycle, or the worker would never see a quiet line again.
    if (hungUp && !FHangUpReported)
        events |= kEvErr;
    FHangUpReported = hungUp;
    return events;
}

} // namespace belvor::platform
