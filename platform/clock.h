// Local wall-clock time, as the log's timestamps show it.
#pragma once

#include <chrono>
#include <cstdint>

namespace belvor::platform {

struct LocalTime {
    uint16_t Year;
    uint8_t Month; // 1-12
    uint8_t Day;   // 1-31
    uint8_t Hour;  // 0-23
    uint8_t Minute;
    uint8_t Second;
};

LocalTime CurrentLocalTime();

// The user's time separator (one byte); ':' where the system defines none.
char TimeSeparator();

// The steady clock in milliseconds, for spans a host reads (the time since a
// code). On Windows it is the performance counter, which goes on while the
// system sleeps or hibernates; on Linux CLOCK_MONOTONIC, which stops.
int64_t SteadyMilliseconds() noexcept;

// The time the system has been awake, in milliseconds: it stops while the
// system sleeps or hibernates, as the bounds of the worker's waits do (poll's
// time-out on Linux; the wait functions' on Windows 8 and later; on Windows 7
// a wait's bound runs on, so its wait only ends sooner). Whether a wait or a
// round overran its bound is measured on it: on a clock that went on, a
// worker asleep until news when the system slept would seem a stall of the
// whole night after the resume, until its sleep's bound ran out.
int64_t AwakeMilliseconds() noexcept;

// For tests: the clocks read as after a system sleep of ms and a resume. Those
// that go on during a sleep (on Windows the steady clock) jump by ms; the awake
// clock does not, nor does any clock on Linux.
void PassSystemSleepForTesting(int64_t ms) noexcept; // a negative ms undoes one

} // namespace belvor::platform
