// The serial port object: owns one COM port, keeps an 8192-byte receive ring
// filled by its worker thread, and tells its subclass about new bytes through
// DataReceived. Receive only. Its parts: the line session (the open device),
// the port worker (the thread and its cycle, with the cycle pause between
// cycles), the ring, and while the device is lost a reopener.
#pragma once

#include "platform/sync.h"
#include "serial/CyclePause.h"
#include "serial/Exceptions.h"
#include "serial/LineSession.h"
#include "serial/PortWorker.h"
#include "serial/ReceiveRing.h"
#include "serial/Reopener.h"

#include <cstdint>
#include <memory>

namespace belvor {

// The setters' keep values: a setting given as this leaves the device's own alone.
inline constexpr uint32_t kKeepBaudRate = 0;
inline constexpr uint8_t kKeepParity = 5;
inline constexpr uint8_t kKeepDataBits = 9;
inline constexpr uint8_t kKeepStopBits = 3;

class TComPort {
public:
    static constexpr uint32_t kRxBufferSize = ReceiveRing::kSize;
    // The queues asked of the device's own driver.
    static constexpr uint16_t kDeviceInQueueSize = 4096;
    static constexpr uint16_t kDeviceOutQueueSize = 4096;
    static constexpr size_t kThreadStackSize = PortWorker::kStackSize;
    static constexpr uint32_t kStartAckTimeoutMs = PortWorker::kStartAckTimeoutMs;
    static constexpr uint32_t kStopTimeoutMs = PortWorker::kStopTimeoutMs;
    static constexpr uint32_t kCyclePauseMs = CyclePause::kPollMs;
    static constexpr uint32_t kNewsWaitMs = CyclePause::kNewsWaitMs;

    // Opens the port unless portNumber is 0; a failing open fails the construction.
    explicit TComPort(uint16_t portNumber, PortPlace place = {});
    virtual ~TComPort();
    TComPort(const TComPort&) = delete;
    TComPort& operator=(const TComPort&) = delete;

    void SetBaudRate(uint32_t value);
    void SetDataBits(uint8_t value);
    void SetStopBits(uint8_t value);
    void SetParity(uint8_t value);

    uint32_t BaudRate() const { return FLine.BaudRate.value_or(kKeepBaudRate); }
    uint8_t DataBits() const { return FLine.DataBits.value_or(kKeepDataBits); }
    uint8_t StopBits() const { return FLine.StopBits.value_or(kKeepStopBits); }
    uint8_t Parity() const { return FLine.Parity.value_or(kKeepParity); }
    uint16_t PortNumber() const { return FLine.PortNumber; }
    // Open from Open to Close, whether or not the device is there meanwhile
    // (a lost one is being opened anew).
    bool Opened() const { return FOpened; }

    void Open();
    void Close();

    // Whether a lost device (unplugged, hung up) is closed and the port opened
    // anew every second until it is back. On unless set off; takes effect on
    // the next loss.
    void SetReconnect(bool on) { FWorker.SetReconnect(on); }
    bool Reconnect() const { return FWorker.Reconnect(); }

    // Whether the worker sleeps until the device has news instead of looking
    // every 10 ms. Off unless set; may change while the port is open.
    void SetWakeOnEvent(bool on) { FWorker.Pause().SetWakeOnEvent(on); }
    bool WakeOnEvent() const { return FWorker.Pause().WakeOnEvent(); }

    // Milliseconds since the port's worker last finished a round; 0 while
    // none is running or it is parked on a line gone for good.
    int64_t ReaderQuietMs() const { return FWorker.QuietMs(); }
    // How far the worker is past what its round may take (negative within
    // it), and since when it is quiet, from one look.
    PortWorker::Sight ReaderSight() const { return FWorker.Look(); }

    // Removes and returns the oldest unread byte.
    uint8_t ReadChar();
    // Discards what the device and the ring hold of received data.
    void Purge();

protected:
    // Called on the worker thread, without the port's lock, with the number
    // of bytes just stored in the ring. Does nothing here.
    virtual void DataReceived(int32_t count);

