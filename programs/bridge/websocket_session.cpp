#include "programs/bridge/websocket_session.h"

#include <algorithm>

namespace belvor::bridge {

namespace {

// How long a client has to take its last messages and the close: one that was
// too slow gets long enough to read what it was sent, but not for ever.
constexpr std::chrono::seconds kSlowCloseTime{30};
constexpr std::chrono::seconds kShutdownCloseTime{5};

} // namespace

WebSocketSession::WebSocketSession(beast::tcp_stream stream, Hub& hub, std::shared_ptr<Roster> clients,
                                   size_t group, ConnectionSlot slot)
    : ws_(std::move(stream)), hub_(hub), clients_(std::move(clients)), slot_(std::move(slot)),
      deadline_(ws_.get_executor())
{
    clients_->Add(this, group);
}

WebSocketSession::~WebSocketSession()
{
    clients_->Remove(this); // when the io_context ended it without End
}

void WebSocketSession::Start(Request request)
{
    beast::get_lowest_layer(ws_).expires_never();
    // A client that answers no ping for a minute is gone (a browser answers them itself).
    websocket::stream_base::timeout timeout{};
    timeout.handshake_timeout = std::chrono::seconds(30);
    timeout.idle_timeout = std::chrono::seconds(60);
    timeout.keep_alive_pings = true;
    ws_.set_option(timeout);
    ws_.read_message_max(kMaxMessageBytes);
    ws_.text(true);
    // A message is one frame: a close never lands between the pieces of one.
    ws_.auto_fragment(false);
    ws_.async_accept(request, [self = shared_from_this()](beast::error_code ec) {
        if (ec)
            return self->End();
        self->hub_.Join(self);
        self->Read();
    });
}

void WebSocketSession::Read()
{
    ws_.async_read(buffer_, [self = shared_from_this()](beast::error_code ec, size_t) {
        if (ec)
            return self->End();
        self->buffer_.consume(self->buffer_.size());
        self->Read();
    });
}

bool WebSocketSession::Send(const std::shared_ptr<const std::string>& message)
{
    if (closing_ || ended_ || closeWhenSent_)
        return true;
    if (!queue_.Push(message)) {
        StartClose(kCloseTryAgainLater, kSlowCloseTime);
        return false;
    }
    if (!inFlight_)
        WriteNext();
    return true;
}

void WebSocketSession::Close(uint16_t code)
{
    if (ended_)
        return;
    if (closing_ || closeWhenSent_)
        return SetDeadline(kShutdownCloseTime);
    if (!inFlight_ && queue_.Empty())
        return StartClose(code, kShutdownCloseTime);
    closeWhenSent_ = code;
    SetDeadline(kShutdownCloseTime);
}

void WebSocketSession::Evict()
{
    const auto self = shared_from_this(); // the hub may hold the last reference
    End();
}

void WebSocketSession::WriteNext()
{
    if (queue_.Empty()) {
        if (closeWhenSent_)
            StartClose(*closeWhenSent_, kShutdownCloseTime);
        return;
    }
    inFlight_ = queue_.Take();
    ws_.async_write(asio::buffer(*inFlight_), [self = shared_from_this()](beast::error_code ec, size_t) {
        self->inFlight_.reset();
        if (ec)
            return self->End();
        if (!self->closing_)
            self->WriteNext();
    });
}

void WebSocketSession::StartClose(uint16_t code, std::chrono::seconds deadline)
{
    closing_ = true;
    queue_.Clear();
    SetDeadline(deadline);
    // Behind a write still going, the close waits for it; the read under way
    // then ends with the client's answer, and the session with it.
    ws_.async_close(websocket::close_reason(code), [self = shared_from_this()](beast::error_code) {});
}

void WebSocketSession::SetDeadline(std::chrono::seconds deadline)
{
    deadline_.expires_after(deadline);
    // Ended here, not by the handlers the close should end: a write still
    // pending on a client that takes nothing may outlive its socket (Wine's do).
    deadline_.async_wait([self = shared_from_this()](beast::error_code ec) {
        if (!ec)
            self->End();
    });
}

void WebSocketSession::End()
{
    if (ended_)
        return;
    ended_ = true;
    deadline_.cancel();
    hub_.Leave(this);
    clients_->Remove(this);
    slot_.reset();
    beast::get_lowest_layer(ws_).close();
}

void Roster::Add(WebSocketSession* session, size_t group)
{
    sessions_.emplace_back(session, group);
}

void Roster::Remove(const WebSocketSession* session)
{
    std::erase_if(sessions_, [session](const auto& entry) { return entry.first == session; });
}

size_t Roster::Count(size_t group) const
{
    return static_cast<size_t>(std::count_if(sessions_.begin(), sessions_.end(),
                                             [group](const auto& entry) { return entry.second == group; }));
}

bool Roster::Evict()
{
    std::vector<size_t> groups;
    for (const auto& entry : sessions_)
        groups.push_back(entry.second);
    const std::optional<size_t> chosen = Evictee(groups);
    if (chosen)
        sessions_[*chosen].first->Evict(); // which removes it
    return chosen.has_value();
}

} // namespace belvor::bridge
