#include "serial/ComCom.h"

#include "platform/errors.h"

#include <algorithm>
#include <utility>

namespace belvor {

namespace {

// The setters' keep values: a setting given as this leaves the device's own alone.
constexpr uint32_t kKeepBaudRate = 0;
constexpr uint8_t kKeepParity = 5;
constexpr uint8_t kKeepDataBits = 9;
constexpr uint8_t kKeepStopBits = 3;

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
    FReannounce = false;
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
    // Clears what errors the line had before the port opened; a status that
    // fails now is the first round's to meet.
    (void)RefreshStatus();
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

platform::Result<uint32_t> TComPort::RefreshStatus()
{
    platform::LineErrors errors;
    const platform::Result<uint32_t> waiting = FSession->RefreshStatus(errors);
    if (errors.Any())
        LineErrorsSeen(errors);
    return waiting;
}

bool TComPort::CycleOwed()
{
    platform::LockGuard guard(FLock);
    return FRing.Full() || FReannounce || (FSession && FSession->Device().ReadOwed());
}

void TComPort::SetThreadsActive(bool active)
{
    if (active) {
        platform::LockGuard guard(FLock);
        FRefused = {};
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
    FRefused = FSession->Device().Refused();
    LineLost(error);
    std::unique_ptr<LineSession> gone;
    {
        platform::LockGuard guard(FLock);
        gone = std::move(FSession);
        // What the ring still holds belongs to the code that was cut off,
        // and what is left unread goes with it.
        FRing.Clear();
        FReannounce = false;
    }
    // Closing it may take a while (a read in flight that will not end): the
    // reopener does that too, where a stop need not wait for it.
    auto reopener = std::make_unique<Reopener>(std::move(gone), FLine);
    (void)reopener->Start(); // or on the next look
    platform::LockGuard guard(FLock);
    FReopener = std::move(reopener);
}

void TComPort::AwaitLine()
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
    FSession->Arm(FRefused);
    Purge(); // what came before the return belongs to no code
    LineBack();
}

NextStep TComPort::Round(RoundWatch& watch)
{
    if (!FSession) {
        AwaitLine();
        return StopRequested() ? NextStep::End : NextStep::Again;
    }
    FSession->Look();
    // Before the news is handed on: a watcher woken by its codes sees the worker running.
    watch.Progress(platform::AwakeMilliseconds());
    if (StopRequested())
        return NextStep::End;
    // Only a fully built owner is handed bytes or reconnected: until then a
    // lost device simply fails the construction's own calls.
    if (!FReceiving)
        return NextStep::Poll;
    bool whole = true;
    try {
        whole = Dispatch();
    } catch (...) {
        // Whatever the owner's DataReceived throws must not end reception;
        // what it left is owed to the next round.
    }
    const uint32_t lost = FSession->Lost();
    const NextStep next = NextAfterLook(lost, FReconnect, !whole || CycleOwed());
    if (next == NextStep::Park)
        LineGone(lost);
    else if (next == NextStep::Again)
        DropLine(lost);
    return next;
}

bool TComPort::Dispatch()
{
    const platform::LineNews news = FSession->News();
    if (news.LineTrouble && !RefreshStatus())
        return false;
    return !news.BytesArrived || ReceiveData();
}

TComPort::Stored TComPort::Store(uint32_t waiting)
{
    platform::SerialDevice& device = FSession->Device();
    Stored stored;
    stored.Count = FRing.Fill(
        waiting,
        [&device, &stored](uint8_t* dest, uint32_t size) -> uint32_t {
            const platform::Result<uint32_t> read = device.Read(dest, size);
            if (read)
                return *read;
            stored.Whole = false;
            return 0;
        },
        [this] { return !StopRequested(); });
    return stored;
}

bool TComPort::ReceiveData()
{
    uint32_t announce = 0;
    bool whole = true;
    {
        // Under FLock so that a Purge on the host's thread never interleaves.
        platform::LockGuard guard(FLock);
        // A stop has begun: reading now would only delay it.
        if (StopRequested())
            return true;
        // Bytes an owner's DataReceived left behind when it threw go ahead of the new ones.
        const uint32_t carried = FReannounce.exchange(false) ? FRing.Unread() : 0;
        uint32_t stored = 0;
        if (!FRing.Full()) {
            const platform::Result<uint32_t> waiting = RefreshStatus();
            if (!waiting) {
                whole = false;
            } else if (*waiting != 0 || FSession->Device().ReadOwed()) {
                // (A late read's bytes are no longer counted as waiting.)
                const Stored got = Store(*waiting);
                stored = got.Count;
                whole = got.Whole;
            }
        }
        // Nothing stored, nothing carried (a late read that brought nothing yet included): no news.
        announce = carried + stored;
        if (announce == 0)
            return whole;
    }
    Announce(announce);
    return whole;
}

void TComPort::Announce(uint32_t count)
{
    try {
        DataReceived(static_cast<int32_t>(count));
    } catch (...) {
        // What it left would otherwise wait for later bytes, and every later
        // count would be off.
        platform::LockGuard guard(FLock);
        FReannounce = FRing.Unread() != 0;
        throw;
    }
}

} // namespace belvor
