#include "serial/PortWorker.h"

namespace belvor {

void PortWorker::Reset()
{
    FStopRequested = false;
    DropCarried();
}

platform::Result<> PortWorker::Start()
{
    FStopRequested = false;
    FPause.Arm();
    if (platform::Result<> started = FThread.Start(&Proc, this, kStackSize); !started)
        return started;
    (void)FAck.Wait(kStartAckTimeoutMs); // a late start still counts as started
    FThread.SetTimeCritical();
    return {};
}

void PortWorker::RequestStop()
{
    FStopRequested = true;
    FPause.CutShort();
}

void PortWorker::Stop()
{
    // Waiting for the thread's end, rather than for its acknowledgement,
    // cannot be fooled by a start acknowledgement that came late.
    (void)FThread.Stop(kStopTimeoutMs);
    FAck.Reset();
}

void PortWorker::Announce(uint32_t count)
{
    try {
        FOwner.DataReceived(static_cast<int32_t>(count));
    } catch (...) {
        // What it left would otherwise wait for later bytes, and every later
        // count would be off.
        FReannounce = FOwner.Unread() != 0;
        throw;
    }
}

void PortWorker::Proc(void* worker)
{
    auto& self = *static_cast<PortWorker*>(worker);
    self.FRefused = {};
    self.FLine->Arm(self.FRefused);
    self.FWatch.Progress(platform::AwakeMilliseconds());
    self.FAck.Set();
    while (self.Cycle())
        self.FWatch.Progress(platform::AwakeMilliseconds());
    self.FWatch.Stop();
    self.FAck.Set();
}

bool PortWorker::Cycle()
{
    LineSession* line = FLine.get();
    if (!line) {
        FOwner.AwaitLine(FRefused);
        return !StopRequested();
    }
    line->Look();
    FWatch.Progress(platform::AwakeMilliseconds()); // a look that returns is a round's progress
    if (StopRequested())
        return false;
    if (FDataReceivedEnabled) {
        try {
            FOwner.DispatchEvents();
        } catch (...) {
            // Whatever the owner's DataReceived throws must not end reception.
        }
        // Only a fully built owner is reconnected: until then a lost device
        // simply fails the construction's own calls.
        if (const uint32_t lostError = line->Lost()) {
            if (!FReconnect) {
                FOwner.KeepLost(lostError);
                FWatch.Stop(); // parked on purpose
                FPause.Park();
                return false;
            }
            FRefused = line->Device().Refused();
            FOwner.DropLine(lostError);
            return true;
        }
        // Asleep until the device has news. What the next cycle must do
        // anyway (bytes to announce again, a late read owed) and a full ring
        // keep the polling pause instead.
        if (FPause.WakeOnEvent() && !FOwner.CycleOwed()) {
            FWatch.Allow(CyclePause::NewsWaitMs());
            CyclePause::UntilNews(*line);
            FWatch.Progress(platform::AwakeMilliseconds());
            FOwner.ReaderWoke();
            return !StopRequested();
        }
    }
    FPause.Poll();
    return !StopRequested();
}

} // namespace belvor
