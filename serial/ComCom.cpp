#include "serial/ComCom.h"

#include "logging/Logger.h"
#include "platform/errors.h"
#include "serial/Reopener.h"

#include <algorithm>
#include <utility>

namespace belvor {

namespace {

constexpr uint32_t kControlFlagsKept = 0x0000CFFF; // RTS control off, bits 16-31 cleared

constexpr platform::CommTimeouts kWorkerTimeouts{
    0xFFFFFFFFu, // reads return at once with what has arrived
    0,           0, 0, 20000,
};

} // namespace

TComPort::TComPort(uint16_t portNumber, PortPlace place) : FPortNumber(portNumber), FPlace(std::move(place))
{
    if (FPortNumber != 0)
        Open();
}

TComPort::~TComPort()
{
    if (FOpened)
        Close();
}

void TComPort::SetBaudRate(uint32_t value)
{
    FBaudRate = value;
    ApplySettings(value, kKeepParity, kKeepDataBits, kKeepStopBits);
}

void TComPort::SetDataBits(uint8_t value)
{
    FDataBits = value;
    ApplySettings(kKeepBaudRate, kKeepParity, value, kKeepStopBits);
}

void TComPort::SetStopBits(uint8_t value)
{
    FStopBits = value;
    ApplySettings(kKeepBaudRate, kKeepParity, kKeepDataBits, value);
}

void TComPort::SetParity(uint8_t value)
{
    FParity = value;
    ApplySettings(kKeepBaudRate, value, kKeepDataBits, kKeepStopBits);
}

void TComPort::ApplySettings(uint32_t baudRate, uint16_t parity, uint8_t dataBits, uint8_t stopBits)
{
    if (!FOpened)
        return;
    if (MergeSettings(baudRate, parity, dataBits, stopBits) < 0) {
        platform::LockGuard guard(FLock);
        Raise<ENotSupported>(kMsgParameterNotSupported, FDevice ? FDevice->LastError() : 0);
    }
}

bool MergeLineSettings(platform::SerialDevice& device, platform::ControlBlock& block, uint32_t baudRate,
                       uint16_t parity, uint8_t dataBits, uint8_t stopBits)
{
    (void)device.GetState(block);
    if (stopBits != kKeepStopBits) {
        if (stopBits == 0)
            stopBits = 1;
        else if (stopBits > 2)
            stopBits = 2;
    }
    if (baudRate != kKeepBaudRate)
        block.BaudRate = baudRate;
    if (parity != kKeepParity)
        block.Parity = static_cast<uint8_t>(parity & 0xFF);
    if (dataBits != kKeepDataBits)
        block.ByteSize = dataBits;
    if (stopBits != kKeepStopBits)
        block.StopBits = stopBits == 1 ? 0 : 2; // one stop bit, or two; never one and a half
    block.Flags &= kControlFlagsKept;
    return device.SetState(block);
}

int32_t TComPort::MergeSettings(uint32_t baudRate, uint16_t parity, uint8_t dataBits, uint8_t stopBits)
{
    platform::LockGuard guard(FLock);
    if (!FDevice)
        return kStatusNotSupported; // lost, and not back yet
    return MergeLineSettings(*FDevice, FDCB, baudRate, parity, dataBits, stopBits) ? 0 : kStatusNotSupported;
}

void TComPort::Open()
{
    if (FOpened)
        return;
    FDCB = {};
    FRing.Reset();
    FReannounce = false;
    FStopRequested = 0;
    FEventMask = 0;

    uint32_t nativeError = 0;
    FDevice = platform::OpenSerialDevice(FPortNumber, FPlace.Where, nativeError);
    if (!FDevice)
        Raise<EOpenPortFail>(kMsgOpenPortFail, nativeError);
    try {
        if (!FDevice->Setup(kDeviceInQueueSize, kDeviceOutQueueSize))
            Raise<ENotSupported>(kMsgSetupNotSupported, FDevice->LastError());
        FRing.Allocate();
        (void)FDevice->GetState(FDCB);
        FOpened = true;
        ApplySettings(FBaudRate, FParity, FDataBits, FStopBits);
        RefreshStatus();
        SetThreadsActive(true);
    } catch (...) {
        if (FOpened) {
            Close();
        } else {
            FRing.Release();
            FDevice.reset();
        }
        throw;
    }
}

void TComPort::Close()
{
    if (!FOpened)
        return;
    SetThreadsActive(false);
    // A lost device, or one being opened again, gets its grace here, then goes its own way.
    FReopener.reset();
    FDevice.reset(); // closes the device and its events
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
    if (FDevice)
        (void)FDevice->Purge(platform::kPurgeRxAbort | platform::kPurgeRxClear);
    FRing.Clear();
}

uint32_t TComPort::RefreshStatus()
{
    uint32_t errors = 0;
    uint32_t waiting = 0;
    if (!FDevice->ClearError(errors, waiting))
        waiting = 0;
    return waiting;
}

void TComPort::DataReceived(int32_t /*count*/) {}

void TComPort::EnableDataReceived()
{
    FDataReceivedEnabled = true;
}

bool TComPort::CycleOwed()
{
    platform::LockGuard guard(FLock);
    return FRing.Full() || FReannounce || (FDevice && FDevice->ReadOwed());
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
        FStopRequested = 0;
        FStopEvent.Reset();
        if (!FEventThread.Start(&EventThreadProc, this, kThreadStackSize))
            Raise<EOpenPortFail>(kMsgOpenPortFail, platform::LastSystemError());
        (void)FAckEvent.Wait(kStartAckTimeoutMs); // a late start still counts as started
        FEventThread.SetTimeCritical();
        return;
    }
    {
        platform::LockGuard guard(FLock);
        FStopRequested = -1;
        FStopEvent.Set();
        if (FDevice) {
            (void)FDevice->SetMask(0); // ends a wait in flight
            FDevice->Wake();           // and a worker asleep until news
        }
        if (FReopener)
            FReopener->Wake(); // and one waiting for a lost device's return
    }
    // Not under FLock: a worker inside DataReceived may need it to finish its
    // cycle. Waiting for the thread's end, rather than for its acknowledgement,
    // cannot be fooled by a start acknowledgement that came late.
    (void)FEventThread.Stop(kStopTimeoutMs);
    FAckEvent.Reset();
}

