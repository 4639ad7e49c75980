#include "driver/CodeQueue.h"

#include <utility>

namespace belvor {

bool TCodeQueue::Push(TQueuedItem&& item)
{
    platform::LockGuard guard(FLock);
    if (item.What != TQueuedItem::Code) {
        FItems.push_back(std::move(item));
        return true;
    }
    if (FCodes < FLimit) {
        FItems.push_back(std::move(item));
        ++FCodes;
        Counted();
        return true;
    }
    FDroppedTotal.store(FDroppedTotal.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    // Full: the code is dropped and counted where it would have stood, so the
    // count reaches the log after the codes that came before it. One count
    // per run of drops, until the delivery thread takes it in hand.
    TQueuedItem* last = FItems.empty() ? nullptr : &FItems.back();
    if (last && last->What == TQueuedItem::Dropped && !(FHeadTaken && FItems.size() == 1)) {
        ++last->Value;
        return false;
    }
    FItems.push_back({TQueuedItem::Dropped, false, 1, {}});
    return true;
}

void TCodeQueue::Counted()
{
    const auto length = static_cast<uint32_t>(FCodes);
    FLength.store(length, std::memory_order_relaxed);
    if (length > FHighMark.load(std::memory_order_relaxed))
        FHighMark.store(length, std::memory_order_relaxed);
}

size_t TCodeQueue::Count()
{
    platform::LockGuard guard(FLock);
    return FCodes;
}

bool TCodeQueue::Head(std::string& code, bool* cut)
{
    platform::LockGuard guard(FLock);
    if (FItems.empty())
        return false;
    code = FItems.front().Text;
    if (cut)
        *cut = FItems.front().Cut;
    return true;
}

void TCodeQueue::RemoveHead()
{
    platform::LockGuard guard(FLock);
    if (FItems.empty())
        return;
    if (FItems.front().What == TQueuedItem::Code)
        --FCodes;
    FItems.pop_front();
    FHeadTaken = false;
    Counted();
}

bool TCodeQueue::TakeNext(bool dropHead, TQueuedItem& item) noexcept
{
    platform::LockGuard guard(FLock);
    if (dropHead && !FItems.empty()) {
        if (FItems.front().What == TQueuedItem::Code)
            --FCodes;
        FItems.pop_front();
        Counted();
    }
    FHeadTaken = false;
    if (FItems.empty())
        return false;
    // Moved, not copied: nothing else reads a queued code's text.
    TQueuedItem& head = FItems.front();
    item.What = head.What;
    item.Cut = head.Cut;
    item.Value = head.Value;
    item.Text = std::move(head.Text);
    FHeadTaken = true;
    return true;
}

} // namespace belvor
