#include "platform/sync.h"

#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

namespace belvor::platform {

struct Event::Impl {
    std::mutex Mutex;
    std::condition_variable Cond;
    bool Signalled = false;
    bool ManualReset = false;
};

Event::Event(bool manualReset)
{
    if ((FError = detail::EventCreateRefusal()) != 0)
        return;
    FImpl = new Impl;
    FImpl->ManualReset = manualReset;
}

Event::~Event()
{
    const std::unique_ptr<Impl> impl(FImpl);
}

Result<> Event::Created() const
{
    if (!FImpl)
        return Failure{FError};
    return {};
}

void Event::Set()
{
    if (!FImpl)
        return;
    {
        std::lock_guard<std::mutex> guard(FImpl->Mutex);
        FImpl->Signalled = true;
    }
    if (FImpl->ManualReset)
        FImpl->Cond.notify_all();
    else
        FImpl->Cond.notify_one();
}

void Event::Reset()
{
    if (!FImpl)
        return;
    std::lock_guard<std::mutex> guard(FImpl->Mutex);
    FImpl->Signalled = false;
}

Result<bool> Event::Wait(uint32_t timeoutMs)
{
    if (!FImpl)
        return Failure{FError};
    std::unique_lock<std::mutex> lock(FImpl->Mutex);
    const auto signalled = [this] { return FImpl->Signalled; };
    if (timeoutMs == kInfinite)
        FImpl->Cond.wait(lock, signalled);
    else if (!FImpl->Cond.wait_for(lock, std::chrono::milliseconds(timeoutMs), signalled))
        return false;
    if (!FImpl->ManualReset)
        FImpl->Signalled = false;
    return true;
}

struct StopSignal::Impl {
    std::promise<void> Setter;
    std::shared_future<void> Signal = Setter.get_future().share();
};

StopSignal::StopSignal() : FImpl(new Impl) {}

StopSignal::~StopSignal()
{
    const std::unique_ptr<Impl> impl(FImpl);
}

void StopSignal::Set()
{
    // Set twice without a reset between, it is set once.
    if (FImpl->Signal.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready)
        FImpl->Setter.set_value();
}

void StopSignal::Reset()
{
    FImpl->Setter = std::promise<void>();
    FImpl->Signal = FImpl->Setter.get_future().share();
}

bool StopSignal::Wait(uint32_t timeoutMs)
{
    if (timeoutMs == kInfinite) {
        FImpl->Signal.wait();
        return true;
    }
    return FImpl->Signal.wait_for(std::chrono::milliseconds(timeoutMs)) == std::future_status::ready;
}

struct RecursiveLock::Impl {
    std::recursive_mutex Mutex;
};

RecursiveLock::RecursiveLock() : FImpl(new Impl) {}

RecursiveLock::~RecursiveLock()
{
    const std::unique_ptr<Impl> impl(FImpl);
}

void RecursiveLock::Enter()
{
    FImpl->Mutex.lock();
}

void RecursiveLock::Leave()
{
    FImpl->Mutex.unlock();
}

void SleepMs(uint32_t ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

} // namespace belvor::platform
