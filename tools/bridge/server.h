// The bridge's HTTP and WebSocket server: one thread (the io_context's), at
// most kMaxConnections at once, loopback unless told otherwise.
#pragma once

#include "tools/bridge/access.h"
#include "tools/bridge/beast.h"
#include "tools/bridge/hub.h"
#include "tools/bridge/render.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace belvor::bridge {

inline constexpr size_t kMaxConnections = 64;
// WebSocket clients with no Origin (native programs; browsers always send one)
// may take no more of the connections than this, so they never lock a till's page out.
inline constexpr size_t kMaxNativeClients = 16;
// Connections beyond kMaxConnections kept after their 503 until the client has
// read it; any more are closed at once, so that a flood cannot take every descriptor.
inline constexpr size_t kMaxLingering = 16;
inline constexpr size_t kMaxHeaderBytes = 8 * 1024;
inline constexpr size_t kMaxMessageBytes = 64 * 1024;

// What the sessions need of the rest of the bridge.
struct ServerContext {
    Hub& hub;
    AccessRules rules;
    std::function<std::vector<ScannerReport>()> scanners;
    std::string_view page;
    // WebSocket clients with no Origin now.
    std::shared_ptr<size_t> nativeClients = std::make_shared<size_t>(0);
    // The metrics listener's: GET /metrics and nothing else.
    bool metricsOnly = false;
};

// One of the kMaxConnections; given back when the last session holding it ends.
class ConnectionSlot {
public:
    explicit ConnectionSlot(std::shared_ptr<size_t> count) : count_(std::move(count)) { ++*count_; }
    ConnectionSlot(ConnectionSlot&& other) noexcept = default;
    ConnectionSlot& operator=(ConnectionSlot&&) = delete;
    ~ConnectionSlot()
    {
        if (count_)
            --*count_;
    }

private:
    std::shared_ptr<size_t> count_;
};

// The answer to an HTTP request that is not a WebSocket upgrade, for target in
// origin form (the path and query).
Response Route(const Request& request, std::string_view target, const ServerContext& context);
// A short text answer with status.
Response TextResponse(const Request& request, http::status status, std::string body);

// What to do with a request read in full: send response, or (upgrade) hand the
// connection to a WebSocket session. logLine, when not empty, is for stderr.
// native: the upgrade has no Origin, and counts among the kMaxNativeClients.
struct RequestDecision {
    Response response;
    bool upgrade = false;
    std::string logLine;
    bool native = false;
};
// The room a request finds: whether its connection is one of the
// kMaxConnections, and whether a native client may join.
struct Capacity {
    bool slot = true;
    bool nativeRoom = true;
};
// Decided from the request alone, without a socket.
RequestDecision Decide(const Request& request, const ServerContext& context, Capacity room);
// The answer to a request that could not be read (ec from the parser, with
// kMaxHeaderBytes as its limits); none when the connection is just to end.
std::optional<Response> ReadFailure(beast::error_code ec);

// Reads HTTP requests on one connection and answers them, until one asks for
// a WebSocket, which it hands to a WebSocketSession.
void StartHttpSession(tcp::socket socket, ServerContext& context, ConnectionSlot slot);

class Server {
public:
    Server(asio::io_context& io, ServerContext& context);

    // Starts listening; false with the reason in error when it cannot.
    bool Listen(const std::string& address, uint16_t port, std::string& error);
    // Stops taking connections and closes every WebSocket client with 1001.
    void Stop();
    // Only stops taking connections (a metrics listener's stop).
    void StopListening();

private:
    void Accept();
    // Answers 503 on a connection beyond the cap, without reading from it, and closes it.
    void Refuse(tcp::socket socket);

    asio::io_context& io_;
    ServerContext& context_;
    tcp::acceptor acceptor_;
    asio::steady_timer pause_; // after a failed accept (no descriptors left): no spinning
    std::shared_ptr<size_t> connections_ = std::make_shared<size_t>(0);
    std::shared_ptr<size_t> lingering_ = std::make_shared<size_t>(0); // of the refused
};

} // namespace belvor::bridge
