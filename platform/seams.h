// The one door through which tests and benchmarks reach the system's place
// and the product's times: what stands in for the system (Seams) and how long
// the library's bounded waits last (Timings), each set by one call and read
// where it is used. The library itself never sets either; left alone they are
// the system's own calls and the product's own times.
#pragma once

#include "platform/serial_device.h"

#include <cstdint>
#include <type_traits>

namespace belvor::platform {

struct CommCalls;
struct FileSystem;

// Each member left null (false) is the system's own.
struct Seams {
    // Opens COMn: fake devices, or opens that fail.
    SerialOpener Opener = nullptr;
    // Windows: the serial calls of every device opened from now on (set only
    // while none is open); the caller keeps the table alive.
    const CommCalls* Comm = nullptr;
    // The log's file calls; the caller keeps the table alive.
    const FileSystem* Files = nullptr;
    // Asked before every thread is made: false fails that start as a refusal of the system's would.
    bool (*ThreadStart)() = nullptr;
    // Asked before every event is made: a nonzero code fails it with that code.
    uint32_t (*EventCreate)() = nullptr;
    // Windows: a read past its bound stays in flight uncancelled, and a closed
    // device leaves its read in flight with the file kept open for it, as a
    // driver whose cancel never ends would.
    bool KeepLateReads = false;
    bool KeepReadOnClose = false;
};

// Puts seams in place for everything from now on; returns the ones before.
// A test sets the ones before back when it is done.
Seams SetSeams(const Seams& seams);
Seams CurrentSeams();
// The serial calls' seam alone, for a read on every call.
const CommCalls* CommSeam();
// One seam changed, the others kept; returns the ones before.
template <class T> Seams SetSeam(T Seams::*seam, std::type_identity_t<T> value)
{
    Seams seams = CurrentSeams();
    seams.*seam = value;
    return SetSeams(seams);
}

// Each member left 0 is the product's own time.
struct Timings {
    uint32_t ReopenIntervalMs = 0; // between a lost port's tries to open again (1000)
    uint32_t NewsWaitMs = 0;       // a worker's sleep until news, at the longest (60000)
    // A delivery thread's wait for a wake before it looks anyway (1000); tests
    // make it long, so that a lost wake shows as a hang, not a delay.
    uint32_t DeliveryRecheckMs = 0;
    int64_t ReaderStallMs = 0;    // how far past its round a worker counts as stuck (5000)
    uint32_t ReadLimitMs = 0;     // Windows: how long a pending read is waited for
    int64_t LostCompletionMs = 0; // Windows: a set event over a pending status, at the longest
    int64_t WaitBoundMs = 0;      // Windows: a wait for line events, at the longest
};

// Puts timings in place; returns the ones before. Threads, waits and devices
// made before keep the times they took.
Timings SetTimings(const Timings& timings);
Timings CurrentTimings();

// A time as set, or the product's own when none was.
template <class T> T Or(T set, T own)
{
    return set != 0 ? set : own;
}

} // namespace belvor::platform
