// The serial port object: owns one COM port, keeps an 8192-byte receive ring
// filled by its worker thread, and tells its subclass about new bytes through
// DataReceived. Receive only.
#pragma once

#include "platform/serial_device.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "serial/Exceptions.h"
#include "serial/ReceiveRing.h"
#include "serial/Reopener.h"

#include <atomic>
#include <cstdint>
#include <memory>

namespace belvor {

// Keep values: a setting with this value leaves the device's own alone.
inline constexpr uint32_t kKeepBaudRate = 0;
inline constexpr uint16_t kKeepParity = 5;
inline constexpr uint8_t kKeepDataBits = 9;
inline constexpr uint8_t kKeepStopBits = 3;

inline constexpr int32_t kStatusNotSupported = -3002;

// Reads the device's control block into block, merges the values given (the
// keep values leave the device's own), and sets it. False when the device refuses.
bool MergeLineSettings(platform::SerialDevice& device, platform::ControlBlock& block, uint32_t baudRate,
                       uint16_t parity, uint8_t dataBits, uint8_t stopBits);

class TComPort {
public:
    static constexpr uint32_t kRxBufferSize = ReceiveRing::kSize;
    // The queues asked of the device's own driver.
    static constexpr uint16_t kDeviceInQueueSize = 4096;
    static constexpr uint16_t kDeviceOutQueueSize = 4096;
    static constexpr uint32_t kFullEventMask = 0x000021FD;
    static constexpr uint32_t kUnnamedEventBit = 0x00002000;
    static constexpr uint32_t kModemEventBits = 0x00000138; // CTS, DSR, RLSD, RING
    static constexpr size_t kThreadStackSize = 16384;
    static constexpr uint32_t kStartAckTimeoutMs = 3000;
    static constexpr uint32_t kStopTimeoutMs = 200;
    static constexpr uint32_t kCyclePauseMs = 10;
    // Waiting for news from the device: a bound only against a wake that
    // never comes; a quiet port is otherwise not looked at.
    static constexpr uint32_t kNewsWaitMs = 60000;

    // Opens the port unless portNumber is 0; a failing open fails the construction.
    explicit TComPort(uint16_t portNumber, PortPlace place = {});
    virtual ~TComPort();
    TComPort(const TComPort&) = delete;
    TComPort& operator=(const TComPort&) = delete;

    void SetBaudRate(uint32_t value);
    void SetDataBits(uint8_t value);
    void SetStopBits(uint8_t value);
    void SetParity(uint8_t value);

    uint32_t BaudRate() const { return FBaudRate; }
    uint8_t DataBits() const { return FDataBits; }
    uint8_t StopBits() const { return FStopBits; }
    uint8_t Parity() const { return FParity; }
    uint16_t PortNumber() const { return FPortNumber; }
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
    void SetWakeOnEvent(bool on) { FWakeOnEvent = on; }
    bool WakeOnEvent() const { return FWakeOnEvent; }

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

    // The worker hands nothing to DataReceived until the owner says it is
    // fully built: a virtual call into a half-constructed subclass would be
    // undefined. A subclass calls this last in its construction, and Close()
    // first in its destructor.
    void EnableDataReceived();

    // True once Close has begun: an owner's DataReceived stops early, since
    // what is left in the ring goes with the port.
    bool StopRequested() const { return FStopRequested.load(std::memory_order_relaxed) != 0; }

    // Reads without consuming, 1 for the oldest unread byte; the caller holds FLock.
    uint8_t PeekChar(uint16_t index);
    void CheckOpen() const;
    void ApplySettings(uint32_t baudRate, uint16_t parity, uint8_t dataBits, uint8_t stopBits);
    int32_t MergeSettings(uint32_t baudRate, uint16_t parity, uint8_t dataBits, uint8_t stopBits);
    // Clears the device's line errors; returns how many bytes it holds.
    uint32_t RefreshStatus();
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
    static void EventThreadProc(void* port);
    void RunWorker();
    uint32_t ReadPiece(uint16_t dest, uint16_t size);
    // The device is gone: tells the owner, and hands the device to a reopener.
    void DropLostDevice(uint32_t error);
    // While lost: waits for the reopener, and takes the device back once it is.
    void AwaitReopen(uint32_t mask);
    // A lost device that will not be opened anew: sleeps until the stop.
    void ParkUntilStop();
    template <class E> [[noreturn]] void Raise(const char* format, uint32_t nativeError = 0) const
    {
        throw E(FormatPortMessage(format, FPortNumber), nativeError);
    }

    uint32_t FBaudRate = 5760;
    uint16_t FPortNumber;
    PortPlace FPlace;
    uint8_t FDataBits = 8;
    uint8_t FStopBits = 1;
    uint8_t FParity = 0;
    bool FOpened = false;

    std::unique_ptr<platform::SerialDevice> FDevice;
    std::unique_ptr<Reopener> FReopener; // while lost; set and cleared under FLock
    platform::ControlBlock FDCB;
    ReceiveRing FRing; // changes only under FLock, as do these flags
    // DataReceived threw: what it left unread is announced again next cycle.
    bool FReannounce = false;
    std::atomic<int32_t> FStopRequested{0};
    std::atomic<bool> FDataReceivedEnabled{false};
    std::atomic<bool> FReconnect{true};
    std::atomic<bool> FWakeOnEvent{false};
    platform::Thread FEventThread;
    platform::RecursiveLock FLock;
    platform::Event FAckEvent{false};
    platform::Event FStopEvent{true}; // cuts the worker's pause short on a stop
    uint32_t FEventMask = 0;
};

} // namespace belvor
