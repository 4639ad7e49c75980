// The queue between a driver's port worker and its delivery thread: codes and
// reports of the line, in the order they happened, with at most a limit of
// codes waiting.
#pragma once

#include "driver/QueuedItem.h"
#include "driver/Settings.h"
#include "platform/sync.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>

namespace belvor {

class TCodeQueue {
public:
    void SetLimit(uint32_t limit) { FLimit = limit; }
    uint32_t Limit() const { return FLimit; }

    // Queues an item (a code only while there is room) and says whether the
    // delivery thread has something new.
    bool Push(TQueuedItem&& item);

    // Each call takes the queue's lock. Count counts codes only. A head that
    // was cut to MaxLength says so in cut.
    size_t Count();
    bool Head(std::string& code, bool* cut);
    void RemoveHead();
    // The delivery thread's step, under one lock: removes the head it has
    // handed on (when dropHead) and moves the next head out into item. That
    // head stays queued, a code's text empty, until the next step removes it,
    // so the queue still counts a code while its callback runs.
    bool TakeNext(bool dropHead, TQueuedItem& item) noexcept;

    // Without the lock, for statistics: codes waiting now, the most that
    // ever waited, and how many were dropped while the queue was full.
    uint32_t Length() const { return FLength.load(std::memory_order_relaxed); }
    uint32_t HighMark() const { return FHighMark.load(std::memory_order_relaxed); }
    uint64_t DroppedTotal() const { return FDroppedTotal.load(std::memory_order_relaxed); }

private:
    // Under the lock: the code count changed.
    void Counted();

    std::deque<TQueuedItem> FItems;
    size_t FCodes = 0;
    bool FHeadTaken = false; // the delivery thread has moved the head out
    uint32_t FLimit = kDefaultQueueLimit;
    platform::RecursiveLock FLock;
    std::atomic<uint32_t> FLength{0};
    std::atomic<uint32_t> FHighMark{0};
    std::atomic<uint64_t> FDroppedTotal{0};
};

} // namespace belvor
