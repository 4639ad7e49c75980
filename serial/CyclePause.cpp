#include "serial/CyclePause.h"

#include "platform/seams.h"

namespace belvor {

uint32_t CyclePause::NewsWaitMs()
{
    return platform::Or(platform::CurrentTimings().NewsWaitMs, kNewsWaitMs);
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
