#include "tools/bridge/server.h"
#include "tools/bridge/system.h"

namespace belvor::bridge {

Server::Server(asio::io_context& io, ServerContext& context) : io_(io), context_(context), acceptor_(io) {}

bool Server::Listen(const std::string& address, uint16_t port, std::string& error)
{
    beast::error_code ec;
    const asio::ip::address ip = asio::ip::make_address(address, ec);
    if (ec) {
        error = "not an IP address: " + address;
        return false;
    }
    const tcp::endpoint endpoint(ip, port);
    if (!acceptor_.open(endpoint.protocol(), ec))
        AllowQuickRestart(acceptor_);
    if (!ec && !acceptor_.bind(endpoint, ec))
        acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        error = "cannot listen on " + address + ":" + std::to_string(port) + ": " + ec.message();
        return false;
    }
    Accept();
    return true;
}

void Server::Accept()
{
    acceptor_.async_accept([this](beast::error_code ec, tcp::socket socket) {
        if (!acceptor_.is_open())
            return;
        if (!ec) {
            std::optional<ConnectionSlot> slot;
            if (*connections_ < kMaxConnections)
                slot.emplace(connections_);
            StartHttpSession(std::move(socket), context_, std::move(slot));
        }
        Accept();
    });
}

void Server::Stop()
{
    beast::error_code ignored;
    acceptor_.close(ignored);
    // Idle HTTP connections would hold the server for their time-out: once the
    // WebSocket clients are closed, the server stops with them.
    context_.hub.CloseAll(kCloseGoingAway, [this] { io_.stop(); });
}

} // namespace belvor::bridge
