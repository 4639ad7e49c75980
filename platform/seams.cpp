#include "platform/seams.h"

#include <atomic>

namespace belvor::platform {

namespace {

// Each its own atomic: some are read on every system call (the Windows
// serial calls), and tests set them while threads of earlier tests may still
// be ending.
struct StoredSeams {
    std::atomic<SerialOpener> Opener{nullptr};
    std::atomic<const CommCalls*> Comm{nullptr};
    std::atomic<const FileSystem*> Files{nullptr};
    std::atomic<bool (*)()> ThreadStart{nullptr};
    std::atomic<uint32_t (*)()> EventCreate{nullptr};
    std::atomic<bool> KeepLateReads{false};
    std::atomic<bool> KeepReadOnClose{false};
} gSeams;

struct StoredTimings {
    std::atomic<uint32_t> ReopenIntervalMs{0};
    std::atomic<uint32_t> NewsWaitMs{0};
    std::atomic<uint32_t> DeliveryRecheckMs{0};
    std::atomic<int64_t> ReaderStallMs{0};
    std::atomic<uint32_t> ReadLimitMs{0};
    std::atomic<int64_t> LostCompletionMs{0};
    std::atomic<int64_t> WaitBoundMs{0};
} gTimings;

} // namespace

Seams SetSeams(const Seams& seams)
{
    return {gSeams.Opener.exchange(seams.Opener),
            gSeams.Comm.exchange(seams.Comm),
            gSeams.Files.exchange(seams.Files),
            gSeams.ThreadStart.exchange(seams.ThreadStart),
            gSeams.EventCreate.exchange(seams.EventCreate),
            gSeams.KeepLateReads.exchange(seams.KeepLateReads),
            gSeams.KeepReadOnClose.exchange(seams.KeepReadOnClose)};
}

Seams CurrentSeams()
{
    return {gSeams.Opener.load(),         gSeams.Comm.load(),        gSeams.Files.load(),
            gSeams.ThreadStart.load(),    gSeams.EventCreate.load(), gSeams.KeepLateReads.load(),
            gSeams.KeepReadOnClose.load()};
}

const CommCalls* CommSeam()
{
    return gSeams.Comm.load(std::memory_order_relaxed);
}

Timings SetTimings(const Timings& timings)
{
    return {gTimings.ReopenIntervalMs.exchange(timings.ReopenIntervalMs),
            gTimings.NewsWaitMs.exchange(timings.NewsWaitMs),
            gTimings.DeliveryRecheckMs.exchange(timings.DeliveryRecheckMs),
            gTimings.ReaderStallMs.exchange(timings.ReaderStallMs),
            gTimings.ReadLimitMs.exchange(timings.ReadLimitMs),
            gTimings.LostCompletionMs.exchange(timings.LostCompletionMs),
            gTimings.WaitBoundMs.exchange(timings.WaitBoundMs)};
}

Timings CurrentTimings()
{
    return {gTimings.ReopenIntervalMs.load(), gTimings.NewsWaitMs.load(),  gTimings.DeliveryRecheckMs.load(),
            gTimings.ReaderStallMs.load(),    gTimings.ReadLimitMs.load(), gTimings.LostCompletionMs.load(),
            gTimings.WaitBoundMs.load()};
}

} // namespace belvor::platform