void TComPort::EventThreadProc(void* port)
{
    static_cast<TComPort*>(port)->RunWorker();
}

void TComPort::RunWorker()
{
    uint32_t mask = kFullEventMask;
    (void)FDevice->SetMask(mask);
    (void)FDevice->SetTimeouts(kWorkerTimeouts);
    FAckEvent.Set();

    for (;;) {
        if (!FDevice) {
            AwaitReopen(mask);
            if (FStopRequested != 0)
                break;
            continue;
        }
        if (!FDevice->WaitEvent(FEventMask)) {
            const uint32_t error = FDevice->LastError();
            // Drivers that refuse part of the mask: drop that part once and go on
            // with the rest, so that received bytes are still reported.
            if (error == platform::kErrorInvalidParameter && (mask & kUnnamedEventBit)) {
                mask &= ~kUnnamedEventBit;
                (void)FDevice->SetMask(mask);
            } else if (error == platform::kErrorNotSupported && (mask & kModemEventBits)) {
                mask &= ~kModemEventBits;
                (void)FDevice->SetMask(mask);
            }
            // A wait in flight (kErrorIoPending) reports its mask when it completes.
        }
        if (FStopRequested != 0)
            break;
        if (FDataReceivedEnabled) {
            try {
                DispatchEvents();
            } catch (...) {
                // Whatever the owner's DataReceived throws must not end reception.
            }
            // Only a fully built owner is reconnected: until then a lost device
            // simply fails the construction's own calls.
            uint32_t lostError = 0;
            if (FDevice->Lost(lostError)) {
                if (!FReconnect) {
                    ParkUntilStop();
                    break;
                }
                DropLostDevice(lostError);
                continue;
            }
            // Asleep until the device has news. What the next cycle must do
            // anyway (bytes to announce again, a late read owed) and a full
            // ring keep the polling pause instead.
            if (FWakeOnEvent && !CycleOwed()) {
                FDevice->WaitForNews(kNewsWaitMs);
                if (FStopRequested != 0)
                    break;
                continue;
            }
        }
        (void)FStopEvent.Wait(kCyclePauseMs);
        if (FStopRequested != 0)
            break;
    }
    FAckEvent.Set();
}

