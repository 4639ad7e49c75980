#include "platform/posix/line_counters.h"

#include <cerrno>
#include <sys/ioctl.h>

namespace belvor::platform {

namespace {

// The kernel's counters are ints that wrap: the difference taken as unsigned survives that.
uint32_t Since(int base, int now)
{
    return static_cast<uint32_t>(now) - static_cast<uint32_t>(base);
}

} // namespace

LineErrors ErrorsBetween(const serial_icounter_struct& base, const serial_icounter_struct& now)
{
    return {Since(base.buf_overrun, now.buf_overrun), Since(base.overrun, now.overrun),
            Since(base.parity, now.parity), Since(base.frame, now.frame), Since(base.brk, now.brk)};
}

LineCounters::LineCounters(int fd) : FFd(fd)
{
    serial_icounter_struct counts{};
    if (Read(counts))
        FErrorBase = FTroubleBase = counts;
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

LineErrors LineCounters::TakeErrors()
{
    serial_icounter_struct now{};
    if (!Read(now))
        return {};
    const LineErrors errors = ErrorsBetween(FErrorBase, now);
    FErrorBase = now;
    return errors;
}

bool LineCounters::TakeTrouble(bool hungUp)
{
    bool trouble = false;
    serial_icounter_struct now{};
    if (Read(now)) {
        trouble = ErrorsBetween(FTroubleBase, now).Any();
        FTroubleBase = now;
    }
    // A line whose other side is gone stays so: report that once, not in
    // every look, or the worker would never see a quiet line again.
    trouble = trouble || (hungUp && !FHangUpReported);
    FHangUpReported = hungUp;
    return trouble;
}

} // namespace belvor::platform
