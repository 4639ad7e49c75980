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

Result<serial_icounter_struct> ReadTtyCounters(int fd)
{
    serial_icounter_struct counts{};
    if (ioctl(fd, TIOCGICOUNT, &counts) != 0)
        return Failure{static_cast<uint32_t>(errno)};
    return counts;
}

LineCounters::LineCounters(int fd, Reader read) : FFd(fd), FRead(read)
{
    serial_icounter_struct counts{};
    if (Read(counts))
        FErrorBase = FTroubleBase = counts;
}

bool LineCounters::Read(serial_icounter_struct& counts)
{
    if (!FSupported)
        return false;
    const Result<serial_icounter_struct> read = FRead(FFd);
    if (read) {
        counts = *read;
        return true;
    }
    if (read.Error() == ENOTTY || read.Error() == EINVAL)
        FSupported = false;
    return false;
}

LineErrors LineCounters::TakeErrors()
{
    serial_icounter_struct now{};
    if (!Read(now))
        return {};
    // A first reading is only the base: what it holds happened before the open.
    const LineErrors errors = FErrorBase ? ErrorsBetween(*FErrorBase, now) : LineErrors{};
    FErrorBase = now;
    return errors;
}

bool LineCounters::TakeTrouble(bool hungUp)
{
    bool trouble = false;
    serial_icounter_struct now{};
    if (Read(now)) {
        trouble = FTroubleBase && ErrorsBetween(*FTroubleBase, now).Any();
        FTroubleBase = now;
    }
    // A line whose other side is gone stays so: report that once, not in
    // every look, or the worker would never see a quiet line again.
    trouble = trouble || (hungUp && !FHangUpReported);
    FHangUpReported = hungUp;
    return trouble;
}

} // namespace belvor::platform
