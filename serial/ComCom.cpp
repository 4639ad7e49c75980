#include "serial/ComCom.h"

#include "platform/errors.h"

#include <algorithm>
#include <utility>

namespace belvor {

namespace {

// A setter's value as a line setting: its keep value is none.
template <class T> std::optional<T> Unless(T value, T keep)
{
    return value == keep ? std::nullopt : std::optional<T>(value);
}

} // namespace

TComPort::TComPort(uint16_t portNumber, PortPlace place)
    : FLine{.PortNumber = portNumber,
            .Place = std::move(place),
            .InQueue = kDeviceInQueueSize,
            .OutQueue = kDeviceOutQueueSize,
            .BaudRate = 5760,
            .Parity = 0,
            .DataBits = 8,
            .StopBits = 1}
{
    if (FLine.PortNumber != 0)
        Open();
}

TComPort::~TComPort()
{
    if (FOpened)
        Close();
}

void TComPort::SetBaudRate(uint32_t value)
{
    FLine.BaudRate = Unless(value, kKeepBaudRate);
    ApplySettings({.BaudRate = LineConfigOf(FLine).BaudRate});
}

void TComPort::SetDataBits(uint8_t value)
{
    FLine.DataBits = Unless(value, kKeepDataBits);
    ApplySettings({.DataBits = LineConfigOf(FLine).DataBits});
}

void TComPort::SetStopBits(uint8_t value)
{
    FLine.StopBits = Unless(value, kKeepStopBits);
    ApplySettings({.StopBits = LineConfigOf(FLine).StopBits});
}

void TComPort::SetParity(uint8_t value)
{
    FLine.Parity = Unless(value, kKeepParity);
    ApplySettings({.Parity = LineConfigOf(FLine).Parity});
}

void TComPort::ApplySettings(const platform::LineConfig& change)
{
    if (!FOpened)
        return;
    if (const platform::Result<> merged = MergeSettings(change); !merged)
        Raise<ENotSupported>(kMsgParameterNotSupported, merged.Error());
}

platform::Result<> TComPort::MergeSettings(const platform::LineConfig& change)
{
    platform::LockGuard guard(FLock);
    if (!FSession)
        return platform::Failure{}; // lost, and not back yet
    return FSession->Merge(change);
}

void TComPort::Open()
{
    if (FOpened)
        return;
    FRing.Reset();
    FWorker.Reset();
    auto device = platform::OpenSerialDevice(FLine.PortNumber, FLine.Place.Where);
    if (!device)
        Raise<EOpenPortFail>(kMsgOpenPortFail, device.Error());
    FSession = std::make_unique<LineSession>(std::move(*device));
    try {
        OpenLine();
    } catch (...) {
        if (FOpened) {
            Close();
        } else {
            FRing.Release();
            FSession.reset();
        }
        throw;
    }
}

void TComPort::OpenLine()
{
    if (const platform::Result<> sized = FSession->Device().SetQueueSizes(FLine.InQueue, FLine.OutQueue);
        !sized)
        Raise<ENotSupported>(kMsgSetupNotSupported, sized.Error());
    FRing.Allocate();
    FOpened = true;
    ApplySettings(LineConfigOf(FLine));
    RefreshStatus();
    SetThreadsActive(true);
}

void TComPort::Close()
{
    if (!FOpened)
        return;
    SetThreadsActive(false);
    // A lost device, or one being opened again, gets its grace here, then goes its own way.
    FReopener.reset();
    FSession.reset(); // closes the device and its events
    FRing.Release();
    FOpened = false;
}

void TComPort::CheckOpen() const
{
    if (!FOpened)
        Raise<EPortNotOpen>(kMsgPortNotOpen);
}

uint8_t TComPort::PeekChar(uint16_t index)
{
    // Index 0 names no byte; it must not reach before the read position.
    if (index == 0 || index > FRing.Unread())
        Raise<EBufferIsEmpty>(kMsgBufferIsEmpty);
    return FRing.At(index - 1u);
}

uint8_t TComPort::ReadChar()
{
    CheckOpen();
    platform::LockGuard guard(FLock);
    const uint8_t byte = PeekChar(1);
    FRing.Consume();
    return byte;
}

void TComPort::Purge()
{
    CheckOpen();
    platform::LockGuard guard(FLock);
    if (FSession)
        (void)FSession->Device().DropInput();
    FRing.Clear();
}

void TComPort::DataReceived(int32_t /*count*/) {}

uint32_t TComPort::WorkerLink::Unread()
{
    platform::LockGuard guard(FPort.FLock);
    return FPort.FRing.Unread();
}

bool TComPort::CycleOwed()
{
    platform::LockGuard guard(FLock);
    return FRing.Full() || FWorker.ReannounceOwed() || (FSession && FSession->Device().ReadOwed());
}

TComPort::RingState TComPort::Ring()
{
    platform::LockGuard guard(FLock);
    return FRing.Snapshot();
}

void TComPort::SetThreadsActive(bool active)
{
    if (active) {
        platform::LockGuard guard(FLock);
        if (const platform::Result<> started = FWorker.Start(); !started)
            Raise<EOpenPortFail>(kMsgOpenPortFail, started.Error());
        return;
    }
    {
        platform::LockGuard guard(FLock);
        FWorker.RequestStop();
        if (FSession)
            FSession->Interrupt();
        if (FReopener)
            FReopener->Wake(); // and one waiting for a lost device's return
    }
    // Not under FLock: a worker inside DataReceived may need it to finish its cycle.
    FWorker.Stop();
}

void TComPort::DropLine(uint32_t error)
{
    LineLost(error);
    std::unique_ptr<LineSession> gone;
    {
        platform::LockGuard guard(FLock);
        gone = std::move(FSession);
        // What the ring still holds belongs to the code that was cut off.
        FRing.Clear();
        FWorker.DropCarried();
    }
    // Closing it may take a while (a read in flight that will not end): the
    // reopener does that too, where a stop need not wait for it.
    auto reopener = std::make_unique<Reopener>(std::move(gone), FLine);
    (void)reopener->Start(); // or on the next look
    platform::LockGuard guard(FLock);
    FReopener = std::move(reopener);
}

void TComPort::AwaitLine(const platform::RefusedWatches& refused)
{
    {
        platform::LockGuard guard(FLock);
        if (StopRequested() || !FReopener)
            return;
        if (!FReopener->Started())
            (void)FReopener->Start();
    }
    // FReopener changes only on this thread while the worker runs.
    FReopener->Wait(Reopener::IntervalMs());
    std::unique_ptr<LineSession> line = FReopener->Take();
    if (!line)
        return;
    std::unique_ptr<Reopener> done;
    {
        platform::LockGuard guard(FLock);
        if (StopRequested())
            return; // just opened, nothing in flight: closed at once
        FSession = std::move(line);
        done = std::move(FReopener);
    }
    done.reset(); // its thread has ended, or is about to
    FSession->Arm(refused);
    Purge(); // what came before the return belongs to no code
    LineBack();
}

void TComPort::DispatchEvents()
{
    const platform::LineNews news = FSession->News();
    if (news.LineTrouble)
        RefreshStatus();
    if (news.BytesArrived)
        ReceiveData();
}

uint32_t TComPort::Store(uint32_t waiting)
{
    platform::SerialDevice& device = FSession->Device();
    return FRing.Fill(
        waiting, [&device](uint8_t* dest, uint32_t size) { return device.Read(dest, size).ValueOr(0); },
        [this] { return !StopRequested(); });
}

void TComPort::ReceiveData()
{
    uint32_t announce = 0;
    {
        // Under FLock so that a Purge on the host's thread never interleaves.
        platform::LockGuard guard(FLock);
        // A stop has begun: reading now would only delay it.
        if (StopRequested())
            return;
        // Bytes an owner's DataReceived left behind when it threw go ahead of the new ones.
        const uint32_t carried = FWorker.Carried(FRing.Unread());
        uint32_t waiting = 0;
        bool owed = false; // a late read's bytes, no longer counted as waiting
        if (!FRing.Full()) {
            waiting = RefreshStatus();
            owed = FSession->Device().ReadOwed();
        }
        if (waiting == 0 && carried == 0 && !owed)
            return;
        const uint32_t stored = waiting != 0 || owed ? Store(waiting) : 0;
        // Asking only for what a late read owed, and getting nothing yet, is no news.
        if (waiting == 0 && carried == 0 && stored == 0)
            return;
        announce = carried + stored;
    }
    FWorker.Announce(announce);
}

} // namespace belvor
