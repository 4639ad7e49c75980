// The bridge's HTTP and WebSocket server: one thread (the io_context's), at
// most kMaxConnections at once, loopback unless told otherwise.
#pragma once

#include "programs/bridge/access.h"
#include "programs/bridge/beast.h"
#include "programs/bridge/hub.h"
#include "programs/bridge/render.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace belvor::bridge {

inline constexpr size_t kMaxConnections = 64;
// WebSocket clients may take no more of the connections than this: the rest
// stay for requests, so that a till's page can always ask for its place.
inline constexpr size_t kMaxClients = kMaxConnections - 8;
// WebSocket clients with no Origin (native programs; browsers always send one)
// may take no more of them than this.
inline constexpr size_t kMaxNativeClients = 16;
// Connections beyond kMaxConnections kept after their 503 until the client has
// read it; any more are closed at once, so that a flood cannot take every descriptor.
inline constexpr size_t kMaxLingering = 16;
inline constexpr size_t kMaxHeaderBytes = 8 * 1024;
inline constexpr size_t kMaxMessageBytes = 64 * 1024;

// Whom a WebSocket client counts with, by its Origin: none, the bridge's own
// page (however its Host was spelled), or the listed origin i (kFirstTillGroup + i).
inline constexpr size_t kNoOriginGroup = 0;
inline constexpr size_t kOwnPageGroup = 1;
inline constexpr size_t kFirstTillGroup = 2;

class WebSocketSession;

// The WebSocket clients in the order they came, each with its group.
class Roster {
public:
    void Add(WebSocketSession* session, size_t group);
    void Remove(const WebSocketSession* session);
    size_t Size() const { return sessions_.size(); }
    size_t Count(size_t group) const;
    // Ends the client Evictee picks at once (a close handshake could hold its
    // descriptor for seconds); false when there is none.
    bool Evict();

private:
    std::vector<std::pair<WebSocketSession*, size_t>> sessions_;
};

// Of the clients' groups in the order the clients came, the one to close so
// that a till's page gets in: the oldest of the group that holds the most (of
// groups as large, the one whose oldest came first). None when there is none.
std::optional<size_t> Evictee(const std::vector<size_t>& groups);

// What the sessions need of the rest of the bridge.
struct ServerContext {
    Hub& hub;
    AccessRules rules;
    std::function<std::vector<ScannerReport>()> scanners;
    std::string_view page;
    // Held by the sessions too: the last may end after the server (at the io_context's end).
    std::shared_ptr<Roster> clients = std::make_shared<Roster>();
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
// group: the upgrade's (kNoOriginGroup: among the kMaxNativeClients). evict:
// the clients are full, and a till's page takes the place of one of them.
struct RequestDecision {
    Response response;
    bool upgrade = false;
    std::string logLine;
    size_t group = kNoOriginGroup;
    bool evict = false;
};
// The room a request finds: whether its connection is one of the
// kMaxConnections, whether a native client may join, and whether any client
// may (fewer than kMaxClients).
struct Capacity {
    bool slot = true;
    bool nativeRoom = true;
    bool clientRoom = true;
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
