#include "platform/thread.h"
#include "platform/sync.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <dlfcn.h>
#include <memory>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utility>

namespace belvor::platform {

struct Thread::Impl {
    pthread_t Handle{};
    Proc Body = nullptr;
    void* Arg = nullptr;
    std::atomic<pid_t> Tid{0};
    Event Started{true};
    Event Finished{true};
    std::atomic<int> Fate{detail::kThreadRunning};
};

namespace {

void* Trampoline(void* raw)
{
    auto* impl = static_cast<Thread::Impl*>(raw);
    impl->Tid.store(static_cast<pid_t>(syscall(SYS_gettid)));
    impl->Started.Set();
    impl->Body(impl->Arg);
    // Given up on: nobody will join it, so it releases itself.
    if (impl->Fate.exchange(detail::kThreadFinished) == detail::kThreadAbandoned) {
        std::unique_ptr<Thread::Impl>{impl}.reset();
        return nullptr;
    }
    impl->Finished.Set();
    return nullptr;
}

// One more reference to the shared object holding this code, never released:
// an abandoned thread may still be running it when the host unloads it.
void PinLibrary()
{
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&PinLibrary), &info) != 0 && info.dli_fname)
        (void)dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
}

constexpr size_t kHostMinimum = 8u << 20;

// The stack a thread gets when nobody asks: RLIMIT_STACK at start-up, as a rule.
size_t SystemDefaultStack()
{
    size_t size = 0;
    pthread_attr_t attr;
    if (pthread_getattr_default_np(&attr) == 0) {
        (void)pthread_attr_getstacksize(&attr, &size);
        pthread_attr_destroy(&attr);
    }
    return size != 0 ? size : kHostMinimum;
}

size_t StackSizeFor(size_t asked)
{
    if (asked == kHostThreadStack)
        return std::max(SystemDefaultStack(), kHostMinimum);
#ifdef BELVOR_SANITIZED
    // Sanitizer run-times need far more stack than our own threads ask for.
    return std::max(asked, SystemDefaultStack());
#else
    return std::max<size_t>(asked, 64 * 1024);
#endif
}

} // namespace

Result<> Thread::Launch(Proc proc, void* arg, size_t stackSize)
{
    auto impl = std::make_unique<Impl>();
    impl->Body = proc;
    impl->Arg = arg;

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, StackSizeFor(stackSize));
    const int rc = pthread_create(&impl->Handle, &attr, &Trampoline, impl.get());
    pthread_attr_destroy(&attr);
    if (rc != 0)
        return Failure{static_cast<uint32_t>(rc)};
    FImpl = impl.release();
    // The kernel's id exists only once the thread runs; callers may ask for it at once.
    (void)FImpl->Started.Wait(kInfinite);
    return {};
}

uint32_t Thread::Id() const
{
    return FImpl ? static_cast<uint32_t>(FImpl->Tid.load()) : 0;
}

void Thread::SetTimeCritical()
{
    // Without the privilege for it this simply fails; the worker sleeps most
    // of each cycle, so it still gets the processor in time.
    const pid_t tid = FImpl ? FImpl->Tid.load() : 0;
    if (tid != 0)
        (void)setpriority(PRIO_PROCESS, static_cast<id_t>(tid), -15);
}

bool Thread::Stop(uint32_t timeoutMs)
{
    if (!FImpl)
        return true;
    // A wait that fails cannot tell an end in time: the join below still waits.
    const bool inTime = FImpl->Finished.Wait(timeoutMs).ValueOr(false);
    if (!inTime)
        detail::CountLateThreadStop();
    // No thread can be killed safely here; the port's worker always ends, so
    // wait for it rather than free what it may still touch.
    pthread_join(FImpl->Handle, nullptr);
    std::unique_ptr<Impl>{std::exchange(FImpl, nullptr)}.reset();
    return inTime;
}

void Thread::Abandon()
{
    std::unique_ptr<Impl> impl{std::exchange(FImpl, nullptr)};
    if (!impl)
        return;
    const pthread_t handle = impl->Handle;
    PinLibrary();
    if (impl->Fate.exchange(detail::kThreadAbandoned) == detail::kThreadFinished) {
        pthread_join(handle, nullptr);
        return;
    }
    // From here on the thread owns impl and may already have freed it.
    (void)impl.release();
    pthread_detach(handle);
}

} // namespace belvor::platform
