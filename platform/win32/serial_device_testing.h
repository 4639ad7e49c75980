// For tests only: lets a test make a read on a Windows serial device outlive
// its bound on purpose, so that the path of a read that completes late can be
// reached on a real line. Nothing in the library calls it; without it the
// devices keep their normal bounds.
#pragma once

#include <windows.h>

#include <cstdint>

namespace belvor::platform {

class SerialDevice;

struct ReadBoundsForTests {
    uint32_t ReadLimitMs = 0;    // how long a pending read is waited for
    bool CancelLateReads = true; // false: a read past its bound stays in flight uncancelled
    // false: closing a device leaves its read in flight as a driver whose
    // cancel never ends would, the file kept open for it (TakeKeptReadForTests).
    bool EndReadOnClose = true;
};

// The bounds every Windows serial device uses from now on; returns the ones
// before. Tests restore them when they are done.
ReadBoundsForTests ReplaceReadBoundsForTests(ReadBoundsForTests bounds);

// True once the read a device (one OpenSystemSerialDevice made) has in flight
// has ended, before a Read collects it.
bool ReadInFlightEndedForTests(const SerialDevice& device);

// The code a device (one OpenSystemSerialDevice made) was lost with, 0 while
// it is there, without the look that would tell it.
uint32_t LostCodeForTests(const SerialDevice& device);

// The read the latest device closed with EndReadOnClose false left in flight:
// the device's handle, which the caller closes (CloseTrackedHandle), and the
// read's record, abandoned by the device. Null records when none was left.
struct KeptReadForTests {
    HANDLE File = INVALID_HANDLE_VALUE;
    const OVERLAPPED* Record = nullptr;
};
KeptReadForTests TakeKeptReadForTests();

struct CommCalls;
// Stands calls in for kernel32's serial calls on every device opened from
// now on; null puts the system's back. Returns the ones before. Only while
// no device is open.
CommCalls ReplaceCommCallsForTests(const CommCalls* calls);

// How long a wait for line events may go on, and a set event over a pending
// status last (wait_watch.h), for every device opened from now on; zeros put
// the defaults back.
struct WaitBoundsForTests {
    int64_t LostCompletionMs = 0;
    int64_t WaitBoundMs = 0;
};
void ReplaceWaitBoundsForTests(WaitBoundsForTests bounds);

} // namespace belvor::platform
