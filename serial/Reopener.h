// Closes a lost device and opens its port again every second until it is back,
// on a thread of its own. Both may block for long (closing a device whose read
// will not end, opening a Bluetooth port), and a port that stops meanwhile must
// neither wait for them without limit nor kill them halfway: it gives the
// thread a short grace, then gives up on it knowingly, and whatever the thread
// still opens after that it closes itself.
#pragma once

#include "platform/serial_device.h"
#include "platform/thread.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace belvor {

// Where a port's device is: the path the configuration names for it (empty:
// the system's own name of COMn) and, when set, how to look that up again
// before each reopen, so that a scanner back under a name configured while it
// was away is found. Locate may run after the port is gone.
using PortLocator = std::string (*)(uint16_t portNumber) noexcept;
struct PortPlace {
    std::string Where;
    PortLocator Locate = nullptr;
};

// What a port is opened with, again after each loss.
struct LineParams {
    uint16_t PortNumber = 0;
    PortPlace Place;
    uint32_t InQueue = 0;
    uint32_t OutQueue = 0;
    uint32_t BaudRate = 0;
    uint16_t Parity = 0;
    uint8_t DataBits = 0;
    uint8_t StopBits = 0;
};

class Reopener {
public:
    static constexpr uint32_t kIntervalMs = 1000;
    // How long a stop waits for a close or an open under way before it gives up on it.
    static constexpr uint32_t kGraceMs = 200;
    static constexpr size_t kStackSize = 65536;

    Reopener(std::unique_ptr<platform::SerialDevice> lost, const LineParams& line);
    ~Reopener();
    Reopener(const Reopener&) = delete;
    Reopener& operator=(const Reopener&) = delete;

    // Starts the thread; false (try again later) when none could be made.
    bool Start();
    bool Started() const { return FThread.Running(); }
    // Waits up to timeoutMs for the device to be back, or for Wake.
    void Wait(uint32_t timeoutMs);
    // Ends a Wait under way, or the next one; from any thread.
    void Wake();
    // The device once it is back, opened and set up as the line asks; else null.
    std::unique_ptr<platform::SerialDevice> Take();

private:
    struct State;
    static void Run(void* state);

    std::shared_ptr<State> FState;
    platform::Thread FThread;
};

} // namespace belvor
