// Serial devices through kernel32: an exclusive overlapped handle on
// \\.\COMn. WaitEvent never blocks: it starts one WaitCommEvent and then only
// looks whether it has completed. A worker that sleeps until news blocks in
// WaitForNews instead, on that wait's event and a wake event of its own, or,
// where waits end by themselves, on a one-byte read (see SleepOnRead).
#include "platform/serial_device.h"
#include "platform/win32/device_loss.h"
#include "platform/win32/handles.h"
#include "platform/win32/overlapped_op.h"
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
// the port's time-outs it is, except under Wine when nothing has arrived); a
// cancelled one then gets kSettleLimitMs to end. A worker cycle makes at most
// two reads, so it spends at most 2 x (20 + 40) = 120 ms in them, well inside
// the 200 ms a stop waits before it ends the worker by force. A read that
// outlasts both bounds is not waited for further: it stays in flight and a
// later call collects it.
constexpr DWORD kReadLimitMs = 20;

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
    OVERLAPPED SleepingRead{};
    DWORD WaitMask = 0;
    uint8_t SleepingByte = 0;
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

// The WaitCommEvent, and what its endings showed.
struct CommWait : OverlappedOp {
    // The latest WaitEvent collected an event from a wait that had been in
    // flight: the next one starts a fresh wait, so there is nothing to sleep
    // on before it. A wait that ended in an error does not count: Wine ends
    // every wait on a pty with ERROR_OPERATION_ABORTED within about 2 ms, and
    // starting the next one at once would cost more than polling.
    bool Collected = false;
    // A wait in flight has ended in an error: this device does not hold its
    // waits, so the worker sleeps on the one-byte read from then on.
    bool EndsAlone = false;
};

// The ReadFile of Read, and where it was told to store, and how much: the
// bytes of a read that ends late are owed there.
struct BoundedRead : OverlappedOp {
    uint8_t* Dest = nullptr;
    uint32_t Size = 0;
};

// What the port last set on the line.
struct LineSettings {
    std::mutex DcbLock; // SetState merges onto the DCB last read
    DCB Dcb{};
    std::atomic<uint32_t> Mask{0};
    COMMTIMEOUTS Timeouts{}; // what a sleeping read puts back
};

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
    bool ReadOwed() const override { return FRead.InFlight() || FSleepingRead.InFlight(); }
    void WaitForNews(uint32_t timeoutMs) override;
    void Wake() override;
    bool Lost(uint32_t& error) const override { return FLoss.Lost(error); }
    uint32_t LastError() const override;
    bool ReadInFlightEnded() const { return FRead.InFlight() && FRead.Ended(); }

private:
    bool Fail(uint32_t code);
    // Ends what is in flight before the close, bounded; false when one has not.
    bool SettleAll();
    // Collects the wait in flight, if it has ended.
    bool CollectWait(uint32_t& mask);
    // Sleeps on a one-byte read until a byte comes, a wake, or timeoutMs.
    void SleepOnRead(uint32_t timeoutMs);
    bool StartSleepingRead();
    // Takes the sleeping read's result if it has ended (waiting up to waitMs
    // after cancelling it); false while it is still in flight.
    bool CollectSleepingRead(DWORD waitMs);
    void RestoreTimeouts();
    // Takes the end of a read that outlived its bound; false while it goes
    // on. owed: the bytes it hands to this call.
    bool CollectLateRead(uint8_t* dest, uint32_t size, uint32_t& owed);
    // Takes a read's end, if it has one, and tells the loss rule how it went.
    OpEnd EndRead(OverlappedOp& read, DWORD& got, DWORD& error);
    uint32_t StartRead(uint8_t* dest, uint32_t size);
    // Copies what a read stored, at most size bytes, to dest; how many.
    uint32_t Deliver(uint8_t* dest, DWORD got, uint32_t size);

    HANDLE FHandle = INVALID_HANDLE_VALUE;
    IoRecords* FIo = nullptr;
    // Only the thread that waits and reads uses these, and the destructor
    // after that thread has stopped.
    CommWait FWait;
    BoundedRead FRead;
    // The one-byte read a worker sleeps on. While it is in flight no other
    // read may start, or the two could share the line's bytes out of order.
    OverlappedOp FSleepingRead;
    // The byte it brought is the line's next one: ClearError counts it, Read
    // hands it over first, an input purge drops it.
    std::atomic<bool> FByteHeld{false};
    // The bytes the device queued at the latest ClearError: so many can be
    // read at once behind that byte.
    std::atomic<uint32_t> FQueuedAtClear{0};
    // Auto-reset: Wake sets it, the WaitForNews it ends takes it.
    HANDLE FWakeEvent = nullptr;
    LineSettings FLine;
    std::atomic<uint32_t> FLastError{0};
    // Counts purges of the input; a late read started before one has bytes
    // the purge was meant to drop.
    std::atomic<uint32_t> FInputPurges{0};
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
    const bool read = FRead.Open(FHandle, FIo->Read);
    const bool wait = FWait.Open(FHandle, FIo->Wait);
    const bool sleeping = FSleepingRead.Open(FHandle, FIo->SleepingRead);
    FWakeEvent = TrackHandle(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    if (!read || !wait || !sleeping || !FWakeEvent) {
        nativeError = GetLastError();
        return false; // the destructor releases the rest
    }
    // SetState merges onto the DCB last read; start from the device's own.
    FLine.Dcb.DCBlength = sizeof(DCB);
    (void)GetCommState(FHandle, &FLine.Dcb);
    return true;
}

