#include "tools/bridge/server.h"
#include "tools/bridge/websocket_session.h"

#include <cstdio>

namespace belvor::bridge {

namespace {

// A client that has not finished its request by then is let go.
constexpr std::chrono::seconds kRequestTime{30};

class HttpSession : public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(tcp::socket socket, ServerContext& context, std::optional<ConnectionSlot> slot)
        : stream_(std::move(socket)), context_(context), slot_(std::move(slot))
    {
    }

    void Read()
    {
        parser_.emplace();
        parser_->header_limit(kMaxHeaderBytes);
        parser_->body_limit(kMaxHeaderBytes);
        stream_.expires_after(kRequestTime);
        http::async_read(stream_, buffer_, *parser_,
                         [self = shared_from_this()](beast::error_code ec, size_t) { self->OnRead(ec); });
    }

private:
    void OnRead(beast::error_code ec)
    {
        if (ec == http::error::header_limit)
            return Refuse(http::status::request_header_fields_too_large, "Request header too large");
        if (ec == http::error::end_of_stream || ec == beast::error::timeout ||
            ec == asio::error::operation_aborted)
            return Shut();
        if (ec)
            return Refuse(http::status::bad_request, "Bad request");
        Answer(parser_->release());
    }

    void Answer(Request request)
    {
        if (!slot_)
            return Refuse(http::status::service_unavailable, "Too many connections");
        const std::string host(request[http::field::host]);
        if (!HostAllowed(host, context_.rules))
            return Refuse(http::status::misdirected_request, "Not this server's name");
        if (!websocket::is_upgrade(request))
            return Write(Route(request, context_));
        if (request.target() != "/scans")
            return Refuse(http::status::not_found, "Not found");
        const std::string origin(request[http::field::origin]);
        if (request.count(http::field::origin) && !OriginAllowed(origin, host, context_.rules)) {
            std::fprintf(stderr, "belvor-bridge: refused a WebSocket from origin %s: not allowed\n",
                         origin.c_str());
            std::fflush(stderr);
            return Refuse(http::status::forbidden, "Origin not allowed");
        }
        auto session =
            std::make_shared<WebSocketSession>(std::move(stream_), context_.hub, std::move(*slot_));
        session->Start(std::move(request));
    }

    // Answers status and closes.
    void Refuse(http::status status, std::string text)
    {
        Request request;
        Response response = TextResponse(request, status, std::move(text));
        response.keep_alive(false);
        Write(std::move(response));
    }

    void Write(Response response)
    {
        response_ = std::make_shared<Response>(std::move(response));
        http::async_write(stream_, *response_, [self = shared_from_this()](beast::error_code ec, size_t) {
            if (ec || self->response_->need_eof())
                return self->Shut();
            self->Read();
        });
    }

    void Shut()
    {
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        stream_.close();
    }

    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    std::shared_ptr<Response> response_;
    ServerContext& context_;
    std::optional<ConnectionSlot> slot_;
};

} // namespace

void StartHttpSession(tcp::socket socket, ServerContext& context, std::optional<ConnectionSlot> slot)
{
    std::make_shared<HttpSession>(std::move(socket), context, std::move(slot))->Read();
}

} // namespace belvor::bridge
