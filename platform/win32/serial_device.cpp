// Serial devices through kernel32: an exclusive overlapped handle on
// \\.\COMn (comm_file.h), its settings in the DCB (line_settings.h). A look
// never blocks: it starts one WaitCommEvent and then only looks whether it has
// completed; where waits end by themselves it looks at the queue instead. A
// worker that sleeps until news blocks in WaitForNews, on that wait's event
// and a wake event of its own, or, where waits end by themselves, on a
// one-byte read (see SleepingRead in serial_reads.h).
#include "platform/serial_device.h"
#include "platform/clock.h"
#include "platform/device_loss.h"
#include "platform/wait_watch.h"
#include "platform/win32/comm_calls.h"
#include "platform/win32/comm_file.h"
#include "platform/win32/line_settings.h"
#include "platform/win32/loss_codes.h"
#include "platform/win32/serial_device_testing.h"
#include "platform/win32/serial_reads.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <optional>
#include <utility>

namespace belvor::platform {

namespace {

// What tests may change through ReplaceWaitBoundsForTests.
std::atomic<int64_t> gLostCompletionMs{WaitWatch::kLostCompletionMs};
std::atomic<int64_t> gWaitBoundMs{WaitWatch::kWaitBoundMs};

class Win32SerialDevice final : public SerialDevice {
public:
    explicit Win32SerialDevice(std::unique_ptr<CommFile> file);

    Result<> SetQueueSizes(uint32_t inQueue, uint32_t outQueue) override
    {
        return FLine.SetQueueSizes(inQueue, outQueue);
    }
    Result<> Configure(const LineConfig& config) override { return FLine.Configure(config); }
    Result<LineConfig> Settings() override { return FLine.Read(); }
    void Arm(const RefusedWatches& refused) override { FLine.Arm(refused); }
    RefusedWatches Refused() const override { return FLine.Refused(); }
    Result<LineSighting> Look() override;
    Result<InputState> Status() override;
    Result<> DropInput() override;
    Result<uint32_t> Read(uint8_t* dest, uint32_t size) override;
    bool ReadOwed() const override { return FRead.InFlight() || FSleepingRead.InFlight(); }
    void WaitForNews(uint32_t timeoutMs) override;
    void Wake() override;
    void Interrupt() override
    {
        FLine.AskNoEvents(); // ends a wait in flight
        Wake();              // and a worker asleep until news
    }
    uint32_t LostCode() const
    {
        uint32_t lost = 0;
        (void)FLoss.Lost(lost);
        return lost;
    }
    bool ReadInFlightEnded() const { return FRead.InFlight() && FFile->Read().Ended(); }

private:
    // The news a look found, or why none: ERROR_IO_PENDING while a wait goes on.
    Result<LineNews> LookNews();
    // WaitCommEvent without blocking: the mask of the events there, or
    // ERROR_IO_PENDING while the wait goes on in the background (a later call
    // reports its completion), or another error.
    Result<uint32_t> WaitEvent();
    // Collects the wait in flight, if it has ended.
    Result<uint32_t> CollectWait();
    // A wait in flight has not ended: what is to be done with it (wait_watch.h).
    Result<uint32_t> WaitGoesOn();
    // The events the input queue shows (ClearCommError), as a wait would
    // report them, or ERROR_IO_PENDING when it shows none; the line errors
    // it clears are kept for the next Status.
    Result<uint32_t> QueueNews();
    // ClearCommError, its failure counted toward a loss as a status call's.
    Result<> ClearErrors(DWORD& word, COMSTAT& stat);

