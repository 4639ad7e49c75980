#include "driver/Callbacks.h"

#include "driver/DriverTable.h"

#include <algorithm>
#include <array>
#include <condition_variable>
#include <mutex>

namespace belvor {

namespace {

std::mutex gCallLock;
std::condition_variable gCallEnded;
TCallbacks gSet; // the callbacks set now
uint64_t gGeneration = 1;
int gSwapsWaiting = 0;
// The generations of the calls under way (0: a free place): one delivery
// thread makes one call at a time, so there is always a free place.
std::array<uint64_t, kMaxDrivers> gCalls{};

// Set on a delivery thread while it is inside the host's callback.
thread_local bool tInCallback = false;

} // namespace

TCallbacks BeginCall(uint64_t& inUse)
{
    std::lock_guard<std::mutex> guard(gCallLock);
    inUse = gGeneration;
    if (const auto free = std::find(gCalls.begin(), gCalls.end(), 0u); free != gCalls.end())
        *free = inUse;
    return gSet;
}

void EndCall(uint64_t& inUse) noexcept
{
    bool waited = false;
    {
        std::lock_guard<std::mutex> guard(gCallLock);
        if (const auto call = std::find(gCalls.begin(), gCalls.end(), inUse); call != gCalls.end())
            *call = 0;
        inUse = 0;
        waited = gSwapsWaiting != 0;
    }
    if (waited)
        gCallEnded.notify_all();
}

namespace {

// Sets a callback (and its context, when it has one) and begins a generation.
template <class P> TSwap<P> Swap(P& slot, P proc, void** contextSlot = nullptr, void* context = nullptr)
{
    std::lock_guard<std::mutex> guard(gCallLock);
    const P previous = slot;
    slot = proc;
    if (contextSlot)
        *contextSlot = context;
    return {previous, ++gGeneration};
}

} // namespace

TSwap<EventProc> SwapEventProc(EventProc callback)
{
    return Swap(gSet.Event, callback);
}

TSwap<CodeProc> SwapCodeProc(CodeProc proc, void* context)
{
    return Swap(gSet.Code, proc, &gSet.Context, context);
}

TSwap<StatusProc> SwapStatusProc(StatusProc proc, void* context)
{
    return Swap(gSet.Status, proc, &gSet.StatusContext, context);
}

TSwap<ScanProc> SwapScanProc(ScanProc proc, void* context)
{
    return Swap(gSet.Scan, proc, &gSet.ScanContext, context);
}

void AwaitOlderCalls(uint64_t generation)
{
    if (tInCallback)
        return;
    std::unique_lock<std::mutex> lock(gCallLock);
    ++gSwapsWaiting;
    gCallEnded.wait(lock, [generation] {
        return std::none_of(gCalls.begin(), gCalls.end(),
                            [generation](uint64_t call) { return call != 0 && call < generation; });
    });
    --gSwapsWaiting;
}

TInCallback::TInCallback() noexcept
{
    tInCallback = true;
}

TInCallback::~TInCallback()
{
    tInCallback = false;
}

bool InCallback() noexcept
{
    return tInCallback;
}

} // namespace belvor