    // Called on the worker when the device has been lost (with the system's
    // code for it) and will be opened anew: what was under way (a half-received
    // code) will never be completed. And when it is back. Neither may block or
    // write the log: a stop may give up on the worker, and it must never do so
    // while the worker holds what others need.
    virtual void LineLost(uint32_t error) { (void)error; }
    virtual void LineBack() {}
    // The device is lost and stays so: reconnecting is off. Under the same rules.
    virtual void LineGone(uint32_t error) { (void)error; }
    // Called on the worker with the line errors the device reported (overrun,
    // parity, framing, break, a full input queue) as it clears them. Under the same rules.
    virtual void LineErrorsSeen(const platform::LineErrors& errors) { (void)errors; }
    // On the worker, when it wakes from a sleep until news.
    virtual void ReaderWoke() {}

    // The worker hands nothing to DataReceived until the owner says it is
    // fully built: a virtual call into a half-constructed subclass would be
    // undefined. A subclass calls this last in its construction, and Close()
    // first in its destructor.
    void EnableDataReceived() { FWorker.EnableDataReceived(); }

    // True once Close has begun: an owner's DataReceived stops early, since
    // what is left in the ring goes with the port.
    bool StopRequested() const { return FWorker.StopRequested(); }

    // Reads without consuming, 1 for the oldest unread byte; the caller holds FLock.
    uint8_t PeekChar(uint16_t index);
    void CheckOpen() const;
    // The settings given (from LineConfigOf(FLine)) onto the open device.
    void ApplySettings(const platform::LineConfig& change);
    // Fails with the device's code when it refuses them, or with none while
    // the line is lost.
    platform::Result<> MergeSettings(const platform::LineConfig& change);
    // Clears the device's line errors, telling LineErrors of them; returns how
    // many bytes it holds.
    uint32_t RefreshStatus()
    {
        platform::LineErrors errors;
        const uint32_t waiting = FSession->RefreshStatus(errors);
        if (errors.Any())
            LineErrorsSeen(errors);
        return waiting;
    }
    void SetThreadsActive(bool active);

    // One receive step and one dispatch, as the worker runs them each cycle.
    void DispatchEvents();
    void ReceiveData();

    using RingState = ReceiveRing::Positions;
    RingState Ring();
    // Whether the next cycle has work of its own, news or not.
    bool CycleOwed();
    const uint8_t* RxBuffer() const { return FRing.Data(); }
    platform::RecursiveLock& Lock() { return FLock; }

private:
    // What the worker calls back into: fixed from the port's own construction
    // on, whatever subclass is still being built.
    class WorkerLink final : public PortWorker::Owner {
    public:
        explicit WorkerLink(TComPort& port) : FPort(port) {}
        void AwaitLine(const platform::RefusedWatches& refused) override { FPort.AwaitLine(refused); }
        void DropLine(uint32_t error) override { FPort.DropLine(error); }
        void KeepLost(uint32_t error) override { FPort.LineGone(error); }
        void DispatchEvents() override { FPort.DispatchEvents(); }
        bool CycleOwed() override { return FPort.CycleOwed(); }
        void DataReceived(int32_t count) override { FPort.DataReceived(count); }
        uint32_t Unread() override;
        void ReaderWoke() override { FPort.ReaderWoke(); }

    private:
        TComPort& FPort;
    };

    // Opens the device and sets it up, before the worker starts.
    void OpenLine();
    // Reads what the device holds (waiting, or a late read's bytes) into the
    // ring; returns how many bytes were stored. Under FLock.
    uint32_t Store(uint32_t waiting);
    // The device is gone: tells the owner, and hands the session to a reopener.
    void DropLine(uint32_t error);
    // While lost: waits for the reopener, and takes the line back once it is.
    void AwaitLine(const platform::RefusedWatches& refused);
    template <class E> [[noreturn]] void Raise(const char* format, uint32_t nativeError = 0) const
    {
        throw E(FormatPortMessage(format, FLine.PortNumber), nativeError);
    }

    // The port's place and the settings the host asked for, kept for each reopen.
    LineParams FLine;
    bool FOpened = false;
    // The open device; null while it is lost. Set and cleared under FLock.
    std::unique_ptr<LineSession> FSession;
    std::unique_ptr<Reopener> FReopener; // while lost; set and cleared under FLock
    ReceiveRing FRing;                   // changes only under FLock
    platform::RecursiveLock FLock;
    WorkerLink FLink{*this};
    PortWorker FWorker{FLink, FSession};
};

} // namespace belvor
