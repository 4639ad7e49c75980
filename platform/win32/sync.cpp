#include "platform/sync.h"

#include "platform/win32/handles.h"

#include <windows.h>

#include <atomic>
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

Result<bool> Event::Wait(uint32_t timeoutMs)
{
    if (!FImpl->Handle)
        return Failure{FError};
    switch (WaitForSingleObject(FImpl->Handle, timeoutMs)) {
    case WAIT_OBJECT_0:
        return true;
    case WAIT_TIMEOUT:
        return false;
    default:
        return Failure{GetLastError()};
    }
}

struct StopSignal::Impl {
    // Manual-reset: it stays set for every later wait.
    Event Signal{true};
    // Without an event (none could be made, or it cannot be waited on), waits
    // are short sleeps that look at this.
    std::atomic<bool> IsSet{false};
};

StopSignal::StopSignal() : FImpl(new Impl) {}

StopSignal::~StopSignal()
{
    const std::unique_ptr<Impl> impl(FImpl);
}

void StopSignal::Set()
{
    FImpl->IsSet = true;
    FImpl->Signal.Set();
}

void StopSignal::Reset()
{
    FImpl->IsSet = false;
    FImpl->Signal.Reset();
}

bool StopSignal::Wait(uint32_t timeoutMs)
{
    if (const Result<bool> set = FImpl->Signal.Wait(timeoutMs))
        return *set;
    Sleep(timeoutMs < 10 ? timeoutMs : 10);
    return FImpl->IsSet;
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

} // namespace belvor::platform
