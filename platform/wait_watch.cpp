#include "platform/wait_watch.h"

namespace belvor::platform {

void WaitWatch::Started(int64_t nowMs)
{
    FStartedMs = nowMs;
    FCancelledMs = -1;
    FSetSinceMs = -1;
}

WaitVerdict WaitWatch::Look(bool eventSet, int64_t nowMs)
{
    if (eventSet) {
        if (FSetSinceMs < 0)
            FSetSinceMs = nowMs;
        else if (nowMs - FSetSinceMs >= FLostCompletionMs)
            return WaitVerdict::LostCompletion;
        return WaitVerdict::Going;
    }
    FSetSinceMs = -1;
    if (FCancelledMs < 0)
        return nowMs - FStartedMs >= FWaitBoundMs ? WaitVerdict::Cancel : WaitVerdict::Going;
    return nowMs - FCancelledMs >= FWaitBoundMs ? WaitVerdict::Wedged : WaitVerdict::Going;
}

} // namespace belvor::platform
