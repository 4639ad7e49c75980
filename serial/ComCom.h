// The serial port object: owns one COM port, keeps an 8192-byte receive ring
// filled by its worker thread, and tells its subclass about new bytes through
// DataReceived. Receive only. Its parts: the line session (the open device),
// the port worker (the thread that runs the port's round, with the cycle
// pause between rounds), the ring, and while the device is lost a reopener.
// The round is the port's own: a look, the news dispatched (line errors,
// bytes read into the ring and handed to DataReceived), then the loss.
#pragma once

#include "platform/sync.h"
#include "serial/CyclePause.h"
#include "serial/Exceptions.h"
#include "serial/LineSession.h"
#include "serial/PortWorker.h"
#include "serial/ReceiveRing.h"
#include "serial/Reopener.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

namespace belvor {

class TComPort {
public:
    // The queues asked of the device's own driver.
    static constexpr uint16_t kDeviceInQueueSize = 4096;
    static constexpr uint16_t kDeviceOutQueueSize = 4096;
    static constexpr uint32_t kNewsWaitMs = CyclePause::kNewsWaitMs;

    // Opens the port unless portNumber is 0; a failing open fails the construction.
    explicit TComPort(uint16_t portNumber, PortPlace place = {});
    virtual ~TComPort();
    TComPort(const TComPort&) = delete;
    TComPort& operator=(const TComPort&) = delete;

    // Each keeps the device's own setting when given its keep value: rate 0,
    // data bits 9, stop bits 3, parity 5. Stop bits 0 count as one, above two
    // as two; parity 0 none, 1 odd, 2 even, 3 mark, 4 space.
    void SetBaudRate(uint32_t value);
    void SetDataBits(uint8_t value);
    void SetStopBits(uint8_t value);
    void SetParity(uint8_t value);

    // The settings asked for; none: the device's own stays.
    std::optional<uint32_t> BaudRate() const { return FLine.BaudRate; }
    std::optional<uint8_t> DataBits() const { return FLine.DataBits; }
    std::optional<uint8_t> StopBits() const { return FLine.StopBits; }
    std::optional<uint8_t> Parity() const { return FLine.Parity; }
    uint16_t PortNumber() const { return FLine.PortNumber; }
    // Open from Open to Close, whether or not the device is there meanwhile
    // (a lost one is being opened anew).
    bool Opened() const { return FOpened; }

    void Open();
    void Close();

    // Whether a lost device (unplugged, hung up) is closed and the port opened
    // anew every second until it is back. On unless set off; takes effect on
    // the next loss.
    void SetReconnect(bool on) { FReconnect = on; }
    bool Reconnect() const { return FReconnect; }

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

    // The worker hands nothing to DataReceived until the owner says it is
    // fully built: a virtual call into a half-constructed subclass would be
    // undefined. A subclass calls this last in its construction, and Close()
    // first in its destructor.
    void EnableDataReceived() { FReceiving = true; }
    // What the worker sets when it wakes from a sleep until news; none: nothing.
    void SetReaderWake(platform::Event* signal) { FWorker.SetWakeSignal(signal); }

    // True once Close has begun: an owner's DataReceived stops early, since
    // what is left in the ring goes with the port.
    bool StopRequested() const { return FWorker.StopRequested(); }

private:
    friend struct PortTesting;

    // The round the worker runs: fixed from the port's own construction on,
    // whatever subclass is still being built.
    class WorkerRound final : public PortWorker::Round {
    public:
        explicit WorkerRound(TComPort& port) : FPort(port) {}
        NextStep Run(RoundWatch& watch) override { return FPort.Round(watch); }

    private:
        TComPort& FPort;
    };

    // One round: with a line, a look (stamped on watch), its news dispatched
    // and its loss dealt with; without one, a bounded wait for its return.
    NextStep Round(RoundWatch& watch);
    // The news of the last look: the line errors taken, the bytes read and
    // handed over. False when a device call failed: the next round is owed.
    bool Dispatch();
    // The receive step: what the device holds (waiting, or a late read's
    // bytes) read into the ring under FLock, then handed to DataReceived with
    // what a throwing one left before. False when a device call failed (the
    // rest stays for the next round). Throws what DataReceived throws.
    bool ReceiveData();
    // Hands count bytes to DataReceived; what a throwing one left is handed
    // over again first in the next receive step.
    void Announce(uint32_t count);
    // Whether the next round has work of its own, news or not.
    bool CycleOwed();

    // Reads without consuming, 1 for the oldest unread byte; the caller holds FLock.
    uint8_t PeekChar(uint16_t index);
    void CheckOpen() const;
    // The settings given (from LineConfigOf(FLine)) onto the open device.
    void ApplySettings(const platform::LineConfig& change);
    // Fails with the device's code when it refuses them, or with none while
    // the line is lost.
    platform::Result<> MergeSettings(const platform::LineConfig& change);
    // Clears the device's line errors, telling LineErrorsSeen of them; how
    // many bytes it holds, or why the status failed.
    platform::Result<uint32_t> RefreshStatus();
    void SetThreadsActive(bool active);

    // Opens the device and sets it up, before the worker starts.
    void OpenLine();
    // What Store read: how many bytes, and whether every read asked succeeded.
    struct Stored {
        uint32_t Count = 0;
        bool Whole = true;
    };
    // Reads what the device holds (waiting, or a late read's bytes) into the
    // ring. Under FLock.
    Stored Store(uint32_t waiting);
    // The device is gone: tells the owner, and hands the session to a reopener.
    void DropLine(uint32_t error);
    // While lost: waits for the reopener, and takes the line back once it is.
    void AwaitLine();
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
    std::atomic<bool> FReceiving{false};
    std::atomic<bool> FReconnect{true};
    // What a throwing DataReceived left unread is handed over again.
    std::atomic<bool> FReannounce{false};
    // What a lost line's system refused stays unasked; on the worker only.
    platform::RefusedWatches FRefused;
    WorkerRound FRound{*this};
    PortWorker FWorker{FRound, FSession};
};

} // namespace belvor
