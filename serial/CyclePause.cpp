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
    FCut.Reset();
}

void CyclePause::CutShort()
{
    FCut.Set();
}

void CyclePause::Park()
{
    // Nothing more will come through a lost device: looking at it again would
    // only burn cycles.
    while (!FCut.Wait(kNewsWaitMs)) {
    }
}

} // namespace belvor
