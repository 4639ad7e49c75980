// Serial devices through kernel32: an exclusive overlapped handle on
// \\.\COMn. WaitEvent never blocks: it starts one WaitCommEvent and then only
// looks whether it has completed. A worker that sleeps until news blocks in
// WaitForNews instead, on that wait's event and a wake event of its own, or,
// where waits end by themselves, on a one-byte read (see SleepOnRead).
#include "platform/serial_device.h"
#include "platform/win32/device_loss.h"
#include "platform/win32/handles.h"
#include "platform/win32/serial_device_testing.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <utility>

namespace belvor::platform {

namespace {

// Bound for a read that should be over at once before it is cancelled (with
// the port's time-outs it is, except under Wine when nothing has arrived), and
// for a cancelled operation to end (under Wine mostly well under a millisecond,
// at worst a few: bench/serial_read_bench). A worker cycle makes at most two
// reads, so it spends at most 2 x (20 + 40) = 120 ms in them, well inside the
// 200 ms a stop waits before it ends the worker by force. A read that outlasts
// both bounds is not waited for further: it stays in flight and a later call
// collects it.
constexpr DWORD kReadLimitMs = 20;
constexpr DWORD kSettleLimitMs = 40;

// What tests may change through ReplaceReadBoundsForTests.
std::atomic<uint32_t> gReadLimitMs{kReadLimitMs};
std::atomic<bool> gCancelLateReads{true};
std::atomic<bool> gEndReadOnClose{true};
std::mutex gKeptLock;
KeptReadForTests gKept;

// The DCB keeps its flags as a bitfield: the 32-bit word right after BaudRate.
constexpr size_t kFlagWordOffset = offsetof(DCB, BaudRate) + sizeof(DWORD);
static_assert(offsetof(DCB, wReserved) == kFlagWordOffset + sizeof(uint32_t), "DCB flag word is not 32 bits");

uint32_t FlagWord(const DCB& dcb)
{
    uint32_t word = 0;
    std::memcpy(&word, reinterpret_cast<const unsigned char*>(&dcb) + kFlagWordOffset, sizeof word);
    return word;
}

void SetFlagWord(DCB& dcb, uint32_t word)
{
    std::memcpy(reinterpret_cast<unsigned char*>(&dcb) + kFlagWordOffset, &word, sizeof word);
}

// What the kernel writes into while an operation is in flight. It lives on the
// heap so that a device whose operation cannot be seen to end can leave it
// behind instead of freeing memory the kernel may still write. That includes
// the bytes of a read: it stores them here, never in its caller's memory,
// which the caller may free once the call is over (the port frees its ring
// right after the close).
struct IoRecords {
    OVERLAPPED Read{};
    OVERLAPPED Wait{};
    OVERLAPPED Peek{};
    DWORD WaitMask = 0;
    uint8_t PeekByte = 0;
    std::unique_ptr<uint8_t[]> Received; // grown while no read is in flight
    uint32_t ReceivedSize = 0;
};

// A read that blocks until one byte has come: no time-outs at all.
constexpr COMMTIMEOUTS kBlockingRead{0, 0, 0, 0, 0};

// Like GetLastError the code is kept per thread, so that a failure on one
// thread never stands in for another's; a thread that has not failed on this
// device itself sees the device's latest failure.
struct ThreadError {
    const void* Device = nullptr;
    uint32_t Code = 0;
};
thread_local ThreadError tLastError;

class Win32SerialDevice final : public SerialDevice {
public:
    Win32SerialDevice() = default;
    ~Win32SerialDevice() override;
    Win32SerialDevice(const Win32SerialDevice&) = delete;
    Win32SerialDevice& operator=(const Win32SerialDevice&) = delete;

    // Opens the device and makes its events; on failure releases what it took.
    bool Open(uint16_t portNumber, uint32_t& nativeError);