    // Only the thread that waits and reads uses its wait and reads, and the
    // destructor after that thread has stopped.
    std::unique_ptr<CommFile> FFile;
    LineSettings FLine;
    DeviceLossWatch FLoss{&Win32LossCode};
    std::atomic<uint32_t> FInputPurges{0};
    // The bytes the device queued at the latest Status: so many can be
    // read at once behind the byte a sleeping read holds.
    std::atomic<uint32_t> FQueuedAtClear{0};
    // The error flags a look's ClearCommError cleared, for the next Status.
    std::atomic<DWORD> FErrorsAtLook{0};
    // The latest look collected an event from a wait that had been in
    // flight: the next one starts a fresh wait, so there is nothing to sleep
    // on before it. A wait that ended in an error does not count: Wine ends
    // every wait on a pty with ERROR_OPERATION_ABORTED within about 2 ms, and
    // starting the next one at once would cost more than polling.
    bool FWaitCollected = false;
    // A wait in flight has ended in an error: this device does not hold its
    // waits, so no more are started; a worker sleeps on the one-byte read.
    bool FWaitEndsAlone = false;
    WaitWatch FWaitWatch{gLostCompletionMs.load(), gWaitBoundMs.load()};
    // A cancel has not ended the wait in flight: until it ends, every look
    // goes by the input queue, and a worker that sleeps until news polls.
    bool FWaitWedged = false;
    BoundedRead FRead;
    SleepingRead FSleepingRead;
};

Win32SerialDevice::Win32SerialDevice(std::unique_ptr<CommFile> file)
    : FFile(std::move(file)), FRead({*FFile, FLine, FLoss, FInputPurges}),
      FSleepingRead({*FFile, FLine, FLoss, FInputPurges})
{
    FLine.Bind(FFile->Handle());
}

Result<> Win32SerialDevice::ClearErrors(DWORD& word, COMSTAT& stat)
{
    if (!Comm().ClearCommError(FFile->Handle(), &word, &stat)) {
        const DWORD error = GetLastError();
        FLoss.Failed(DeviceCall::Status, error);
        return Failure{error};
    }
    FLoss.Succeeded();
    return {};
}

Result<InputState> Win32SerialDevice::Status()
{
    DWORD word = 0;
    COMSTAT stat{};
    if (const Result<> cleared = ClearErrors(word, stat); !cleared)
        return Failure{cleared.Error()};
    word |= FErrorsAtLook.exchange(0);
    const auto flagged = [word](DWORD flag) { return (word & flag) != 0 ? 1u : 0u; };
    FQueuedAtClear = stat.cbInQue;
    return InputState{stat.cbInQue + (FSleepingRead.Holds() ? 1 : 0),
                      {flagged(CE_RXOVER), flagged(CE_OVERRUN), flagged(CE_RXPARITY), flagged(CE_FRAME),
                       flagged(CE_BREAK)}};
}

Result<> Win32SerialDevice::DropInput()
{
    FInputPurges.fetch_add(1);
    FSleepingRead.Drop();
    if (!Comm().PurgeComm(FFile->Handle(), PURGE_RXABORT | PURGE_RXCLEAR))
        return Failure{GetLastError()};
    return {};
}

Result<LineSighting> Win32SerialDevice::Look()
{
    const Result<LineNews> news = LookNews();
    const uint32_t lost = LostCode();
    if (news)
        return LineSighting{*news, lost};
    // A wait still under way is no news; a failure of a device that is gone tells the loss.
    if (news.Error() == ERROR_IO_PENDING || lost != 0)
        return LineSighting{std::nullopt, lost};
    return Failure{news.Error()};
}

Result<LineNews> Win32SerialDevice::LookNews()
{
    const Result<uint32_t> mask = WaitEvent();
    if (!mask) {
        FLine.Narrow(mask.Error());
        return Failure{mask.Error()};
    }
    return LineNews{(*mask & EV_RXCHAR) != 0, (*mask & (EV_BREAK | EV_ERR)) != 0};
}

Result<uint32_t> Win32SerialDevice::WaitEvent()
{
    FWaitCollected = false;
    // The byte a sleeping read brought is a received character of its own.
    if (FSleepingRead.Holds() && (FLine.Mask() & EV_RXCHAR))
        return uint32_t{EV_RXCHAR};
    // Never a second WaitCommEvent while one is in flight: look at it.
    OverlappedOp& wait = FFile->Wait();
    if (wait.InFlight())
        return CollectWait();
    // A device that ends its waits by itself (Wine: each within about 2 ms,
    // through a thread it starts for it) is looked at through its queue: a
    // wait started every other look would cost several times the look, and
    // would tell nothing the queue does not.
    if (FWaitEndsAlone)
        return QueueNews();
    DWORD& waitMask = FFile->Io().WaitMask;
    waitMask = 0;
    DWORD error = 0;
    const auto call = [&waitMask](HANDLE file, OVERLAPPED* ov) {
        return Comm().WaitCommEvent(file, &waitMask, ov);
    };
    FWaitWatch.Started(AwakeMilliseconds());
    switch (wait.Start(0, error, call)) {
    case OpEnd::Done:
        wait.Taken();
        FLoss.Succeeded();
        return uint32_t{waitMask};
    case OpEnd::Pending: // the event stays as the call left it: it signals the completion
        return Failure{ERROR_IO_PENDING};
    case OpEnd::Failed:
        break;
    }
    FLoss.Failed(DeviceCall::WaitStart, error);
    return Failure{error};
}

Result<uint32_t> Win32SerialDevice::CollectWait()
{
    DWORD ignored = 0;
    DWORD error = 0;
    OverlappedOp& wait = FFile->Wait();
    switch (wait.Poll(ignored, error)) {
    case OpEnd::Pending:
        return WaitGoesOn();
    case OpEnd::Done:
        FWaitCollected = true;
        FWaitWedged = false;
        FLoss.Succeeded();
        return uint32_t{FFile->Io().WaitMask};
    case OpEnd::Failed:
        break;
    }
    FWaitWedged = false;
    // One that this side cancelled for its bound says nothing of the device's waits.
    if (!wait.CancelledHere())
        FWaitEndsAlone = true;
    FLoss.Failed(DeviceCall::WaitEnd, error);
    return Failure{error};
}

Result<uint32_t> Win32SerialDevice::QueueNews()
{
    DWORD word = 0;
    COMSTAT stat{};
    if (const Result<> cleared = ClearErrors(word, stat); !cleared)
        return Failure{cleared.Error()};
    FErrorsAtLook.fetch_or(word);
    const uint32_t events = (stat.cbInQue != 0 ? EV_RXCHAR : 0) |
                            ((word & (CE_RXOVER | CE_OVERRUN | CE_RXPARITY | CE_FRAME)) != 0 ? EV_ERR : 0) |
                            ((word & CE_BREAK) != 0 ? EV_BREAK : 0);
    if (events == 0)
        return Failure{ERROR_IO_PENDING}; // nothing yet
    return events;
}

Result<uint32_t> Win32SerialDevice::WaitGoesOn()
{
    OverlappedOp& wait = FFile->Wait();
    const int64_t now = AwakeMilliseconds();
    switch (FWaitWatch.Look(wait.AwaitEnd(0), now)) {
    case WaitVerdict::Going:
        break;
    case WaitVerdict::LostCompletion:
        // Nothing will write its record again. A device that loses them ends
        // its waits by itself: it is looked at through its queue from now on.
        wait.Taken();
        wait.ResetSignal();
        FWaitEndsAlone = true;
        return Failure{ERROR_OPERATION_ABORTED};
    case WaitVerdict::Cancel:
        wait.Cancel(); // its end comes to a later look
        FWaitWatch.Cancelled(now);
        break;
    case WaitVerdict::Wedged:
        // Bytes are looked for in the queue, as a wait's news would have it.
        FWaitWedged = true;
        return uint32_t{EV_RXCHAR};
    }
    return Failure{ERROR_IO_PENDING};
}

void Win32SerialDevice::WaitForNews(uint32_t timeoutMs)
{
    if (FWaitCollected)
        return; // the next WaitEvent starts the wait to sleep on
    // A wedged wait, or one whose event is set while it still says pending
    // (a completion under way, or lost): its event cannot be slept on.
    if (FWaitWedged || (FFile->Wait().InFlight() && FFile->Wait().AwaitEnd(0))) {
        (void)WaitForSingleObject(FFile->WakeEvent(), 10); // the polling pause
        return;
    }
    if (!FFile->Wait().InFlight() || FWaitEndsAlone) {
        // No wait holds: it ended at once, could not start, or this device
        // ends its waits by itself (Wine's do, every 2 ms).
        FSleepingRead.Sleep(timeoutMs);
        return;
    }
    // The stop also ends the wait itself (Interrupt); the wake event covers a
    // driver that is slow to do so. The bound is only a safety net.
    const HANDLE both[2] = {FFile->Wait().Event(), FFile->WakeEvent()};
    const auto bound = static_cast<DWORD>(FWaitWatch.BoundMs());
    (void)WaitForMultipleObjects(2, both, FALSE, timeoutMs < bound ? timeoutMs : bound);
}

void Win32SerialDevice::Wake()
{
    if (FFile->WakeEvent())
        (void)SetEvent(FFile->WakeEvent());
}

Result<uint32_t> Win32SerialDevice::Read(uint8_t* dest, uint32_t size)
{
    // A sleeping read that could not be ended must end before any other read.
    if (FSleepingRead.InFlight() && !FSleepingRead.Collect(0))
        return Failure{ERROR_IO_INCOMPLETE};
    if (FSleepingRead.Holds() && size != 0 && !FRead.InFlight()) {
        // With it, only what Status last saw queued behind it: Wine holds
        // a read that finds nothing until its bound.
        dest[0] = FSleepingRead.Take();
        const uint32_t behind = std::min(size - 1, FQueuedAtClear.exchange(0));
        return 1 + (behind != 0 ? Read(dest + 1, behind).ValueOr(0) : 0);
    }
    if (FRead.InFlight()) {
        const Result<uint32_t> owed = FRead.CollectLate(dest, size);
        if (!owed || *owed != 0)
            return owed;
    }
    if (size == 0)
        return 0u;
    return FRead.Start(dest, size);
}

} // namespace

void ReplaceWaitBoundsForTests(WaitBoundsForTests bounds)
{
    gLostCompletionMs = bounds.LostCompletionMs != 0 ? bounds.LostCompletionMs : WaitWatch::kLostCompletionMs;
    gWaitBoundMs = bounds.WaitBoundMs != 0 ? bounds.WaitBoundMs : WaitWatch::kWaitBoundMs;
}

bool ReadInFlightEndedForTests(const SerialDevice& device)
{
    return static_cast<const Win32SerialDevice&>(device).ReadInFlightEnded();
}

uint32_t LostCodeForTests(const SerialDevice& device)
{
    return static_cast<const Win32SerialDevice&>(device).LostCode();
}

OpenedDevice OpenSystemSerialDevice(uint16_t portNumber)
{
    auto file = CommFile::Open(portNumber);
    if (!file)
        return Failure{file.Error()};
    return std::unique_ptr<SerialDevice>(std::make_unique<Win32SerialDevice>(std::move(*file)));
}

} // namespace belvor::platform
