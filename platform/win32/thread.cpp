#include "platform/thread.h"
#include "platform/sync.h"

#include "platform/win32/handles.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <utility>

namespace belvor::platform {

struct Thread::Impl {
    HANDLE Handle = nullptr;
    DWORD Id = 0;
    Proc Body = nullptr;
    void* Arg = nullptr;
    std::atomic<int> Fate{detail::kThreadRunning};
    HMODULE Pin = nullptr; // the module kept loaded for an abandoned thread
};

namespace {

// Releases an abandoned thread's record; the module it had pinned.
HMODULE ReleaseAbandoned(std::unique_ptr<Thread::Impl> impl)
{
    CloseTrackedHandle(impl->Handle);
    return impl->Pin;
}

DWORD WINAPI Trampoline(LPVOID raw)
{
    auto* impl = static_cast<Thread::Impl*>(raw);
    impl->Body(impl->Arg);
    // Given up on: it releases itself, and lets go of the module that holds
    // this code only on its way out (the exit never returns, so nothing may
    // still own memory then).
    if (impl->Fate.exchange(detail::kThreadFinished) == detail::kThreadAbandoned) {
        const HMODULE pin = ReleaseAbandoned(std::unique_ptr<Thread::Impl>(impl));
        if (pin)
            FreeLibraryAndExitThread(pin, 0);
    }
    return 0;
}

} // namespace

Result<> Thread::Launch(Proc proc, void* arg, size_t stackSize)
{
    auto impl = std::make_unique<Impl>();
    impl->Body = proc;
    impl->Arg = arg;
    // A size of 0 (kHostThreadStack) is the executable's default; any size is
    // only committed at first, and the stack grows up to the reserve on demand.
    impl->Handle = TrackHandle(CreateThread(nullptr, stackSize, &Trampoline, impl.get(), 0, &impl->Id));
    if (!impl->Handle)
        return Failure{GetLastError()};
    FImpl = impl.release();
    return {};
}

uint32_t Thread::Id() const
{
    return FImpl ? FImpl->Id : 0;
}

void Thread::SetTimeCritical()
{
    if (FImpl)
        SetThreadPriority(FImpl->Handle, THREAD_PRIORITY_TIME_CRITICAL);
}

bool Thread::Stop(uint32_t timeoutMs)
{
    if (!FImpl)
        return true;
    bool inTime = WaitForSingleObject(FImpl->Handle, timeoutMs) == WAIT_OBJECT_0;
    if (!inTime) {
        detail::CountLateThreadStop();
        TerminateThread(FImpl->Handle, 0);
        // Termination is asynchronous: Impl is freed only once the thread is gone.
        WaitForSingleObject(FImpl->Handle, 1000);
    }
    CloseTrackedHandle(FImpl->Handle);
    const std::unique_ptr<Impl> stopped(std::exchange(FImpl, nullptr)); // freed on return
    return inTime;
}

void Thread::Abandon()
{
    std::unique_ptr<Impl> impl(std::exchange(FImpl, nullptr));
    if (!impl)
        return;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            reinterpret_cast<LPCWSTR>(reinterpret_cast<void*>(&Trampoline)), &impl->Pin))
        impl->Pin = nullptr;
    if (impl->Fate.exchange(detail::kThreadAbandoned) == detail::kThreadFinished) {
        WaitForSingleObject(impl->Handle, INFINITE);
        CloseTrackedHandle(impl->Handle);
        if (impl->Pin)
            FreeLibrary(impl->Pin);
        return;
    }
    (void)impl.release(); // the thread owns it from here on
}

} // namespace belvor::platform