    bool Setup(uint32_t inQueue, uint32_t outQueue) override;
    bool GetState(ControlBlock& block) override;
    bool SetState(const ControlBlock& block) override;
    bool ClearError(uint32_t& errors, uint32_t& inQueue) override;
    bool Purge(uint32_t flags) override;
    bool SetMask(uint32_t mask) override;
    bool SetTimeouts(const CommTimeouts& timeouts) override;
    bool WaitEvent(uint32_t& mask) override;
    uint32_t Read(uint8_t* dest, uint32_t size) override;
    bool ReadOwed() const override { return FReadInFlight.load() || FPeekInFlight.load(); }
    void WaitForNews(uint32_t timeoutMs) override;
    void Wake() override;
    bool Lost(uint32_t& error) const override { return FLoss.Lost(error); }
    uint32_t LastError() const override;
    bool ReadInFlightEnded() const { return FReadInFlight.load() && HasOverlappedIoCompleted(&FIo->Read); }

private:
    bool Fail(uint32_t code);
    // Sleeps on a one-byte read until a byte comes, a wake, or timeoutMs.
    void SleepOnRead(uint32_t timeoutMs);
    // Takes the sleeping read's result if it has ended (waiting up to waitMs
    // after cancelling it); false while it is still in flight.
    bool CollectPeek(DWORD waitMs);
    // Waits, bounded, for an operation in flight to end, cancelling it if
    // need be; false when it still has not.
    bool Settle(OVERLAPPED& ov);
    // Copies what a read stored, at most size bytes, to dest; how many.
    uint32_t Deliver(uint8_t* dest, DWORD got, uint32_t size);

