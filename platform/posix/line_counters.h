// The line's interrupt counters (breaks, framing, parity and overrun errors)
// as the news since a baseline: Status's errors since the last Status, Look's
// line trouble since the last Look, and a hang-up reported once.
#pragma once

#include "platform/result.h"
#include "platform/serial_device.h"

#include <linux/serial.h>

#include <cstdint>
#include <optional>

namespace belvor::platform {

// The errors the counters went through from base to now.
LineErrors ErrorsBetween(const serial_icounter_struct& base, const serial_icounter_struct& now);

// The tty's counters, or the errno value of its failed TIOCGICOUNT.
Result<serial_icounter_struct> ReadTtyCounters(int fd);

class LineCounters {
public:
    using Reader = Result<serial_icounter_struct> (*)(int fd);

    // Takes both baselines from the tty's counters as they stand (read: the
    // tests' stand-in for the tty).
    explicit LineCounters(int fd, Reader read = &ReadTtyCounters);

    // The errors since the last call (or the open); none until the counters
    // could be read once, whose reading is the baseline.
    LineErrors TakeErrors();
    // Whether there was a break or an error since the last call (the same
    // baseline), or a hang-up the last call did not see.
    bool TakeTrouble(bool hungUp);

private:
    // False where the driver keeps no counters (ptys).
    bool Read(serial_icounter_struct& counts);

    int FFd;
    Reader FRead;
    bool FSupported = true;
    // The counters at the last TakeErrors and TakeTrouble that could read
    // them; none before the first such reading (the kernel counts from boot).
    std::optional<serial_icounter_struct> FErrorBase;
    std::optional<serial_icounter_struct> FTroubleBase;
    bool FHangUpReported = false;
};

} // namespace belvor::platform
