#include "platform/thread.h"

#include "platform/errors.h"
#include "platform/seams.h"
#include "platform/sync.h"

#include <atomic>

namespace belvor::platform {

namespace {

std::atomic<uint32_t> gLateStops{0};

} // namespace

Thread::~Thread()
{
    if (FImpl)
        Stop(kInfinite);
}

Result<> Thread::Start(Proc proc, void* arg, size_t stackSize)
{
    if (FImpl)
        return Failure{SystemErrorCode(ErrorKind::Busy)};
    if (!detail::ThreadStartAllowed())
        return Failure{SystemErrorCode(ErrorKind::NoThread)};
    return Launch(proc, arg, stackSize);
}

uint32_t LateThreadStops()
{
    return gLateStops.load();
}

namespace detail {

uint32_t EventCreateRefusal()
{
    const auto hook = CurrentSeams().EventCreate;
    return hook ? hook() : 0;
}

bool ThreadStartAllowed()
{
    const auto hook = CurrentSeams().ThreadStart;
    return !hook || hook();
}

void CountLateThreadStop()
{
    gLateStops.fetch_add(1);
}

} // namespace detail

} // namespace belvor::platform