void TComPort::ParkUntilStop()
{
    // Nothing more will come through a lost device: looking at it again would
    // only burn cycles.
    while (FStopRequested == 0)
        (void)FStopEvent.Wait(kNewsWaitMs);
}

void TComPort::DropLostDevice(uint32_t error)
{
    LineLost(error);
    std::unique_ptr<platform::SerialDevice> gone;
    {
        platform::LockGuard guard(FLock);
        gone = std::move(FDevice);
        // What the ring still holds belongs to the code that was cut off.
        FRing.Clear();
        FReannounce = false;
        FEventMask = 0;
    }
    // Closing it may take a while (a read in flight that will not end): the
    // reopener does that too, where a stop need not wait for it.
    const LineParams line{.PortNumber = FPortNumber,
                          .Place = FPlace,
                          .InQueue = kDeviceInQueueSize,
                          .OutQueue = kDeviceOutQueueSize,
                          .BaudRate = FBaudRate,
                          .Parity = FParity,
                          .DataBits = FDataBits,
                          .StopBits = FStopBits};
    auto reopener = std::make_unique<Reopener>(std::move(gone), line);
    (void)reopener->Start(); // or on the next look
    platform::LockGuard guard(FLock);
    FReopener = std::move(reopener);
}

void TComPort::AwaitReopen(uint32_t mask)
{
    {
        platform::LockGuard guard(FLock);
        if (FStopRequested != 0 || !FReopener)
            return;
        if (!FReopener->Started())
            (void)FReopener->Start();
    }
    // FReopener changes only on this thread while the worker runs.
    FReopener->Wait(Reopener::kIntervalMs);
    std::unique_ptr<platform::SerialDevice> device = FReopener->Take();
    if (!device)
        return;
    std::unique_ptr<Reopener> done;
    {
        platform::LockGuard guard(FLock);
        if (FStopRequested != 0)
            return; // just opened, nothing in flight: closed at once
        FDevice = std::move(device);
        done = std::move(FReopener);
    }
    done.reset(); // its thread has ended, or is about to
    (void)FDevice->SetMask(mask);
    (void)FDevice->SetTimeouts(kWorkerTimeouts);
    Purge(); // what came before the return belongs to no code
    LineBack();
}

void TComPort::DispatchEvents()
{
    const uint32_t events = FEventMask;
    if (events & (platform::kEvBreak | platform::kEvErr))
        RefreshStatus();
    if (events & platform::kEvRxChar)
        ReceiveData();
}

uint32_t TComPort::ReadPiece(uint16_t dest, uint16_t size)
{
    const uint32_t got = FDevice->Read(FRing.Data() + dest, size);
    return std::min<uint32_t>(got, size);
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
        // Bytes an owner's DataReceived left behind when it threw were
        // announced once; announce them again, ahead of the new ones, or they
        // would wait for later bytes and every later count would be off.
        const uint32_t carried = FReannounce ? FRing.Unread() : 0;
        FReannounce = false;
        uint32_t waiting = 0;
        bool owed = false; // a late read's bytes, no longer counted as waiting
        if (!FRing.Full()) {
            waiting = RefreshStatus();
            owed = FDevice->ReadOwed();
        }
        if (waiting == 0 && carried == 0 && !owed)
            return;

        uint32_t stored = 0;
        if (waiting != 0 || owed) {
            const ReceiveRing::WriteSpans spans = FRing.Spans(waiting);
            const uint32_t n1 = ReadPiece(spans.Start, static_cast<uint16_t>(spans.First));
            FRing.Advance(n1);
            uint32_t n2 = 0;
            // The second piece starts at the ring's start, so it is read only when
            // the first one really ended at the ring's end.
            if (spans.Second != 0 && FRing.Snapshot().WritePos == 0 && !StopRequested()) {
                n2 = ReadPiece(0, static_cast<uint16_t>(spans.Second));
                FRing.Advance(n2);
            }
            stored = n1 + n2;
        }
        // Asking only for what a late read owed, and getting nothing yet, is no news.
        if (waiting == 0 && carried == 0 && stored == 0)
            return;
        announce = carried + stored;
    }
    try {
        DataReceived(static_cast<int32_t>(announce));
    } catch (...) {
        platform::LockGuard guard(FLock);
        FReannounce = FRing.Unread() != 0;
        throw;
    }
}

} // namespace belvor
