#include "serial/PortWorker.h"

namespace belvor {

NextStep NextAfterLook(uint32_t lost, bool reconnect, bool owed)
{
    if (lost != 0)
        return reconnect ? NextStep::Again : NextStep::Park;
    // Asleep until the device has news only when the next round has nothing
    // to do anyway.
    return owed ? NextStep::Poll : NextStep::Pause;
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

void PortWorker::Proc(void* worker)
{
    auto& self = *static_cast<PortWorker*>(worker);
    self.FLine->Arm({});
    self.FWatch.Progress(platform::AwakeMilliseconds());
    self.FAck.Set();
    while (self.Cycle())
        self.FWatch.Progress(platform::AwakeMilliseconds());
    self.FWatch.Stop();
    self.FAck.Set();
}

bool PortWorker::Cycle()
{
    const NextStep next = FRound.Run(FWatch);
    switch (next) {
    case NextStep::End:
        return false;
    case NextStep::Park:
        FWatch.Stop(); // parked on purpose
        FPause.Park();
        return false;
    case NextStep::Again:
        break;
    case NextStep::Pause:
        if (FPause.WakeOnEvent()) {
            FWatch.Allow(CyclePause::NewsWaitMs());
            CyclePause::UntilNews(*FLine);
            FWatch.Progress(platform::AwakeMilliseconds());
            if (platform::Event* signal = FWakeSignal.load())
                signal->Set();
            break;
        }
        FPause.Poll();
        break;
    case NextStep::Poll:
        FPause.Poll();
        break;
    }
    return !StopRequested();
}

} // namespace belvor
