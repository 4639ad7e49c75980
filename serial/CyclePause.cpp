#include "serial/CyclePause.h"

namespace belvor {

namespace {

std::atomic<uint32_t> gNewsWaitMs{CyclePause::kNewsWaitMs};

} // namespace

uint32_t CyclePause::NewsWaitMs()
{
    return gNewsWaitMs.load(std::memory_order_relaxed);
}

uint32_t CyclePause::SetNewsWaitMs(uint32_t ms)
{
    return gNewsWaitMs.exchange(ms);
}

void CyclePause::Arm()
{
    FCutter = std::promise<void>();
    FCut = FCutter.get_future().share();
}

void CyclePause::CutShort()
{
    // A port closed twice without a run between cuts only once.
    if (FCut.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready)
        FCutter.set_value();
}

void CyclePause::Park()
{
    // Nothing more will come through a lost device: looking at it again would
    // only burn cycles.
    while (FCut.wait_for(std::chrono::milliseconds(kNewsWaitMs)) != std::future_status::ready) {
    }
}

} // namespace belvor
