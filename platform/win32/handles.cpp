#include "platform/win32/handles.h"

#include <atomic>

namespace belvor::platform {

namespace {
std::atomic<long> gOpen{0};
} // namespace

HANDLE TrackHandle(HANDLE h)
{
    if (h && h != INVALID_HANDLE_VALUE)
        gOpen.fetch_add(1);
    return h;
}

BOOL CloseTrackedHandle(HANDLE h)
{
    if (h && h != INVALID_HANDLE_VALUE)
        gOpen.fetch_sub(1);
    return CloseHandle(h);
}

long OpenTrackedHandles()
{
    return gOpen.load();
}

} // namespace belvor::platform
