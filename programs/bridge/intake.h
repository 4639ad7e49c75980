// The codes and statuses on their way from the drivers' threads to the hub on
// the server's thread. The server takes one per turn of its queue, so that
// every client's write, which takes a turn to complete, keeps pace with the
// codes; a client falls behind only when its socket does not take what it is
// sent. At most kMaxWaiting wait here: a flood waits in the drivers' own
// bounded queues (which report codes dropped when full), not in the bridge.
#pragma once

#include "programs/bridge/beast.h"
#include "programs/bridge/send_queue.h"

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

namespace belvor::bridge {

class Intake {
public:
    static constexpr size_t kMaxWaiting = SendQueue::kMaxMessages / 4;
    using Item = std::function<void()>; // run on the server's thread

    explicit Intake(asio::io_context& io) : io_(io) {}

    // A driver's thread: waits while kMaxWaiting are waiting, for the server's
    // thread only (never for a client), unless opened.
    void Push(Item item)
    {
        std::unique_lock<std::mutex> lock(lock_);
        room_.wait(lock, [this] { return items_.size() < kMaxWaiting || open_; });
        items_.push_back(std::move(item));
        if (!scheduled_) {
            scheduled_ = true;
            asio::post(io_, [this] { RunOne(); });
        }
    }

    // The server's thread has stopped: nothing waits for it any more.
    void Open()
    {
        {
            std::lock_guard<std::mutex> lock(lock_);
            open_ = true;
        }
        room_.notify_all();
    }

private:
    void RunOne()
    {
        Item item;
        bool more = false;
        {
            std::lock_guard<std::mutex> lock(lock_);
            item = std::move(items_.front());
            items_.pop_front();
            more = scheduled_ = !items_.empty();
        }
        room_.notify_one();
        item();
        if (more)
            asio::post(io_, [this] { RunOne(); }); // behind the writes this item started
    }

    asio::io_context& io_;
    std::mutex lock_;
    std::condition_variable room_;
    std::deque<Item> items_;
    bool scheduled_ = false;
    bool open_ = false;
};

} // namespace belvor::bridge