bool Win32SerialDevice::SettleAll()
{
    bool settled = true;
    if (FWait.InFlight()) {
        (void)SetCommMask(FHandle, 0); // ends the wait with an empty mask
        settled = FWait.Settle();
    }
    if (FRead.InFlight())
        settled = gEndReadOnClose.load() && FRead.Settle() && settled;
    if (FSleepingRead.InFlight())
        settled = FSleepingRead.Settle() && settled;
    return settled;
}

Win32SerialDevice::~Win32SerialDevice()
{
    bool settled = !FIo || SettleAll();
    if (FIo && FRead.InFlight() && !gEndReadOnClose.load()) {
        // A test's stand-in for a cancel that never ends: the test closes the
        // handle later (Wine's reads need the very handle they started on).
        std::lock_guard<std::mutex> guard(gKeptLock);
        gKept = {std::exchange(FHandle, INVALID_HANDLE_VALUE), FRead.Record()};
    }
    if (FHandle != INVALID_HANDLE_VALUE)
        CloseTrackedHandle(FHandle); // also cancels whatever is still in flight
    if (FWakeEvent)
        CloseTrackedHandle(FWakeEvent);
    if (!FIo)
        return;
    // Give the cancellations a last chance before abandoning the records.
    settled = settled || (FWait.EndsAfterClose() && FRead.EndsAfterClose() && FSleepingRead.EndsAfterClose());
    FRead.Close();
    FWait.Close();
    FSleepingRead.Close();
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
    std::lock_guard<std::mutex> guard(FLine.DcbLock);
    DCB& dcb = FLine.Dcb;
    dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(FHandle, &dcb))
        return Fail(GetLastError());
    block = {dcb.BaudRate, FlagWord(dcb), dcb.ByteSize, dcb.Parity, dcb.StopBits};
    return true;
}

bool Win32SerialDevice::SetState(const ControlBlock& block)
{
    std::lock_guard<std::mutex> guard(FLine.DcbLock);
    DCB& dcb = FLine.Dcb;
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = block.BaudRate;
    SetFlagWord(dcb, block.Flags);
    dcb.ByteSize = block.ByteSize;
    dcb.Parity = block.Parity;
    dcb.StopBits = block.StopBits;
    const BOOL done = SetCommState(FHandle, &dcb);
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
    inQueue = stat.cbInQue + (FByteHeld.load() ? 1 : 0);
    return true;
}

bool Win32SerialDevice::Purge(uint32_t flags)
{
    if (flags & (kPurgeRxAbort | kPurgeRxClear)) {
        FInputPurges.fetch_add(1);
        FByteHeld = false;
    }
    return PurgeComm(FHandle, flags) ? true : Fail(GetLastError());
}

bool Win32SerialDevice::SetMask(uint32_t mask)
{
    if (!SetCommMask(FHandle, mask))
        return Fail(GetLastError());
    FLine.Mask = mask;
    return true;
}

bool Win32SerialDevice::SetTimeouts(const CommTimeouts& timeouts)
{
    COMMTIMEOUTS native{timeouts.ReadIntervalTimeout, timeouts.ReadTotalTimeoutMultiplier,
                        timeouts.ReadTotalTimeoutConstant, timeouts.WriteTotalTimeoutMultiplier,
                        timeouts.WriteTotalTimeoutConstant};
    if (!SetCommTimeouts(FHandle, &native))
        return Fail(GetLastError());
    FLine.Timeouts = native;
    return true;
}

