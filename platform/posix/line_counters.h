// The line's interrupt counters (breaks, framing, parity and overrun errors)
// as the news since a baseline: ClearError's error bits since the last
// ClearError, WaitEvent's break and error events since the last WaitEvent,
// and a hang-up reported once.
#pragma once

#include <linux/serial.h>

#include <cstdint>

namespace belvor::platform {

// The ClearError bits (kCe...) for what the counters went through from base to now.
uint32_t ErrorsBetween(const serial_icounter_struct& base, const serial_icounter_struct& now);
// The WaitEvent events (kEvBreak, kEvErr) for the same.
uint32_t EventsBetween(const serial_icounter_struct& base, const serial_icounter_struct& now);

class LineCounters {
public:
    // Takes both baselines from the tty's counters as they stand.
    explicit LineCounters(int fd);

    // The error bits since the last call (or the open).
    uint32_t TakeErrors();
    // The events since the last call, with kEvErr for a hang-up the last call
    // did not see.
    uint32_t TakeEvents(bool hungUp);

private:
    // False where the driver keeps no counters (ptys).
    bool Read(serial_icounter_struct& counts);

    int FFd;
    bool FSupported = true;
    serial_icounter_struct FErrorBase{}; // counters at the last TakeErrors
    serial_icounter_struct FEventBase{}; // counters at the last TakeEvents
    bool FHangUpReported = false;
};

} // namespace belvor::platform
