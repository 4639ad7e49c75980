#include "serial/Reopener.h"

#include "platform/seams.h"
#include "platform/sync.h"

#include <mutex>

namespace belvor {

uint32_t Reopener::IntervalMs()
{
    return platform::Or(platform::CurrentTimings().ReopenIntervalMs, kIntervalMs);
}

struct Reopener::State {
    std::mutex Lock; // guards Opened and Abandoned
    std::unique_ptr<LineSession> Lost;
    std::unique_ptr<LineSession> Opened;
    bool Abandoned = false;
    LineParams Line;
    uint32_t IntervalMs = Reopener::IntervalMs();
    platform::Event Quit{true};  // the port has given up: no more opens
    platform::Event News{false}; // a device is back, or the port wakes its worker
    platform::Event Ended{true}; // the thread touches nothing of the port's any more
};

Reopener::Reopener(std::unique_ptr<LineSession> lost, const LineParams& line)
    : FState(std::make_shared<State>())
{
    FState->Lost = std::move(lost);
    FState->Line = line;
}

Reopener::~Reopener()
{
    std::unique_ptr<LineSession> unclaimed;
    {
        std::lock_guard<std::mutex> guard(FState->Lock);
        FState->Abandoned = true;
        unclaimed = std::move(FState->Opened);
    }
    FState->Quit.Set();
    unclaimed.reset();
    if (!FThread.Running())
        return; // never started: the lost device goes with the state, here
    if (FState->Ended.Wait(kGraceMs).ValueOr(false))
        (void)FThread.Stop(platform::kInfinite);
    else
        FThread.Abandon();
}

platform::Result<> Reopener::Start()
{
    if (FThread.Running())
        return {};
    // The thread owns its share of the state from its first instruction.
    auto arg = std::make_unique<std::shared_ptr<State>>(FState);
    if (platform::Result<> started = FThread.Start(&Run, arg.get(), kStackSize); !started)
        return started;
    (void)arg.release();
    return {};
}

void Reopener::Run(void* raw)
{
    const std::unique_ptr<std::shared_ptr<State>> held(static_cast<std::shared_ptr<State>*>(raw));
    State& state = **held;
    state.Lost.reset();
    // A wait that fails (no event could be made) counts as the pause run out.
    while (!state.Quit.Wait(state.IntervalMs).ValueOr(false)) {
        std::unique_ptr<LineSession> session = LineSession::Reopen(state.Line);
        if (!session)
            continue;
        std::lock_guard<std::mutex> guard(state.Lock);
        if (!state.Abandoned) {
            state.Opened = std::move(session);
            state.News.Set();
        }
        break; // a device opened for a port that gave up is closed on the way out
    }
    state.Ended.Set();
}

void Reopener::Wait(uint32_t timeoutMs)
{
    (void)FState->News.Wait(timeoutMs);
}

void Reopener::Wake()
{
    FState->News.Set();
}

std::unique_ptr<LineSession> Reopener::Take()
{
    std::lock_guard<std::mutex> guard(FState->Lock);
    return std::move(FState->Opened);
}

} // namespace belvor
