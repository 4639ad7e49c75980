// Serial devices through kernel32: an exclusive overlapped handle on
// \\.\COMn (comm_file.h), its settings in the DCB (line_settings.h). How a
// look looks and a worker sleeps is the wait rule's (wait_rule.h): the device
// only carries its actions out, every call through the table of comm_calls.h.
// A look never blocks: it starts one WaitCommEvent and then only looks whether
// it has completed, or looks at the queue. A worker that sleeps until news
// blocks in WaitForNews, on that wait's event and a wake event of its own, or
// on a one-byte read (see SleepingRead in serial_reads.h).
#include "platform/serial_device.h"
#include "platform/device_loss.h"
#include "platform/seams.h"
#include "platform/wait_rule.h"
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

// A test's bounds, or the product's own.
WaitBounds BoundsNow()
{
    const Timings set = CurrentTimings();
    return {Or(set.LostCompletionMs, WaitBounds{}.LostCompletionMs),
            Or(set.WaitBoundMs, WaitBounds{}.WaitBoundMs)};
}

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
    bool ReadInFlightEnded() const { return FRead.InFlight() && FFile->Read().Ended(); }
    bool WaitInFlight() const { return FFile->Wait().InFlight(); }

private:
    // One look, as the wait rule has it: the events the line shows (EV_*),
    // none when nothing is new, or why the look failed.
    Result<std::optional<uint32_t>> LookAtLine();
    // The rule's actions that bring its next observation; events: what the
    // wait or the queue showed. Each tells the loss rule how its call went.
    Observation StartWait(uint32_t& events);
    Observation PollWait(uint32_t& events);
    // The input queue (ClearCommError) as a wait would report it; the line
    // errors it clears are kept for the next Status.
    Observation CheckQueue(uint32_t& events);
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
    // The mode of the wait for line events: what the next look does, and
    // what a sleep until news sleeps on (wait_rule.h).
    WaitMode FWait;
    WaitBounds FBounds = BoundsNow();
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
    const Result<std::optional<uint32_t>> events = LookAtLine();
    LineSighting sighting;
    (void)FLoss.Lost(sighting.Lost);
    if (!events) {
        FLine.Narrow(events.Error());
        if (sighting.Lost == 0)
            return Failure{events.Error()};
    } else if (const std::optional<uint32_t> mask = *events) {
        sighting.News = LineNews{(*mask & EV_RXCHAR) != 0, (*mask & (EV_BREAK | EV_ERR)) != 0};
    }
    return sighting;
}

Result<std::optional<uint32_t>> Win32SerialDevice::LookAtLine()
{
    using News = std::optional<uint32_t>;
    Observation seen{.What = Seen::Look,
                     .NowMs = CommMilliseconds(),
                     .HeldByte = FSleepingRead.Holds() && (FLine.Mask() & EV_RXCHAR) != 0};
    uint32_t events = 0;
    for (;;) { // the rule ends every look by its second step
        const WaitStep step = NextWaitStep(FWait, seen, FBounds);
        FWait = step.Mode;
        switch (step.Action) {
        case WaitAction::StartWait:
            seen = StartWait(events);
            break;
        case WaitAction::PollWait:
            seen = PollWait(events);
            break;
        case WaitAction::CheckQueue:
            seen = CheckQueue(events);
            break;
        case WaitAction::Cancel:
            FFile->Wait().Cancel(); // its end comes to a later look
            return News{};
        case WaitAction::TakeAsEnded:
            FFile->Wait().Taken();
            FFile->Wait().ResetSignal();
            return News{};
        case WaitAction::ReportEvents:
            return News{events};
        case WaitAction::ReportBytes:
            return News{EV_RXCHAR};
        case WaitAction::ReportNothing:
            return News{};
        case WaitAction::ReportFailure:
            return Failure{seen.Error};
        }
    }
}

Observation Win32SerialDevice::StartWait(uint32_t& events)
{
    DWORD& waitMask = FFile->Io().WaitMask;
    waitMask = 0;
    DWORD error = 0;
    const auto call = [&waitMask](HANDLE file, OVERLAPPED* ov) {
        return Comm().WaitCommEvent(file, &waitMask, ov);
    };
    OverlappedOp& wait = FFile->Wait();
    switch (wait.Start(0, error, call)) {
    case OpEnd::Done:
        wait.Taken();
        FLoss.Succeeded();
        events = waitMask;
        return {.What = Seen::StartDone};
    case OpEnd::Pending: // the event stays as the call left it: it signals the completion
        return {.What = Seen::StartPending};
    case OpEnd::Failed:
        break;
    }
    FLoss.Failed(DeviceCall::WaitStart, error);
    return {.What = Seen::StartFailed, .Error = error};
}