    HANDLE FHandle = INVALID_HANDLE_VALUE;
    IoRecords* FIo = nullptr;
    // Only the thread that waits and reads touches these, and the destructor
    // after that thread has stopped.
    std::atomic<bool> FWaitInFlight{false};
    std::atomic<bool> FReadInFlight{false};
    // The latest WaitEvent collected an event from a wait that had been in
    // flight: the next one starts a fresh wait, so there is nothing to sleep
    // on before it. A wait that ended in an error does not count: Wine ends
    // every wait on a pty with ERROR_OPERATION_ABORTED within about 2 ms, and
    // starting the next one at once would cost more than polling.
    bool FWaitCollected = false;
    // Auto-reset: Wake sets it, the WaitForNews it ends takes it.
    HANDLE FWakeEvent = nullptr;
    // The one-byte read a worker sleeps on, and the byte it brought, which is
    // the line's next one: ClearError counts it, Read hands it over first, an
    // input purge drops it. While that read is in flight no other read may
    // start, or the two could share the line's bytes out of order.
    std::atomic<bool> FPeekInFlight{false};
    std::atomic<bool> FPeekHeld{false};
    std::atomic<uint32_t> FMask{0};
    COMMTIMEOUTS FTimeouts{};
    uint32_t FPeekPurges = 0; // FInputPurges when the sleeping read began
    // The bytes the device queued at the latest ClearError: so many can be
    // read at once.
    std::atomic<uint32_t> FQueuedAtClear{0};
    // A wait in flight has ended in an error: this device does not hold its
    // waits, so the worker sleeps on the one-byte read from then on.
    bool FWaitsEndAlone = false;
    bool FPeekCancelled = false;
    // Whether the read in flight was cancelled here: its abort is no news.
    bool FReadCancelled = false;
    std::atomic<uint32_t> FLastError{0};
    // Where the latest read was told to store, and how much; the bytes of a
    // read that ends late are owed there.
    uint8_t* FReadDest = nullptr;
    uint32_t FReadSize = 0;
    // Counts purges of the input; a late read started before one has bytes
    // the purge was meant to drop.
    std::atomic<uint32_t> FInputPurges{0};
    uint32_t FReadPurges = 0;
    std::mutex FDcbLock;
    DCB FDcb{};
    DeviceLossWatch FLoss;
};

bool Win32SerialDevice::Open(uint16_t portNumber, uint32_t& nativeError)
{
    char name[16];
    std::snprintf(name, sizeof name, "\\\\.\\COM%u", static_cast<unsigned>(portNumber));
    FHandle = TrackHandle(CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr));
    if (FHandle == INVALID_HANDLE_VALUE) {
        nativeError = GetLastError();
        return false;
    }
    FIo = new IoRecords;
    FIo->Read.hEvent = TrackHandle(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    FIo->Wait.hEvent = TrackHandle(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    FIo->Peek.hEvent = TrackHandle(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    FWakeEvent = TrackHandle(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    if (!FIo->Read.hEvent || !FIo->Wait.hEvent || !FIo->Peek.hEvent || !FWakeEvent) {
        nativeError = GetLastError();
        return false; // the destructor releases the rest
    }
    // SetState merges onto the DCB last read; start from the device's own.
    FDcb.DCBlength = sizeof(DCB);
    (void)GetCommState(FHandle, &FDcb);
    return true;
}

bool Win32SerialDevice::Settle(OVERLAPPED& ov)
{
    if (WaitForSingleObject(ov.hEvent, kSettleLimitMs) != WAIT_OBJECT_0) {
        // From any thread: the operation may have been started by another.
        (void)CancelIoEx(FHandle, &ov);
        if (WaitForSingleObject(ov.hEvent, kSettleLimitMs) != WAIT_OBJECT_0)
            return false;
    }
    DWORD ignored = 0;
    return GetOverlappedResult(FHandle, &ov, &ignored, FALSE) || GetLastError() != ERROR_IO_INCOMPLETE;
}

Win32SerialDevice::~Win32SerialDevice()
{
    bool settled = true;
    if (FIo && FHandle != INVALID_HANDLE_VALUE) {
        if (FWaitInFlight) {
            (void)SetCommMask(FHandle, 0); // ends the wait with an empty mask
            settled = Settle(FIo->Wait);
        }
        if (FReadInFlight)
            settled = gEndReadOnClose.load() && Settle(FIo->Read) && settled;
        if (FPeekInFlight)
            settled = Settle(FIo->Peek) && settled;
    }
    if (FIo && FReadInFlight && !gEndReadOnClose.load()) {
        // A test's stand-in for a cancel that never ends: the test closes the
        // handle later (Wine's reads need the very handle they started on).
        std::lock_guard<std::mutex> guard(gKeptLock);
        gKept = {std::exchange(FHandle, INVALID_HANDLE_VALUE), &FIo->Read};
    }
    if (FHandle != INVALID_HANDLE_VALUE)
        CloseTrackedHandle(FHandle); // also cancels whatever is still in flight
    if (FWakeEvent)
        CloseTrackedHandle(FWakeEvent);
    if (!FIo)
        return;
    if (!settled) {
        // Give the cancellation a last chance before abandoning the records.
        settled =
            (!FWaitInFlight || WaitForSingleObject(FIo->Wait.hEvent, kSettleLimitMs) == WAIT_OBJECT_0) &&
            (!FReadInFlight || WaitForSingleObject(FIo->Read.hEvent, kSettleLimitMs) == WAIT_OBJECT_0) &&
            (!FPeekInFlight || WaitForSingleObject(FIo->Peek.hEvent, kSettleLimitMs) == WAIT_OBJECT_0);
    }
    if (FIo->Read.hEvent)
        CloseTrackedHandle(FIo->Read.hEvent);
    if (FIo->Wait.hEvent)
        CloseTrackedHandle(FIo->Wait.hEvent);
    if (FIo->Peek.hEvent)
        CloseTrackedHandle(FIo->Peek.hEvent);
    if (settled)
        delete FIo;
    // Otherwise the kernel may still write into the records: leave them.
}

bool Win32SerialDevice::Fail(uint32_t code)
{
    tLastError = {this, code};
    FLastError.store(code);
    return false;
}

uint32_t Win32SerialDevice::LastError() const
{
    return tLastError.Device == this ? tLastError.Code : FLastError.load();
}

bool Win32SerialDevice::Setup(uint32_t inQueue, uint32_t outQueue)
{
    return SetupComm(FHandle, inQueue, outQueue) ? true : Fail(GetLastError());
}

bool Win32SerialDevice::GetState(ControlBlock& block)
{
    std::lock_guard<std::mutex> guard(FDcbLock);
    FDcb.DCBlength = sizeof(DCB);
    if (!GetCommState(FHandle, &FDcb))
        return Fail(GetLastError());
    block.BaudRate = FDcb.BaudRate;
    block.Flags = FlagWord(FDcb);
    block.ByteSize = FDcb.ByteSize;
    block.Parity = FDcb.Parity;
    block.StopBits = FDcb.StopBits;
    return true;
}

bool Win32SerialDevice::SetState(const ControlBlock& block)
{
    std::lock_guard<std::mutex> guard(FDcbLock);
    FDcb.DCBlength = sizeof(DCB);
    FDcb.BaudRate = block.BaudRate;
    SetFlagWord(FDcb, block.Flags);
    FDcb.ByteSize = block.ByteSize;
    FDcb.Parity = block.Parity;
    FDcb.StopBits = block.StopBits;
    const BOOL done = SetCommState(FHandle, &FDcb);
    if (done == 1)
        return true;
    return Fail(done == 0 ? GetLastError() : ERROR_GEN_FAILURE);
}

bool Win32SerialDevice::ClearError(uint32_t& errors, uint32_t& inQueue)
{
    DWORD word = 0;
    COMSTAT stat{};
    if (!ClearCommError(FHandle, &word, &stat)) {
        errors = 0;
        inQueue = 0;
        const DWORD error = GetLastError();
        FLoss.Failed(DeviceCall::ClearError, error);
        return Fail(error);
    }
    FLoss.Succeeded();
    errors = word;
    FQueuedAtClear = stat.cbInQue;
    inQueue = stat.cbInQue + (FPeekHeld.load() ? 1 : 0);
    return true;
}

bool Win32SerialDevice::Purge(uint32_t flags)
{
    if (flags & (kPurgeRxAbort | kPurgeRxClear)) {
        FInputPurges.fetch_add(1);
        FPeekHeld = false;
    }
    return PurgeComm(FHandle, flags) ? true : Fail(GetLastError());
}

bool Win32SerialDevice::SetMask(uint32_t mask)
{
    if (!SetCommMask(FHandle, mask))
        return Fail(GetLastError());
    FMask = mask;
    return true;
}

bool Win32SerialDevice::SetTimeouts(const CommTimeouts& timeouts)
{
    COMMTIMEOUTS native{timeouts.ReadIntervalTimeout, timeouts.ReadTotalTimeoutMultiplier,
                        timeouts.ReadTotalTimeoutConstant, timeouts.WriteTotalTimeoutMultiplier,
                        timeouts.WriteTotalTimeoutConstant};
    if (!SetCommTimeouts(FHandle, &native))
        return Fail(GetLastError());
    FTimeouts = native;
    return true;
}

bool Win32SerialDevice::WaitEvent(uint32_t& mask)
{
    OVERLAPPED& ov = FIo->Wait;
    FWaitCollected = false;
    // The byte a sleeping read brought is a received character of its own.
    if (FPeekHeld && (FMask.load() & kEvRxChar)) {
        mask = kEvRxChar;
        return true;
    }
    if (FWaitInFlight) {
        // Never a second WaitCommEvent while one is in flight: look at it.
        DWORD ignored = 0;
        if (GetOverlappedResult(FHandle, &ov, &ignored, FALSE)) {
            FWaitInFlight = false;
            FWaitCollected = true;
            FLoss.Succeeded();
            mask = FIo->WaitMask;
            return true;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_IO_INCOMPLETE)
            return Fail(kErrorIoPending);
        FWaitInFlight = false;
        FWaitsEndAlone = true;
        FLoss.Failed(DeviceCall::WaitEnd, error);
        return Fail(error);
    }
    FIo->WaitMask = 0;
    if (WaitCommEvent(FHandle, &FIo->WaitMask, &ov)) {
        FLoss.Succeeded();
        mask = FIo->WaitMask;
        return true;
    }
    const DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING) {
        // The event stays as the call left it: it signals the completion.
        FWaitInFlight = true;
        return Fail(kErrorIoPending);
    }
    FLoss.Failed(DeviceCall::WaitStart, error);
    return Fail(error);
}

void Win32SerialDevice::WaitForNews(uint32_t timeoutMs)
{
    if (FWaitCollected)
        return; // the next WaitEvent starts the wait to sleep on
    if (!FWaitInFlight || FWaitsEndAlone) {
        // No wait holds: it ended at once, could not start, or this device
        // ends its waits by itself (Wine's do, every 2 ms).
        SleepOnRead(timeoutMs);
        return;
    }
    // The stop also ends the wait itself (SetMask(0)); the wake event covers a
    // driver that is slow to do so. The bound is only a safety net.
    const HANDLE both[2] = {FIo->Wait.hEvent, FWakeEvent};
    (void)WaitForMultipleObjects(2, both, FALSE, timeoutMs);
}

// Wine ends every WaitCommEvent on a pty within about 2 ms, and a driver may
// end its waits as it likes; a read of one byte with no time-outs is held by
// every driver until a byte comes. Its byte is kept for the next Read.
void Win32SerialDevice::SleepOnRead(uint32_t timeoutMs)
{
    const auto pause = [&] { (void)WaitForSingleObject(FWakeEvent, timeoutMs < 10 ? timeoutMs : 10); };
    if (FPeekHeld || FReadInFlight) {
        pause(); // what is there is still to be read
        return;
    }
    OVERLAPPED& ov = FIo->Peek;
    if (!FPeekInFlight) {
        COMMTIMEOUTS blocking = kBlockingRead;
        if (!SetCommTimeouts(FHandle, &blocking)) {
            pause();
            return;
        }
        (void)ResetEvent(ov.hEvent);
        ov.Offset = ov.OffsetHigh = 0;
        FPeekPurges = FInputPurges.load();
        FPeekCancelled = false;
        FPeekInFlight = true;
        if (!ReadFile(FHandle, &FIo->PeekByte, 1, nullptr, &ov) && GetLastError() != ERROR_IO_PENDING) {
            FPeekInFlight = false;
            FLoss.Failed(DeviceCall::ReadStart, GetLastError());
            COMMTIMEOUTS worker = FTimeouts;
            (void)SetCommTimeouts(FHandle, &worker);
            pause();
            return;
        }
    }
    const HANDLE both[2] = {ov.hEvent, FWakeEvent};
    (void)WaitForMultipleObjects(2, both, FALSE, timeoutMs);
    if (!CollectPeek(0)) {
        (void)CancelIoEx(FHandle, &ov);
        FPeekCancelled = true;
        (void)CollectPeek(kSettleLimitMs);
    }
}

bool Win32SerialDevice::CollectPeek(DWORD waitMs)
{
    OVERLAPPED& ov = FIo->Peek;
    if (!FPeekInFlight)
        return true;
    if (WaitForSingleObject(ov.hEvent, waitMs) != WAIT_OBJECT_0)
        return false;
    DWORD got = 0;
    if (GetOverlappedResult(FHandle, &ov, &got, FALSE)) {
        FLoss.Succeeded();
    } else {
        const DWORD error = GetLastError();
        if (error == ERROR_IO_INCOMPLETE)
            return false;
        FLoss.Failed(DeviceCall::ReadEnd, error, FPeekCancelled);
    }
    FPeekInFlight = false;
    FPeekHeld = got == 1 && FPeekPurges == FInputPurges.load();
    COMMTIMEOUTS worker = FTimeouts;
    (void)SetCommTimeouts(FHandle, &worker);
    return true;
}

void Win32SerialDevice::Wake()
{
    if (FWakeEvent)
        (void)SetEvent(FWakeEvent);
}

uint32_t Win32SerialDevice::Read(uint8_t* dest, uint32_t size)
{
    // A sleeping read that could not be ended must end before any other read.
    if (FPeekInFlight && !CollectPeek(0)) {
        Fail(ERROR_IO_INCOMPLETE);
        return 0;
    }
    if (FPeekHeld && size != 0 && !FReadInFlight) {
        // With it, only what ClearError last saw queued behind it: Wine holds
        // a read that finds nothing until its bound.
        FPeekHeld = false;
        dest[0] = FIo->PeekByte;
        const uint32_t behind = std::min(size - 1, FQueuedAtClear.exchange(0));
        return 1 + (behind != 0 ? Read(dest + 1, behind) : 0);
    }
    OVERLAPPED& ov = FIo->Read;
    DWORD got = 0;
    if (FReadInFlight) {
        // A read that outlived its bound: no new one before it ends.
        if (GetOverlappedResult(FHandle, &ov, &got, FALSE)) {
            FLoss.Succeeded();
        } else {
            const DWORD error = GetLastError();
            if (error == ERROR_IO_INCOMPLETE) {
                Fail(ERROR_IO_INCOMPLETE);
                return 0;
            }
            FLoss.Failed(DeviceCall::ReadEnd, error, FReadCancelled);
        }
        FReadInFlight = false;
        (void)ResetEvent(ov.hEvent);
        // Its bytes are the line's next ones. A caller that got 0 has not moved
        // its write position, so it asks for them at the same place again. A
        // call elsewhere or for less did not ask for them, and a purge since
        // was meant to drop them: then they are given up.
        if (got != 0 && dest == FReadDest && size >= FReadSize && FReadPurges == FInputPurges.load())
            return Deliver(dest, got, FReadSize);
    }
    if (size == 0)
        return 0;
    if (size > FIo->ReceivedSize) {
        FIo->Received = std::make_unique_for_overwrite<uint8_t[]>(size);
        FIo->ReceivedSize = size;
    }
    ov.Offset = ov.OffsetHigh = 0;
    FReadDest = dest;
    FReadSize = size;
    FReadPurges = FInputPurges.load();
    FReadCancelled = false;
    // The count comes from GetOverlappedResult, also when ReadFile is done at
    // once: on an overlapped handle only that one is reliable.
    if (!ReadFile(FHandle, FIo->Received.get(), size, nullptr, &ov)) {
        const DWORD error = GetLastError();
        if (error != ERROR_IO_PENDING) {
            FLoss.Failed(DeviceCall::ReadStart, error);
            Fail(error);
            return 0;
        }
        if (WaitForSingleObject(ov.hEvent, gReadLimitMs.load()) != WAIT_OBJECT_0) {
            if (!gCancelLateReads.load()) {
                FReadInFlight = true;
                Fail(WAIT_TIMEOUT);
                return 0;
            }
            (void)CancelIoEx(FHandle, &ov);
            FReadCancelled = true;
            if (WaitForSingleObject(ov.hEvent, kSettleLimitMs) != WAIT_OBJECT_0) {
                FReadInFlight = true;
                Fail(WAIT_TIMEOUT);
                return 0;
            }
        }
    }
    const BOOL done = GetOverlappedResult(FHandle, &ov, &got, FALSE);
    if (!done) {
        const DWORD error = GetLastError();
        Fail(error);
        if (error == ERROR_IO_INCOMPLETE) {
            FReadInFlight = true;
            return 0;
        }
        FLoss.Failed(DeviceCall::ReadEnd, error, FReadCancelled);
    } else {
        FLoss.Succeeded();
    }
    (void)ResetEvent(ov.hEvent);
    // A read cancelled part-way has still stored what it counted.
    return Deliver(dest, got, size);
}

uint32_t Win32SerialDevice::Deliver(uint8_t* dest, DWORD got, uint32_t size)
{
    const uint32_t n = got <= size ? got : size;
    if (n != 0)
        std::memcpy(dest, FIo->Received.get(), n);
    return n;
}

} // namespace

ReadBoundsForTests ReplaceReadBoundsForTests(ReadBoundsForTests bounds)
{
    return {gReadLimitMs.exchange(bounds.ReadLimitMs), gCancelLateReads.exchange(bounds.CancelLateReads),
            gEndReadOnClose.exchange(bounds.EndReadOnClose)};
}

bool ReadInFlightEndedForTests(const SerialDevice& device)
{
    return static_cast<const Win32SerialDevice&>(device).ReadInFlightEnded();
}

KeptReadForTests TakeKeptReadForTests()
{
    std::lock_guard<std::mutex> guard(gKeptLock);
    return std::exchange(gKept, KeptReadForTests{});
}

std::unique_ptr<SerialDevice> OpenSystemSerialDevice(uint16_t portNumber, uint32_t& nativeError)
{
    auto device = std::make_unique<Win32SerialDevice>();
    if (!device->Open(portNumber, nativeError))
        return nullptr;
    nativeError = 0;
    return device;
}

} // namespace belvor::platform
