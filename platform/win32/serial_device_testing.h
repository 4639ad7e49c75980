// For tests only: what a test sees of a Windows serial device's reads and
// waits in flight. Its seams and bounds are set through platform/seams.h.
// Nothing in the library calls these.
#pragma once

#include <windows.h>

#include <cstdint>

namespace belvor::platform {

class SerialDevice;

// True once the read a device (one OpenSystemSerialDevice made) has in flight
// has ended, before a Read collects it.
bool ReadInFlightEndedForTests(const SerialDevice& device);
// True while a device's wait for line events is in flight.
bool WaitInFlightForTests(const SerialDevice& device);

// The read the latest device closed under the KeepReadOnClose seam left in flight:
// the device's handle, which the caller closes (CloseTrackedHandle), and the
// read's record, abandoned by the device. Null records when none was left.
struct KeptReadForTests {
    HANDLE File = INVALID_HANDLE_VALUE;
    const OVERLAPPED* Record = nullptr;
};
KeptReadForTests TakeKeptReadForTests();

} // namespace belvor::platform
