// Whether the failures of a serial device's calls mean that the device is gone
// (a USB adapter pulled, its driver removed, a tty hung up). The rule is one
// for every platform; what each of its system's codes means is the
// platform's own table (win32/, posix/ loss_codes.h).
#pragma once

#include <atomic>
#include <cstdint>

namespace belvor::platform {

// What a failure's code says about the device.
enum class CodeMeaning {
    Nothing,   // the call failed; the device is still there
    Gone,      // whatever call reported it
    Ambiguous, // also the end of this side's or the system's own cancels
};
using LossCodes = CodeMeaning (*)(uint32_t code);

// The calls of a device that take part; a wait or read that went on in the
// background ends in a separate step.
enum class DeviceCall { Status, WaitStart, WaitEnd, ReadStart, ReadEnd };

// An ambiguous code counts only where it is not the end of a wait (some
// systems end every quiet wait so) nor of a read this side cancelled, and
// only when it comes this many times in a row with no call succeeding in
// between: some drivers fail everything with it once the device is gone.
inline constexpr uint32_t kAmbiguousInARow = 3;

class DeviceLossWatch {
public:
    explicit DeviceLossWatch(LossCodes codes) : FCodes(codes) {}

    // A call failed with code. cancelledHere: this side cancelled the
    // operation (a read past its bound), so an abort is its own doing.
    void Failed(DeviceCall call, uint32_t code, bool cancelledHere = false);
    // A call succeeded: the device answers, whatever aborts came before.
    // Going on in the background does not count: a dead driver may queue.
    void Succeeded() { FAmbiguousInARow.store(0); }
    // Once lost, lost for good, with the first code that meant it.
    bool Lost(uint32_t& code) const;

private:
    void Mark(uint32_t code);

    LossCodes FCodes;
    std::atomic<uint32_t> FLostCode{0};
    std::atomic<uint32_t> FAmbiguousInARow{0};
};

} // namespace belvor::platform
