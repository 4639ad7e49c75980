// The serial device as the port object sees it, in the port's own terms: the
// line's settings, the news of the line, the bytes waiting and its errors.
// Each platform converts these to its system's calls in its own files
// (kernel32's communications functions on Windows, termios elsewhere). One
// object per open device; closing is destruction.
#pragma once

#include "platform/result.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace belvor::platform {

// The line's rate and format. An absent field keeps the device's own value.
struct LineConfig {
    std::optional<uint32_t> BaudRate{};
    std::optional<uint8_t> DataBits{};
    std::optional<uint8_t> Parity{};   // 0 none, 1 odd, 2 even, 3 mark, 4 space
    std::optional<uint8_t> StopBits{}; // 1 or 2
};

// What a look at the line found.
struct LineNews {
    bool BytesArrived = false;
    bool LineTrouble = false; // a break or a line error: the errors are to be taken
};

// What a look tells.
struct LineSighting {
    // None: nothing new: a quiet line, or a wait still under way whose end a
    // later look tells. The last news stands.
    std::optional<LineNews> News;
    // The system's code once the device is gone (a call on it said so:
    // unplugged, hung up, its driver removed); 0 while it is there. Once set
    // it stays for the life of the object.
    uint32_t Lost = 0;
};

// The line errors since they were last taken, by kind: as many as the system
// counted, or 1 for each kind a system that only flags them flagged.
struct LineErrors {
    uint32_t QueueOverflow = 0; // the input queue was full
    uint32_t Overrun = 0;       // a character lost by the hardware
    uint32_t Parity = 0;
    uint32_t Framing = 0;
    uint32_t Break = 0;
    bool Any() const { return (QueueOverflow | Overrun | Parity | Framing | Break) != 0; }
    bool operator==(const LineErrors&) const = default;
};

// The input queue as a status call found it.
struct InputState {
    uint32_t Waiting = 0; // bytes arrived and not yet read
    LineErrors Errors;    // since the last status call
};

// The optional watches on a line that its system refused (some drivers take
// no modem-line changes, or no vendor event). A device opened anew after a
// loss is not asked for them again.
struct RefusedWatches {
    bool ModemLines = false;
    bool VendorEvent = false;
    bool operator==(const RefusedWatches&) const = default;
};

class SerialDevice {
public:
    virtual ~SerialDevice() = default;

    // Each call that can fail returns the system's code for why (result.h);
    // "nothing yet" is never a failure, and whether the device is gone a look
    // tells (LineSighting::Lost).

    // Recommends the sizes of the driver's queues.
    virtual Result<> SetQueueSizes(uint32_t inQueue, uint32_t outQueue) = 0;
    // Reads the line's settings and merges the fields given onto them, with
    // no flow control from the request-to-send line. On failure the line is
    // as it was.
    virtual Result<> Configure(const LineConfig& config) = 0;
    // The line's settings as they stand; a field the device cannot say stays absent.
    virtual Result<LineConfig> Settings() = 0;
    // Before the worker's first look: what its looks and reads need, without
    // the watches a lost device's system refused.
    virtual void Arm(const RefusedWatches& refused) = 0;
    // The watches this device's system has refused so far.
    virtual RefusedWatches Refused() const { return {}; }
    // A look at the line that never blocks: the news, if any, and the loss.
    // A failure: the look itself failed, nothing else. One thread looks.
    virtual Result<LineSighting> Look() = 0;
    // The bytes waiting in the input queue, and the line errors since the
    // last call, which it clears.
    virtual Result<InputState> Status() = 0;
    // Drops what has arrived and not been read, a read under way included.
    virtual Result<> DropInput() = 0;
    // Returns at once with up to size bytes that have arrived (0 when none),
    // or, when it failed, why.
    // A read that outlived its bound (0 returned, still in flight) may complete later: the next
    // call at the same dest, for at least the same size, stores its bytes
    // there and returns them; a call elsewhere, for less, or after DropInput
    // gives those bytes up. dest is written only during a call: the caller
    // may free it as soon as the call returns, even with a read owed or the
    // device closed while one is in flight.
    virtual Result<uint32_t> Read(uint8_t* dest, uint32_t size) = 0;
    // True while such a late read is still owed: its bytes have left the
    // input queue (Status no longer counts them), so the reader must ask
    // again even when nothing is waiting.
    virtual bool ReadOwed() const { return false; }
    // Blocks until the device has news for Look (bytes, line trouble, its
    // loss), Wake is called, or timeoutMs passes; for a worker that sleeps
    // instead of polling. A device that cannot wait so pauses a polling cycle.
    virtual void WaitForNews(uint32_t timeoutMs);
    // Ends a WaitForNews under way, from any thread; one that begins later
    // returns at once (the wake is kept until a wait takes it).
    virtual void Wake() {}
    // For a stop, from any thread: ends a wait under way (looks find nothing
    // more) and wakes a worker asleep until news.
    virtual void Interrupt() { Wake(); }
};

// where: the path the configuration names for COMn, empty for the system's own
// name of the port. Windows names its ports itself and ignores it.
using OpenedDevice = Result<std::unique_ptr<SerialDevice>>;
using SerialOpener = OpenedDevice (*)(uint16_t portNumber, const std::string& where);

// Opens COMn exclusively.
OpenedDevice OpenSerialDevice(uint16_t portNumber, const std::string& where);

// The system's own opener (what OpenSerialDevice calls unless a test's seam stands in).
OpenedDevice OpenSystemSerialDevice(uint16_t portNumber, const std::string& where);
// The same, by the system's own name of COMn.
OpenedDevice OpenSystemSerialDevice(uint16_t portNumber);

} // namespace belvor::platform
