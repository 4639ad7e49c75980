// Closes a lost device and opens its port again every second until it is back,
// on a thread of its own. Both may block for long (closing a device whose read
// will not end, opening a Bluetooth port), and a port that stops meanwhile must
// neither wait for them without limit nor kill them halfway: it gives the
// thread a short grace, then gives up on it knowingly, and whatever the thread
// still opens after that it closes itself.
#pragma once

#include "platform/thread.h"
#include "serial/LineSession.h"

#include <cstddef>
#include <cstdint>
#include <memory>

namespace belvor {

class Reopener {
public:
    static constexpr uint32_t kIntervalMs = 1000;
    // The interval in force: kIntervalMs unless a test shortened it
    // (platform/seams.h); a reopener under way keeps its own.
    static uint32_t IntervalMs();
    // How long a stop waits for a close or an open under way before it gives up on it.
    static constexpr uint32_t kGraceMs = 200;
    static constexpr size_t kStackSize = 65536;

    Reopener(std::unique_ptr<LineSession> lost, const LineParams& line);
    ~Reopener();
    Reopener(const Reopener&) = delete;
    Reopener& operator=(const Reopener&) = delete;

    // Starts the thread; fails (try again later) when none could be made.
    platform::Result<> Start();
    bool Started() const { return FThread.Running(); }
    // Waits up to timeoutMs for the device to be back, or for Wake.
    void Wait(uint32_t timeoutMs);
    // Ends a Wait under way, or the next one; from any thread.
    void Wake();
    // The line once it is back, opened and set up as it asks; else null.
    std::unique_ptr<LineSession> Take();

private:
    struct State;
    static void Run(void* state);

    std::shared_ptr<State> FState;
    platform::Thread FThread;
};

} // namespace belvor
