#include "platform/win32/serial_reads.h"

#include "platform/seams.h"
#include "platform/win32/comm_calls.h"
#include "platform/win32/serial_device_testing.h"

#include <cstring>

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

// Takes a read's end, if it has one, and tells the loss rule how it went.
OpEnd EndRead(OverlappedOp& read, DeviceLossWatch& loss, DWORD& got, DWORD& error)
{
    const OpEnd end = read.Poll(got, error);
    if (end == OpEnd::Done)
        loss.Succeeded();
    else if (end == OpEnd::Failed)
        loss.Failed(DeviceCall::ReadEnd, error, read.CancelledHere());
    return end;
}

} // namespace

bool EndReadOnClose()
{
    return !CurrentSeams().KeepReadOnClose;
}

Result<uint32_t> BoundedRead::CollectLate(uint8_t* dest, uint32_t size)
{
    OverlappedOp& read = FContext.File.Read();
    DWORD got = 0;
    DWORD error = 0;
    if (EndRead(read, FContext.Loss, got, error) == OpEnd::Pending)
        return 0u;
    read.ResetSignal();
    // Its bytes are the line's next ones. A caller that got 0 has not moved
    // its write position, so it asks for them at the same place again. A
    // call elsewhere or for less did not ask for them, and a purge since
    // was meant to drop them: then they are given up.
    if (got != 0 && dest == FDest && size >= FSize && read.Generation() == FContext.InputPurges.load())
        return Deliver(dest, got, FSize);
    return 0u;
}

Result<uint32_t> BoundedRead::Start(uint8_t* dest, uint32_t size)
{
    IoRecords& io = FContext.File.Io();
    if (size > io.ReceivedSize) {
        io.Received = std::make_unique_for_overwrite<uint8_t[]>(size);
        io.ReceivedSize = size;
    }
    FDest = dest;
    FSize = size;
    // The count comes from Poll, also when ReadFile is done at once: on an
    // overlapped handle only GetOverlappedResult's is reliable.
    OverlappedOp& read = FContext.File.Read();
    DWORD error = 0;
    const auto call = [&](HANDLE file, OVERLAPPED* ov) {
        return Comm().ReadFile(file, io.Received.get(), size, nullptr, ov);
    };
    const OpEnd start = read.Start(FContext.InputPurges.load(), error, call);
    if (start == OpEnd::Failed) {
        FContext.Loss.Failed(DeviceCall::ReadStart, error);
        return Failure{error};
    }
    // One that outlives its bounds stays in flight: a later call collects it.
    if (start == OpEnd::Pending && !read.AwaitEnd(Or(CurrentTimings().ReadLimitMs, uint32_t{kReadLimitMs}))) {
        const bool cancel = !CurrentSeams().KeepLateReads;
        if (cancel)
            read.Cancel();
        if (!cancel || !read.AwaitEnd(kSettleLimitMs))
            return 0u;
    }
    DWORD got = 0;
    const OpEnd end = EndRead(read, FContext.Loss, got, error);
    if (end == OpEnd::Pending)
        return 0u;
    read.ResetSignal();
    // A read cancelled part-way has still stored what it counted.
    const uint32_t delivered = Deliver(dest, got, size);
    if (delivered == 0 && end == OpEnd::Failed)
        return Failure{error};
    return delivered;
}

uint32_t BoundedRead::Deliver(uint8_t* dest, DWORD got, uint32_t size)
{
    const uint32_t n = got <= size ? got : size;
    if (n != 0)
        std::memcpy(dest, FContext.File.Io().Received.get(), n);
    return n;
}

uint8_t SleepingRead::Take()
{
    FByteHeld = false;
    return FContext.File.Io().SleepingByte;
}

void SleepingRead::Sleep(uint32_t timeoutMs)
{
    CommFile& file = FContext.File;
    // What is there is still to be read, or the read could not start: pause.
    if (FByteHeld || file.Read().InFlight() || (!InFlight() && !Start())) {
        (void)Comm().WaitForSingleObject(file.WakeEvent(), timeoutMs < 10 ? timeoutMs : 10);
        return;
    }
    const HANDLE both[2] = {file.SleepingRead().Event(), file.WakeEvent()};
    (void)Comm().WaitForMultipleObjects(2, both, FALSE, timeoutMs);
    if (!Collect(0)) {
        file.SleepingRead().Cancel();
        (void)Collect(kSettleLimitMs);
    }
}

bool SleepingRead::Start()
{
    if (!FContext.Line.BlockReads())
        return false;
    OverlappedOp& read = FContext.File.SleepingRead();
    read.ResetSignal();
    DWORD error = 0;
    uint8_t* byte = &FContext.File.Io().SleepingByte;
    const auto call = [byte](HANDLE file, OVERLAPPED* ov) {
        return Comm().ReadFile(file, byte, 1, nullptr, ov);
    };
    if (read.Start(FContext.InputPurges.load(), error, call) != OpEnd::Failed)
        return true;
    FContext.Loss.Failed(DeviceCall::ReadStart, error);
    FContext.Line.RestoreTimeouts();
    return false;
}

bool SleepingRead::Collect(DWORD waitMs)
{
    OverlappedOp& read = FContext.File.SleepingRead();
    if (!read.InFlight())
        return true;
    if (!read.AwaitEnd(waitMs))
        return false;
    DWORD got = 0;
    DWORD error = 0;
    if (EndRead(read, FContext.Loss, got, error) == OpEnd::Pending)
        return false;
    FByteHeld = got == 1 && read.Generation() == FContext.InputPurges.load();
    FContext.Line.RestoreTimeouts();
    return true;
}

} // namespace belvor::platform
