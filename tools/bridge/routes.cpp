#include "tools/bridge/metrics.h"
#include "tools/bridge/server.h"

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

Response Route(const Request& request, const ServerContext& context)
{
    const std::string_view target = request.target();
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

} // namespace belvor::bridge
