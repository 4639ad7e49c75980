// The host's callbacks, and the generation they belong to: a swap begins a
// new one, and the swapping export returns only once no delivery thread may
// still call an older one, so that a host may free what the old callback used.
#pragma once

#include "belvor.h"

#include <cstdint>

namespace belvor {

// Where codes go: the ScanProc with its context while one is set, else the
// CodeProc with its own, else the EventProc; and where a line's changes go,
// when anywhere.
struct TCallbacks {
    EventProc Event = nullptr;
    CodeProc Code = nullptr;
    void* Context = nullptr;
    ScanProc Scan = nullptr;
    void* ScanContext = nullptr;
    StatusProc Status = nullptr;
    void* StatusContext = nullptr;
};

// The callbacks a pass is to use; inUse (its delivery thread's) marks their
// generation in use until EndCall clears it. Both under the callbacks' lock.
TCallbacks BeginCall(uint64_t& inUse);
void EndCall(uint64_t& inUse) noexcept;

// A swap: the callback that was set, and the generation that begins with the change.
template <class P> struct TSwap {
    P Previous;
    uint64_t Generation;
};
TSwap<EventProc> SwapEventProc(EventProc callback);
TSwap<CodeProc> SwapCodeProc(CodeProc proc, void* context);
TSwap<StatusProc> SwapStatusProc(StatusProc proc, void* context);
TSwap<ScanProc> SwapScanProc(ScanProc proc, void* context);

// Waits until no delivery thread may still call a callback older than
// generation. Not from inside a callback: a thread cannot wait for itself,
// and two callbacks swapping at once would wait for each other.
void AwaitOlderCalls(uint64_t generation);

// Marks the calling thread as inside the host's callback while it lives.
class TInCallback {
public:
    TInCallback() noexcept;
    ~TInCallback();
    TInCallback(const TInCallback&) = delete;
    TInCallback& operator=(const TInCallback&) = delete;
};

// Whether the calling thread is a delivery thread inside the host's callback.
bool InCallback() noexcept;

} // namespace belvor
