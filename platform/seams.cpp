#include "platform/seams.h"

#include <mutex>

namespace belvor::platform {

namespace {

// Read at opens, starts and waits, never on a byte's way: a lock is cheap enough.
std::mutex& Guard()
{
    static std::mutex lock;
    return lock;
}
Seams gSeams;
Timings gTimings;

template <class T> T Exchange(T& slot, const T& value)
{
    std::lock_guard<std::mutex> guard(Guard());
    T previous = slot;
    slot = value;
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

Timings SetTimings(const Timings& timings)
{
    return Exchange(gTimings, timings);
}

Timings CurrentTimings()
{
    return Copy(gTimings);
}

} // namespace belvor::platform
