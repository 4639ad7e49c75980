// The two reads of a Windows serial device: the bounded one that Read makes,
// whose bytes, when it outlives its bound, are owed to a later call, and the
// one-byte read a worker sleeps on where the device's waits end by themselves.
#pragma once

#include "platform/device_loss.h"
#include "platform/win32/comm_file.h"
#include "platform/win32/line_settings.h"

#include <atomic>
#include <cstdint>

namespace belvor::platform {

// False while a test leaves a read in flight at the close (the KeepReadOnClose seam).
bool EndReadOnClose();

// What both reads work with, owned by the device.
struct ReadContext {
    CommFile& File;
    LineSettings& Line;
    DeviceLossWatch& Loss;
    // Counts purges of the input; a read started before one has bytes the
    // purge was meant to drop.
    const std::atomic<uint32_t>& InputPurges;
};

class BoundedRead {
public:
    explicit BoundedRead(const ReadContext& context) : FContext(context) {}

    bool InFlight() const { return FContext.File.Read().InFlight(); }
    // Takes the end of a read that outlived its bound: the bytes it hands to
    // this call; none while it goes on.
    Result<uint32_t> CollectLate(uint8_t* dest, uint32_t size);
    // Reads up to size bytes into dest, waiting up to the bound; how many
    // (none also when it is still in flight, its bytes owed), or why it failed.
    Result<uint32_t> Start(uint8_t* dest, uint32_t size);

private:
    // Copies what a read stored, at most size bytes, to dest; how many.
    uint32_t Deliver(uint8_t* dest, DWORD got, uint32_t size);

    ReadContext FContext;
    // Where the read in flight was told to store, and how much: the bytes of
    // a read that ends late are owed there.
    uint8_t* FDest = nullptr;
    uint32_t FSize = 0;
};

// Wine ends every WaitCommEvent on a pty within about 2 ms, and a driver may
// end its waits as it likes; a read of one byte with no time-outs is held by
// every driver until a byte comes. Its byte is kept for the next Read.
class SleepingRead {
public:
    explicit SleepingRead(const ReadContext& context) : FContext(context) {}

    bool InFlight() const { return FContext.File.SleepingRead().InFlight(); }
    // The byte it brought is the line's next one: Status counts it, Read
    // hands it over first, an input purge drops it.
    bool Holds() const { return FByteHeld.load(); }
    void Drop() { FByteHeld = false; }
    uint8_t Take();
    // Sleeps on it until a byte comes, a wake, or timeoutMs.
    void Sleep(uint32_t timeoutMs);
    // Takes its result if it has ended (waiting up to waitMs after
    // cancelling it); false while it is still in flight.
    bool Collect(DWORD waitMs);

private:
    bool Start();

    ReadContext FContext;
    std::atomic<bool> FByteHeld{false};
};

} // namespace belvor::platform
