// How the port's worker waits between two cycles: a 10 ms pause (polling),
// or asleep until the device has news (wake on event). A stop cuts the pause
// under way short, and every later one.
#pragma once

#include "platform/sync.h"
#include "serial/LineSession.h"

#include <atomic>
#include <cstdint>

namespace belvor {

class CyclePause {
public:
    CyclePause() { Arm(); }

    static constexpr uint32_t kPollMs = 10;
    // Waiting for news from the device: a bound only against a wake that
    // never comes; a quiet port is otherwise not looked at.
    static constexpr uint32_t kNewsWaitMs = 60000;
    // The bound in use: kNewsWaitMs unless a test set another (platform/seams.h).
    static uint32_t NewsWaitMs();

    // Whether the worker sleeps until the device has news instead of looking
    // every 10 ms. Off unless set; may change while the worker runs.
    void SetWakeOnEvent(bool on) { FWakeOnEvent = on; }
    bool WakeOnEvent() const { return FWakeOnEvent; }

    // For a new run of the worker, before it starts: pauses last again.
    void Arm();
    // Ends the pause under way and every later one; from any one thread at a time.
    void CutShort();

    // The polling pause.
    void Poll() { (void)FCut.Wait(kPollMs); }
    // Asleep until the line has news; the line's Interrupt cuts it short.
    static void UntilNews(LineSession& line) { line.Device().WaitForNews(NewsWaitMs()); }
    // Until cut short.
    void Park();

private:
    // A pause that runs out costs one wait and nothing else.
    platform::StopSignal FCut;
    std::atomic<bool> FWakeOnEvent{false};
};

} // namespace belvor
