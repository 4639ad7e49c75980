// The line's interrupt counters (breaks, framing, parity and overrun errors)
// as the news since a baseline: Status's errors since the last Status, Look's
// line trouble since the last Look, and a hang-up reported once.
#pragma once

#include "platform/serial_device.h"

#include <linux/serial.h>

#include <cstdint>

namespace belvor::platform {

// The errors the counters went through from base to now.
LineErrors ErrorsBetween(const serial_icounter_struct& base, const serial_icounter_struct& now);

class LineCounters {
public:
    // Takes both baselines from the tty's counters as they stand.
    explicit LineCounters(int fd);

    // The errors since the last call (or the open).
    LineErrors TakeErrors();
    // Whether there was a break or an error since the last call, or a
    // hang-up the last call did not see.
    bool TakeTrouble(bool hungUp);

private:
    // False where the driver keeps no counters (ptys).
    bool Read(serial_icounter_struct& counts);

    int FFd;
    bool FSupported = true;
    serial_icounter_struct FErrorBase{};   // counters at the last TakeErrors
    serial_icounter_struct FTroubleBase{}; // counters at the last TakeTrouble
    bool FHangUpReported = false;
};

} // namespace belvor::platform
