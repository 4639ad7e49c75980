#include "platform/seams.h"

#include <atomic>
#include <mutex>
#include <new>

namespace belvor::platform {

namespace {

// Read at opens, starts and waits, and set by tests while threads of earlier
// tests may still be ending: under a lock, never destroyed (a thread given up
// on may still open a port after the process has begun to end) and in the
// library's own memory (it goes with the library when a host unloads it).
std::mutex& Guard()
{
    alignas(std::mutex) static unsigned char place[sizeof(std::mutex)];
    static std::mutex* lock = new (place) std::mutex;
    return *lock;
}
Seams gSeams;
Timings gTimings;
// The serial calls' seam is read on every system call: an atomic of its own,
// set with the others.
std::atomic<const CommCalls*> gComm{nullptr};

template <class T> T Exchange(T& slot, const T& value)
{
    std::lock_guard<std::mutex> guard(Guard());
    T previous = slot;
    slot = value;
    gComm.store(gSeams.Comm);
    return previous;
}

template <class T> T Copy(const T& slot)
{
    std::lock_guard<std::mutex> guard(Guard());
    return slot;
}

} // namespace

Seams SetSeams(const Seams& seams)
{
    return Exchange(gSeams, seams);
}

Seams CurrentSeams()
{
    return Copy(gSeams);
}

const CommCalls* CommSeam()
{
    return gComm.load(std::memory_order_relaxed);
}

Timings SetTimings(const Timings& timings)
{
    return Exchange(gTimings, timings);
}

Timings CurrentTimings()
{
    return Copy(gTimings);
}

} // namespace belvor::platform
