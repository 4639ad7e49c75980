#include "programs/bridge/metrics.h"
#include "programs/bridge/server.h"

#include <algorithm>
#include <map>

namespace belvor::bridge {

namespace {

Response Content(const Request& request, std::string body, const char* type)
{
    Response response{http::status::ok, request.version()};
    response.set(http::field::content_type, type);
    response.set(http::field::cache_control, "no-store");
    response.keep_alive(request.keep_alive());
    response.body() = std::move(body);
    response.prepare_payload();
    return response;
}

} // namespace

Response TextResponse(const Request& request, http::status status, std::string body)
{
    Response response{status, request.version()};
    response.set(http::field::content_type, "text/plain; charset=utf-8");
    response.keep_alive(request.keep_alive());
    response.body() = std::move(body) + "\n";
    response.prepare_payload();
    return response;
}

Response Route(const Request& request, std::string_view target, const ServerContext& context)
{
    const std::string_view path = target.substr(0, target.find('?'));
    if (path != "/" && path != "/scanners" && path != "/metrics" && path != "/scans")
        return TextResponse(request, http::status::not_found, "Not found");
    if (request.method() != http::verb::get) {
        Response response = TextResponse(request, http::status::method_not_allowed, "Only GET");
        response.set(http::field::allow, "GET");
        return response;
    }
    if (path == "/")
        return Content(request, std::string(context.page), "text/html; charset=utf-8");
    if (path == "/scanners")
        return Content(request, ScannersJson(context.scanners()), "application/json");
    if (path == "/metrics")
        return Content(request, RenderMetrics(context.scanners(), context.hub.Counters()),
                       kMetricsContentType);
    return TextResponse(request, http::status::upgrade_required, "WebSocket only");
}

namespace {

// Answers status and closes.
Response Refusal(http::status status, std::string text)
{
    Response response = TextResponse(Request{}, status, std::move(text));
    response.keep_alive(false);
    return response;
}

RequestDecision Send(Response response)
{
    return {std::move(response), false, {}};
}

// Where a request goes: the name it gives this server and the target in origin
// form. An absolute-form target (http://host:port/path) names the server
// itself, and its Host header is ignored (RFC 9112, 3.2.2).
struct Destination {
    std::string_view host;
    std::string_view target;
};

Destination DestinationOf(const Request& request)
{
    const std::string_view target = request.target();
    constexpr std::string_view scheme = "http://";
    const bool absolute =
        target.size() > scheme.size() && beast::iequals(target.substr(0, scheme.size()), scheme);
    if (!absolute)
        return {request[http::field::host], target};
    const std::string_view rest = target.substr(scheme.size());
    const size_t end = std::min(rest.find_first_of("/?"), rest.size());
    const std::string_view path = rest.substr(end);
    return {rest.substr(0, end), path.empty() || path.front() == '?' ? std::string_view("/") : path};
}

} // namespace

RequestDecision Decide(const Request& request, const ServerContext& context, Capacity room)
{
    if (!room.slot)
        return Send(Refusal(http::status::service_unavailable, "Too many connections"));
    // Exactly one Host, and on HTTP/1.1 at least one (RFC 9112, 3.2).
    const size_t hosts = request.count(http::field::host);
    if (hosts > 1 || (hosts == 0 && request.version() >= 11))
        return Send(Refusal(http::status::bad_request, "Bad request: one Host header needed"));
    const Destination to = DestinationOf(request);
    if (!HostAllowed(to.host, context.rules))
        return Send(Refusal(http::status::misdirected_request, "Not this server's name"));
    if (context.metricsOnly && to.target.substr(0, to.target.find('?')) != "/metrics")
        return Send(TextResponse(request, http::status::not_found, "Only /metrics here"));
    if (!websocket::is_upgrade(request))
        return Send(Route(request, to.target, context));
    if (to.target != "/scans")
        return Send(Refusal(http::status::not_found, "Not found"));
    const bool native = request.count(http::field::origin) == 0;
    const std::string_view origin = request[http::field::origin];
    if (!native && !OriginAllowed(origin, to.host, context.rules))
        return {Refusal(http::status::forbidden, "Origin not allowed"), false,
                "belvor-bridge: refused a WebSocket from origin " + std::string(origin) + ": not allowed\n"};
    if (native && !room.nativeRoom)
        return Send(Refusal(http::status::service_unavailable, "Too many clients without an Origin"));
    const std::vector<std::string>& tills = context.rules.allowedOrigins;
    const auto till = native ? tills.end() : std::find(tills.begin(), tills.end(), origin);
    const size_t group = native                ? kNoOriginGroup
                         : till == tills.end() ? kOwnPageGroup
                                               : kFirstTillGroup + static_cast<size_t>(till - tills.begin());
    // Leaked clients must not lock a till's page out: it takes the place of one.
    if (!room.clientRoom && group < kFirstTillGroup)
        return Send(Refusal(http::status::service_unavailable, "Too many clients"));
    return {Response{}, true, {}, group, !room.clientRoom};
}

std::optional<size_t> Evictee(const std::vector<size_t>& groups)
{
    std::map<size_t, size_t> held;
    size_t most = 0;
    for (const size_t group : groups)
        most = std::max(most, ++held[group]);
    for (size_t i = 0; i < groups.size(); ++i)
        if (held[groups[i]] == most)
            return i;
    return std::nullopt;
}

std::optional<Response> ReadFailure(beast::error_code ec)
{
    if (ec == http::error::header_limit)
        return Refusal(http::status::request_header_fields_too_large, "Request header too large");
    if (ec == http::error::end_of_stream || ec == beast::error::timeout ||
        ec == asio::error::operation_aborted)
        return std::nullopt;
    return Refusal(http::status::bad_request, "Bad request");
}

} // namespace belvor::bridge
