#include "programs/bridge/messages.h"
#include "programs/bridge/server.h"
#include "programs/bridge/websocket_session.h"

#include <cstdio>

namespace belvor::bridge {

namespace {

// A client that has not finished its request by then is let go: long enough
// for any real client, short enough that idle sockets hold no slot for long.
constexpr std::chrono::seconds kRequestTime{5};

class HttpSession : public std::enable_shared_from_this<HttpSession> {
public:
    HttpSession(tcp::socket socket, ServerContext& context, ConnectionSlot slot)
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
        if (ec) {
            std::optional<Response> answer = ReadFailure(ec);
            return answer ? Write(std::move(*answer)) : Shut();
        }
        Request request = parser_->release();
        const Roster& clients = *context_.clients;
        const Capacity room{slot_.has_value(), clients.Count(kNoOriginGroup) < kMaxNativeClients,
                            clients.Size() < kMaxClients};
        RequestDecision decision = Decide(request, context_, room);
        if (!decision.logLine.empty()) {
            std::fputs(decision.logLine.c_str(), MessageFile());
            std::fflush(MessageFile());
        }
        if (!decision.upgrade)
            return Write(std::move(decision.response));
        if (decision.evict)
            context_.clients->Evict();
        auto session = std::make_shared<WebSocketSession>(std::move(stream_), context_.hub, context_.clients,
                                                          decision.group, std::move(*slot_));
        session->Start(std::move(request));
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
        // The slot is given back with the close, not when the last handler still
        // pending on this session has run: a client that sees the close and comes
        // straight back must find it free.
        slot_.reset();
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

void StartHttpSession(tcp::socket socket, ServerContext& context, ConnectionSlot slot)
{
    std::make_shared<HttpSession>(std::move(socket), context, std::move(slot))->Read();
}

} // namespace belvor::bridge
