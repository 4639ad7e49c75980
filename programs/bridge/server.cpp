#include "programs/bridge/server.h"
#include "programs/bridge/system.h"

#include <array>
#include <cerrno>
#include <chrono>
#include <memory>
#include <optional>

namespace belvor::bridge {

namespace {

// How long the accept loop rests when the system has no descriptor or buffer
// for a connection: the next accept would fail at once again.
constexpr std::chrono::milliseconds kAcceptPause{100};

bool OutOfResources(const beast::error_code& ec)
{
    // The system's codes by value: comparing through error conditions calls into
    // categories that UBSan's vptr check cannot see (boost::system, header-only).
    if (ec.category() != asio::error::get_system_category())
        return false;
    const int value = ec.value();
    return value == asio::error::no_descriptors || value == asio::error::no_buffer_space ||
           value == asio::error::no_memory || value == ENFILE;
}

constexpr std::string_view kTooMany = "HTTP/1.1 503 Service Unavailable\r\n"
                                      "Content-Type: text/plain; charset=utf-8\r\n"
                                      "Content-Length: 21\r\nConnection: close\r\n\r\n"
                                      "Too many connections\n";

// A connection beyond the cap: its 503 is written without reading a request,
// then what the client sends is drained (closing on unread bytes would reset
// the connection and could lose the answer) until it closes or kLinger ends.
// It is one of the kMaxLingering until then.
class RefusedConnection : public std::enable_shared_from_this<RefusedConnection> {
public:
    RefusedConnection(tcp::socket socket, ConnectionSlot place)
        : socket_(std::move(socket)), timer_(socket_.get_executor()), place_(std::move(place))
    {
    }

    void Start()
    {
        timer_.expires_after(kLinger);
        timer_.async_wait([self = shared_from_this()](beast::error_code ec) {
            if (!ec)
                self->Close();
        });
        asio::async_write(socket_, asio::buffer(kTooMany),
                          [self = shared_from_this()](beast::error_code ec, size_t) {
                              if (ec)
                                  return self->Close();
                              beast::error_code ignored;
                              self->socket_.shutdown(tcp::socket::shutdown_send, ignored);
                              self->Drain();
                          });
    }

private:
    static constexpr std::chrono::seconds kLinger{2};

    void Drain()
    {
        socket_.async_read_some(asio::buffer(sink_),
                                [self = shared_from_this()](beast::error_code ec, size_t) {
                                    return ec ? self->Close() : self->Drain();
                                });
    }
    void Close()
    {
        beast::error_code ignored;
        timer_.cancel();
        socket_.close(ignored);
        place_.reset(); // with the descriptor, not when the last handler has run
    }

    tcp::socket socket_;
    asio::steady_timer timer_;
    std::optional<ConnectionSlot> place_;
    std::array<char, 512> sink_{};
};

// Beyond the kMaxLingering: the 503 goes into the new socket's empty send
// buffer at once, what the client has sent so far is read (a close on unread
// bytes is a reset), and the socket is closed.
void RefuseAtOnce(tcp::socket socket)
{
    beast::error_code ignored;
    socket.non_blocking(true, ignored);
    socket.write_some(asio::buffer(kTooMany), ignored);
    socket.shutdown(tcp::socket::shutdown_send, ignored);
    std::array<char, 512> sink{};
    beast::error_code ec;
    for (size_t taken = 0; !ec && taken < kMaxHeaderBytes;)
        taken += socket.read_some(asio::buffer(sink), ec);
    socket.close(ignored);
}

} // namespace

Server::Server(asio::io_context& io, ServerContext& context)
    : io_(io), context_(context), acceptor_(io), pause_(io)
{
}

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
        if (ec && OutOfResources(ec)) {
            pause_.expires_after(kAcceptPause);
            pause_.async_wait([this](beast::error_code waited) {
                if (!waited && acceptor_.is_open())
                    Accept();
            });
            return;
        }
        if (ec) // a connection reset before it was taken, and the like
            return Accept();
        if (*connections_ < kMaxConnections)
            StartHttpSession(std::move(socket), context_, ConnectionSlot(connections_));
        else
            Refuse(std::move(socket));
        Accept();
    });
}

void Server::Refuse(tcp::socket socket)
{
    if (*lingering_ < kMaxLingering)
        std::make_shared<RefusedConnection>(std::move(socket), ConnectionSlot(lingering_))->Start();
    else
        RefuseAtOnce(std::move(socket));
}

void Server::StopListening()
{
    beast::error_code ignored;
    acceptor_.close(ignored);
    pause_.cancel();
}

void Server::Stop()
{
    StopListening();
    // Idle HTTP connections would hold the server for their time-out: once the
    // WebSocket clients are closed, the server stops with them.
    context_.hub.CloseAll(kCloseGoingAway, [this] { io_.stop(); });
}

} // namespace belvor::bridge
