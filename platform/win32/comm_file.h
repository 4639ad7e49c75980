// An open Windows serial device: the exclusive overlapped handle on \\.\COMn,
// the records the kernel writes into, the three operations on them and the
// wake event. Opening takes all of them or, failing, releases what it took;
// closing ends what is in flight, bounded, before letting go.
#pragma once

#include "platform/no_copy.h"
#include "platform/result.h"
#include "platform/win32/overlapped_op.h"

#include <windows.h>

#include <cstdint>
#include <memory>

namespace belvor::platform {

// What the kernel writes into while an operation is in flight. It lives on the
// heap so that a device whose operation cannot be seen to end can leave it
// behind instead of freeing memory the kernel may still write. That includes
// the bytes of a read: it stores them here, never in its caller's memory,
// which the caller may free once the call is over (the port frees its ring
// right after the close).
struct IoRecords {
    OVERLAPPED Read{};
    OVERLAPPED Wait{};
    OVERLAPPED SleepingRead{};
    DWORD WaitMask = 0;
    uint8_t SleepingByte = 0;
    std::unique_ptr<uint8_t[]> Received; // grown while no read is in flight
    uint32_t ReceivedSize = 0;
};

class CommFile : NoCopy {
public:
    CommFile() = default;
    ~CommFile();

    // Fails with the system's error when the device or any part could not be
    // had; then nothing is left open.
    static Result<std::unique_ptr<CommFile>> Open(uint16_t portNumber);

    HANDLE Handle() const { return FHandle; }
    IoRecords& Io() { return *FIo; }
    // The WaitCommEvent.
    OverlappedOp& Wait() { return FWait; }
    // The ReadFile bounded by its caller.
    OverlappedOp& Read() { return FRead; }
    const OverlappedOp& Read() const { return FRead; }
    // The one-byte read a worker sleeps on. While it is in flight no other
    // read may start, or the two could share the line's bytes out of order.
    OverlappedOp& SleepingRead() { return FSleepingRead; }
    const OverlappedOp& SleepingRead() const { return FSleepingRead; }
    // Auto-reset: a wake sets it, the sleep it ends takes it.
    HANDLE WakeEvent() const { return FWakeEvent; }

private:
    Result<> Take(uint16_t portNumber);
    // Ends what is in flight before the close, bounded; false when one has not.
    bool SettleAll();

    HANDLE FHandle = INVALID_HANDLE_VALUE;
    std::unique_ptr<IoRecords> FIo;
    OverlappedOp FWait;
    OverlappedOp FRead;
    OverlappedOp FSleepingRead;
    HANDLE FWakeEvent = nullptr;
};

} // namespace belvor::platform
