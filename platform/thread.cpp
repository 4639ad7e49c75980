#include "platform/thread.h"

#include <atomic>

namespace belvor::platform {

namespace {

std::atomic<uint32_t> gLateStops{0};
std::atomic<ThreadStartHook> gStartHook{nullptr};

} // namespace

uint32_t LateThreadStops()
{
    return gLateStops.load();
}

ThreadStartHook ReplaceThreadStartHook(ThreadStartHook hook)
{
    return gStartHook.exchange(hook);
}

namespace detail {

bool ThreadStartAllowed()
{
    const ThreadStartHook hook = gStartHook.load();
    return !hook || hook();
}

void CountLateThreadStop()
{
    gLateStops.fetch_add(1);
}

} // namespace detail

} // namespace belvor::platform
