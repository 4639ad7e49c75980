// A WebSocket client's messages waiting to be sent, bounded: a client that
// falls this far behind is closed rather than let the bridge's memory grow.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <string>

namespace belvor::bridge {

class SendQueue {
public:
    static constexpr size_t kMaxMessages = 1000;
    static constexpr size_t kMaxBytes = 4 * 1024 * 1024;

    // False, and nothing queued, when the message would take the queue past either bound.
    bool Push(std::shared_ptr<const std::string> message)
    {
        if (messages_.size() + 1 > kMaxMessages || bytes_ + message->size() > kMaxBytes)
            return false;
        bytes_ += message->size();
        messages_.push_back(std::move(message));
        return true;
    }

    bool Empty() const { return messages_.empty(); }

    std::shared_ptr<const std::string> Take()
    {
        std::shared_ptr<const std::string> message = std::move(messages_.front());
        messages_.pop_front();
        bytes_ -= message->size();
        return message;
    }

    void Clear()
    {
        messages_.clear();
        bytes_ = 0;
    }

private:
    std::deque<std::shared_ptr<const std::string>> messages_;
    size_t bytes_ = 0;
};

} // namespace belvor::bridge