Observation Win32SerialDevice::PollWait(uint32_t& events)
{
    DWORD ignored = 0;
    DWORD error = 0;
    OverlappedOp& wait = FFile->Wait();
    switch (wait.Poll(ignored, error)) {
    case OpEnd::Pending:
        return {.What = Seen::EndPending, .NowMs = CommMilliseconds(), .EventSet = wait.AwaitEnd(0)};
    case OpEnd::Done:
        FLoss.Succeeded();
        events = FFile->Io().WaitMask;
        return {.What = Seen::EndDone};
    case OpEnd::Failed:
        break;
    }
    FLoss.Failed(DeviceCall::WaitEnd, error);
    return {.What = Seen::EndFailed, .Error = error};
}

Observation Win32SerialDevice::CheckQueue(uint32_t& events)
{
    DWORD word = 0;
    COMSTAT stat{};
    if (const Result<> cleared = ClearErrors(word, stat); !cleared)
        return {.What = Seen::QueueFailed, .Error = cleared.Error()};
    FErrorsAtLook.fetch_or(word);
    events = (stat.cbInQue != 0 ? EV_RXCHAR : 0) |
             ((word & (CE_RXOVER | CE_OVERRUN | CE_RXPARITY | CE_FRAME)) != 0 ? EV_ERR : 0) |
             ((word & CE_BREAK) != 0 ? EV_BREAK : 0);
    return {.What = events != 0 ? Seen::QueueNews : Seen::QueueQuiet};
}

void Win32SerialDevice::WaitForNews(uint32_t timeoutMs)
{
    OverlappedOp& wait = FFile->Wait();
    switch (SleepFor(FWait.State, wait.InFlight() && wait.AwaitEnd(0))) {
    case SleepOn::Nothing:
        return;
    case SleepOn::Pause:
        (void)Comm().WaitForSingleObject(FFile->WakeEvent(), 10);
        return;
    case SleepOn::Read:
        FSleepingRead.Sleep(timeoutMs);
        return;
    case SleepOn::Wait:
        break;
    }
    // The stop also ends the wait itself (Interrupt); the wake event covers a
    // driver that is slow to do so. The bound is only a safety net.
    const HANDLE both[2] = {wait.Event(), FFile->WakeEvent()};
    const auto bound = static_cast<DWORD>(FBounds.WaitBoundMs);
    (void)Comm().WaitForMultipleObjects(2, both, FALSE, timeoutMs < bound ? timeoutMs : bound);
}

void Win32SerialDevice::Wake()
{
    if (FFile->WakeEvent())
        (void)Comm().SetEvent(FFile->WakeEvent());
}

Result<uint32_t> Win32SerialDevice::Read(uint8_t* dest, uint32_t size)
{
    // A sleeping read that could not be ended must end before any other read.
    if (FSleepingRead.InFlight() && !FSleepingRead.Collect(0))
        return 0u;
    if (FSleepingRead.Holds() && size != 0 && !FRead.InFlight()) {
        // With it, only what Status last saw queued behind it: Wine holds
        // a read that finds nothing until its bound.
        dest[0] = FSleepingRead.Take();
        const uint32_t behind = std::min(size - 1, FQueuedAtClear.exchange(0));
        return 1 + (behind != 0 ? Read(dest + 1, behind).ValueOr(0) : 0);
    }
    if (FRead.InFlight()) {
        // While it goes on, nothing has arrived for this call.
        const Result<uint32_t> owed = FRead.CollectLate(dest, size);
        if (!owed || *owed != 0 || FRead.InFlight())
            return owed;
    }
    if (size == 0)
        return 0u;
    return FRead.Start(dest, size);
}

} // namespace

bool ReadInFlightEndedForTests(const SerialDevice& device)
{
    return static_cast<const Win32SerialDevice&>(device).ReadInFlightEnded();
}

bool WaitInFlightForTests(const SerialDevice& device)
{
    return static_cast<const Win32SerialDevice&>(device).WaitInFlight();
}

OpenedDevice OpenSystemSerialDevice(uint16_t portNumber)
{
    auto file = CommFile::Open(portNumber);
    if (!file)
        return Failure{file.Error()};
    return std::unique_ptr<SerialDevice>(std::make_unique<Win32SerialDevice>(std::move(*file)));
}

} // namespace belvor::platform