bool Win32SerialDevice::WaitEvent(uint32_t& mask)
{
    FWait.Collected = false;
    // The byte a sleeping read brought is a received character of its own.
    if (FByteHeld && (FLine.Mask.load() & kEvRxChar)) {
        mask = kEvRxChar;
        return true;
    }
    // Never a second WaitCommEvent while one is in flight: look at it.
    if (FWait.InFlight())
        return CollectWait(mask);
    FIo->WaitMask = 0;
    DWORD error = 0;
    const auto call = [this](HANDLE file, OVERLAPPED* ov) { return WaitCommEvent(file, &FIo->WaitMask, ov); };
    switch (FWait.Start(0, error, call)) {
    case OpEnd::Done:
        FWait.Taken();
        FLoss.Succeeded();
        mask = FIo->WaitMask;
        return true;
    case OpEnd::Pending: // the event stays as the call left it: it signals the completion
        return Fail(kErrorIoPending);
    case OpEnd::Failed:
        break;
    }
    FLoss.Failed(DeviceCall::WaitStart, error);
    return Fail(error);
}

bool Win32SerialDevice::CollectWait(uint32_t& mask)
{
    DWORD ignored = 0;
    DWORD error = 0;
    switch (FWait.Poll(ignored, error)) {
    case OpEnd::Pending:
        return Fail(kErrorIoPending);
    case OpEnd::Done:
        FWait.Collected = true;
        FLoss.Succeeded();
        mask = FIo->WaitMask;
        return true;
    case OpEnd::Failed:
        break;
    }
    FWait.EndsAlone = true;
    FLoss.Failed(DeviceCall::WaitEnd, error);
    return Fail(error);
}

void Win32SerialDevice::WaitForNews(uint32_t timeoutMs)
{
    if (FWait.Collected)
        return; // the next WaitEvent starts the wait to sleep on
    if (!FWait.InFlight() || FWait.EndsAlone) {
        // No wait holds: it ended at once, could not start, or this device
        // ends its waits by itself (Wine's do, every 2 ms).
        SleepOnRead(timeoutMs);
        return;
    }
    // The stop also ends the wait itself (SetMask(0)); the wake event covers a
    // driver that is slow to do so. The bound is only a safety net.
    const HANDLE both[2] = {FWait.Event(), FWakeEvent};
    (void)WaitForMultipleObjects(2, both, FALSE, timeoutMs);
}

// Wine ends every WaitCommEvent on a pty within about 2 ms, and a driver may
// end its waits as it likes; a read of one byte with no time-outs is held by
// every driver until a byte comes. Its byte is kept for the next Read.
void Win32SerialDevice::SleepOnRead(uint32_t timeoutMs)
{
    // What is there is still to be read, or the read could not start: pause.
    if (FByteHeld || FRead.InFlight() || (!FSleepingRead.InFlight() && !StartSleepingRead())) {
        (void)WaitForSingleObject(FWakeEvent, timeoutMs < 10 ? timeoutMs : 10);
        return;
    }
    const HANDLE both[2] = {FSleepingRead.Event(), FWakeEvent};
    (void)WaitForMultipleObjects(2, both, FALSE, timeoutMs);
    if (!CollectSleepingRead(0)) {
        FSleepingRead.Cancel();
        (void)CollectSleepingRead(kSettleLimitMs);
    }
}

bool Win32SerialDevice::StartSleepingRead()
{
    COMMTIMEOUTS blocking = kBlockingRead;
    if (!SetCommTimeouts(FHandle, &blocking))
        return false;
    FSleepingRead.ResetSignal();
    DWORD error = 0;
    const auto call = [this](HANDLE file, OVERLAPPED* ov) {
        return ReadFile(file, &FIo->SleepingByte, 1, nullptr, ov);
    };
    if (FSleepingRead.Start(FInputPurges.load(), error, call) != OpEnd::Failed)
        return true;
    FLoss.Failed(DeviceCall::ReadStart, error);
    RestoreTimeouts();
    return false;
}

