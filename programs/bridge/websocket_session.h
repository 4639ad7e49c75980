// One WebSocket client of /scans: everything the hub publishes, in order,
// through a bounded queue; what the client sends is read and thrown away.
#pragma once

#include "programs/bridge/send_queue.h"
#include "programs/bridge/server.h"

#include <chrono>
#include <memory>
#include <optional>

namespace belvor::bridge {

class WebSocketSession : public Client, public std::enable_shared_from_this<WebSocketSession> {
public:
    // Counted in clients, with group, from now until it ends.
    WebSocketSession(beast::tcp_stream stream, Hub& hub, std::shared_ptr<Roster> clients, size_t group,
                     ConnectionSlot slot);
    ~WebSocketSession() override;

    // Completes the handshake the request began, then joins the hub.
    void Start(Request request);

    bool Send(const std::shared_ptr<const std::string>& message) override;
    void Close(uint16_t code) override;
    // Ends it at once, without a close: its place goes to a till's page.
    void Evict();

private:
    void Read();
    void WriteNext();
    void StartClose(uint16_t code, std::chrono::seconds deadline);
    void SetDeadline(std::chrono::seconds deadline);
    void End();

    websocket::stream<beast::tcp_stream> ws_;
    beast::flat_buffer buffer_;
    Hub& hub_;
    std::shared_ptr<Roster> clients_;
    std::optional<ConnectionSlot> slot_; // given back when it ends
    SendQueue queue_;
    std::shared_ptr<const std::string> inFlight_; // the message being written, kept alive for it
    std::optional<uint16_t> closeWhenSent_;
    asio::steady_timer deadline_; // a client that never lets its close finish is cut off
    bool closing_ = false;
    bool ended_ = false;
};

} // namespace belvor::bridge
