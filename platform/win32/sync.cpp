#include "platform/sync.h"

#include "platform/win32/handles.h"

#include <windows.h>

#include <memory>

namespace belvor::platform {

struct Event::Impl {
    HANDLE Handle;
};

Event::Event(bool manualReset) : FImpl(new Impl{nullptr})
{
    if ((FError = detail::EventCreateRefusal()) != 0)
        return;
    FImpl->Handle = TrackHandle(CreateEventA(nullptr, manualReset ? TRUE : FALSE, FALSE, nullptr));
    if (!FImpl->Handle)
        FError = GetLastError();
}

Event::~Event()
{
    const std::unique_ptr<Impl> impl(FImpl);
    if (impl->Handle)
        CloseTrackedHandle(impl->Handle);
}

Result<> Event::Created() const
{
    if (!FImpl->Handle)
        return Failure{FError};
    return {};
}

void Event::Set()
{
    if (FImpl->Handle)
        SetEvent(FImpl->Handle);
}

void Event::Reset()
{
    if (FImpl->Handle)
        ResetEvent(FImpl->Handle);
}

bool Event::Wait(uint32_t timeoutMs)
{
    return FImpl->Handle && WaitForSingleObject(FImpl->Handle, timeoutMs) == WAIT_OBJECT_0;
}

struct RecursiveLock::Impl {
    CRITICAL_SECTION Section;
};

RecursiveLock::RecursiveLock() : FImpl(new Impl)
{
    InitializeCriticalSection(&FImpl->Section);
}

RecursiveLock::~RecursiveLock()
{
    const std::unique_ptr<Impl> impl(FImpl);
    DeleteCriticalSection(&impl->Section);
}

void RecursiveLock::Enter()
{
    EnterCriticalSection(&FImpl->Section);
}

void RecursiveLock::Leave()
{
    LeaveCriticalSection(&FImpl->Section);
}

void SleepMs(uint32_t ms)
{
    Sleep(ms);
}

uint32_t LastSystemError()
{
    return GetLastError();
}

} // namespace belvor::platform