bool Win32SerialDevice::CollectSleepingRead(DWORD waitMs)
{
    if (!FSleepingRead.InFlight())
        return true;
    if (!FSleepingRead.AwaitEnd(waitMs))
        return false;
    DWORD got = 0;
    DWORD error = 0;
    if (EndRead(FSleepingRead, got, error) == OpEnd::Pending)
        return false;
    FByteHeld = got == 1 && FSleepingRead.Generation() == FInputPurges.load();
    RestoreTimeouts();
    return true;
}

void Win32SerialDevice::RestoreTimeouts()
{
    COMMTIMEOUTS worker = FLine.Timeouts;
    (void)SetCommTimeouts(FHandle, &worker);
}

void Win32SerialDevice::Wake()
{
    if (FWakeEvent)
        (void)SetEvent(FWakeEvent);
}

uint32_t Win32SerialDevice::Read(uint8_t* dest, uint32_t size)
{
    // A sleeping read that could not be ended must end before any other read.
    if (FSleepingRead.InFlight() && !CollectSleepingRead(0)) {
        Fail(ERROR_IO_INCOMPLETE);
        return 0;
    }
    if (FByteHeld && size != 0 && !FRead.InFlight()) {
        // With it, only what ClearError last saw queued behind it: Wine holds
        // a read that finds nothing until its bound.
        FByteHeld = false;
        dest[0] = FIo->SleepingByte;
        const uint32_t behind = std::min(size - 1, FQueuedAtClear.exchange(0));
        return 1 + (behind != 0 ? Read(dest + 1, behind) : 0);
    }
    uint32_t owed = 0;
    if (FRead.InFlight() && !CollectLateRead(dest, size, owed))
        return 0;
    if (owed != 0)
        return owed;
    return size == 0 ? 0 : StartRead(dest, size);
}

bool Win32SerialDevice::CollectLateRead(uint8_t* dest, uint32_t size, uint32_t& owed)
{
    DWORD got = 0;
    DWORD error = 0;
    if (EndRead(FRead, got, error) == OpEnd::Pending) {
        Fail(ERROR_IO_INCOMPLETE);
        return false;
    }
    FRead.ResetSignal();
    // Its bytes are the line's next ones. A caller that got 0 has not moved
    // its write position, so it asks for them at the same place again. A
    // call elsewhere or for less did not ask for them, and a purge since
    // was meant to drop them: then they are given up.
    if (got != 0 && dest == FRead.Dest && size >= FRead.Size && FRead.Generation() == FInputPurges.load())
        owed = Deliver(dest, got, FRead.Size);
    return true;
}

uint32_t Win32SerialDevice::StartRead(uint8_t* dest, uint32_t size)
{
    if (size > FIo->ReceivedSize) {
        FIo->Received = std::make_unique_for_overwrite<uint8_t[]>(size);
        FIo->ReceivedSize = size;
    }
    FRead.Dest = dest;
    FRead.Size = size;
    // The count comes from Poll, also when ReadFile is done at once: on an
    // overlapped handle only GetOverlappedResult's is reliable.
    DWORD error = 0;
    const auto call = [&](HANDLE file, OVERLAPPED* ov) {
        return ReadFile(file, FIo->Received.get(), size, nullptr, ov);
    };
    const OpEnd start = FRead.Start(FInputPurges.load(), error, call);
    if (start == OpEnd::Failed) {
        FLoss.Failed(DeviceCall::ReadStart, error);
        Fail(error);
        return 0;
    }
    // One that outlives its bounds stays in flight: a later call collects it.
    if (start == OpEnd::Pending && !FRead.AwaitEnd(gReadLimitMs.load())) {
        const bool cancel = gCancelLateReads.load();
        if (cancel)
            FRead.Cancel();
        if (!cancel || !FRead.AwaitEnd(kSettleLimitMs)) {
            Fail(WAIT_TIMEOUT);
            return 0;
        }
    }
    DWORD got = 0;
    const OpEnd end = EndRead(FRead, got, error);
    if (end != OpEnd::Done)
        Fail(error);
    if (end == OpEnd::Pending)
        return 0;
    FRead.ResetSignal();
    // A read cancelled part-way has still stored what it counted.
    return Deliver(dest, got, size);
}

OpEnd Win32SerialDevice::EndRead(OverlappedOp& read, DWORD& got, DWORD& error)
{
    const OpEnd end = read.Poll(got, error);
    if (end == OpEnd::Done)
        FLoss.Succeeded();
    else if (end == OpEnd::Failed)
        FLoss.Failed(DeviceCall::ReadEnd, error, read.CancelledHere());
    return end;
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
