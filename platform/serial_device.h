// The serial device as the port object sees it: the operations and records of
// the Windows communications interface, supplied by kernel32 on Windows and
// over termios elsewhere. One object per open device; closing is destruction.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace belvor::platform {

// Line events, numbered as the Windows serial interface numbers them.
inline constexpr uint32_t kEvRxChar = 0x0001;
inline constexpr uint32_t kEvTxEmpty = 0x0004;
inline constexpr uint32_t kEvCts = 0x0008;
inline constexpr uint32_t kEvDsr = 0x0010;
inline constexpr uint32_t kEvRlsd = 0x0020;
inline constexpr uint32_t kEvBreak = 0x0040;
inline constexpr uint32_t kEvErr = 0x0080;
inline constexpr uint32_t kEvRing = 0x0100;

// Purge flags.
inline constexpr uint32_t kPurgeTxAbort = 0x0001;
inline constexpr uint32_t kPurgeRxAbort = 0x0002;
inline constexpr uint32_t kPurgeTxClear = 0x0004;
inline constexpr uint32_t kPurgeRxClear = 0x0008;

// System error codes the port reacts to (Windows numbering on every platform).
inline constexpr uint32_t kErrorNotSupported = 50;
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorIoPending = 997;

// Bits of the error word of ClearError, as ClearCommError sets them.
inline constexpr uint32_t kCeRxOver = 0x0001;   // input queue overflow
inline constexpr uint32_t kCeOverrun = 0x0002;  // character lost by the hardware
inline constexpr uint32_t kCeRxParity = 0x0004; // parity error
inline constexpr uint32_t kCeFrame = 0x0008;    // framing error
inline constexpr uint32_t kCeBreak = 0x0010;    // break received

// Bits of the control block's flag word.
inline constexpr uint32_t kFlagBinary = 0x0001;
inline constexpr uint32_t kFlagParity = 0x0002;
inline constexpr uint32_t kFlagOutxCtsFlow = 0x0004;
inline constexpr uint32_t kFlagOutxDsrFlow = 0x0008;
inline constexpr uint32_t kFlagDtrControlMask = 0x0030; // 0 disable, 1 enable, 2 handshake
inline constexpr uint32_t kFlagDsrSensitivity = 0x0040;
inline constexpr uint32_t kFlagTxContinueOnXoff = 0x0080;
inline constexpr uint32_t kFlagOutX = 0x0100;
inline constexpr uint32_t kFlagInX = 0x0200;
inline constexpr uint32_t kFlagErrorChar = 0x0400;
inline constexpr uint32_t kFlagNull = 0x0800;
inline constexpr uint32_t kFlagRtsControlMask = 0x3000; // 0 disable, 1 enable, 2 handshake, 3 toggle
inline constexpr uint32_t kFlagAbortOnError = 0x4000;

// The members of the device control block (DCB) that the port reads and merges.
// A device keeps the members it does not list here as they were.
struct ControlBlock {
    uint32_t BaudRate = 0;
    uint32_t Flags = 0;   // the DCB's 32-bit word of flag bits
    uint8_t ByteSize = 0; // data bits
    uint8_t Parity = 0;   // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t StopBits = 0; // 0 one, 1 one and a half, 2 two
};

struct CommTimeouts {
    uint32_t ReadIntervalTimeout = 0;
    uint32_t ReadTotalTimeoutMultiplier = 0;
    uint32_t ReadTotalTimeoutConstant = 0;
    uint32_t WriteTotalTimeoutMultiplier = 0;
    uint32_t WriteTotalTimeoutConstant = 0;
};

class SerialDevice {
public:
    virtual ~SerialDevice() = default;

    virtual bool Setup(uint32_t inQueue, uint32_t outQueue) = 0; // SetupComm
    virtual bool GetState(ControlBlock& block) = 0;              // GetCommState
    virtual bool SetState(const ControlBlock& block) = 0;        // SetCommState
    // ClearCommError: the error word and the bytes waiting in the input queue.
    virtual bool ClearError(uint32_t& errors, uint32_t& inQueue) = 0;
    virtual bool Purge(uint32_t flags) = 0;  // PurgeComm
    virtual bool SetMask(uint32_t mask) = 0; // SetCommMask; callable from any thread
    virtual bool SetTimeouts(const CommTimeouts& timeouts) = 0;
    // WaitCommEvent without blocking: true when an event is there (mask stored);
    // false with LastError() kErrorIoPending while the wait goes on in the
    // background (mask untouched; a later call reports its completion), or
    // false with another error. SetMask while a wait goes on ends that wait
    // with an empty mask (Wine: with an error, as it ends any wait on a pty
    // that finds no event). One thread waits at a time.
    virtual bool WaitEvent(uint32_t& mask) = 0;
    // ReadFile with its completion: returns at once with up to size bytes that
    // have arrived; 0 when none or when the read failed before storing any.
    // A read that outlived its bound (returned 0) may complete later: the next
    // call at the same dest, for at least the same size, stores its bytes
    // there and returns them; a call elsewhere, for less, or after an input
    // purge gives those bytes up. dest is written only during a call: the
    // caller may free it as soon as the call returns, even with a read owed or
    // the device closed while one is in flight.
    virtual uint32_t Read(uint8_t* dest, uint32_t size) = 0;
    // True while such a late read is still owed: its bytes have left the
    // input queue (ClearError no longer counts them), so the reader must ask
    // again even when nothing is waiting.
    virtual bool ReadOwed() const { return false; }
    // Blocks until the device has news for WaitEvent (bytes, a line event,
    // its loss), Wake is called, or timeoutMs passes; for a worker that sleeps
    // instead of polling. A device that cannot wait so pauses a polling cycle.
    virtual void WaitForNews(uint32_t timeoutMs);
    // Ends a WaitForNews under way, from any thread; one that begins later
    // returns at once (the wake is kept until a wait takes it).
    virtual void Wake() {}
    // True once a call has failed in a way that means the device is gone
    // (unplugged, hung up, its driver removed), with the system's code for it:
    // nothing more will come through this handle, and the port must be opened
    // anew. Stays true for the life of the object.
    virtual bool Lost(uint32_t& error) const
    {
        (void)error;
        return false;
    }
    // The native error code of the last failing call on this device made by
    // the calling thread (the worker and the host's thread call concurrently);
    // a thread with no failure of its own on it sees the device's latest.
    // Windows codes on Windows, errno values on Linux; kErrorIoPending on both.
    virtual uint32_t LastError() const = 0;
};

// where: the path the configuration names for COMn, empty for the system's own
// name of the port. Windows names its ports itself and ignores it.
using SerialOpener = std::unique_ptr<SerialDevice> (*)(uint16_t portNumber, const std::string& where,
                                                       uint32_t& nativeError);

// Opens COMn exclusively. Null on failure, with the system's error code.
std::unique_ptr<SerialDevice> OpenSerialDevice(uint16_t portNumber, const std::string& where,
                                               uint32_t& nativeError);

// The system's own opener (what OpenSerialDevice calls unless replaced).
std::unique_ptr<SerialDevice> OpenSystemSerialDevice(uint16_t portNumber, const std::string& where,
                                                     uint32_t& nativeError);
// The same, by the system's own name of COMn.
std::unique_ptr<SerialDevice> OpenSystemSerialDevice(uint16_t portNumber, uint32_t& nativeError);

// Replaces the opener, e.g. with fake devices or failing opens; null restores
// the system's. Returns the previous one.
SerialOpener ReplaceSerialOpener(SerialOpener opener);

} // namespace belvor::platform
