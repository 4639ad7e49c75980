// Arbitrary bytes as a request to belvor-bridge: Beast's parser with the
// bridge's limits, then the bridge's own decision and the response it would send.
//
// Whatever the bytes, a WebSocket is only ever granted on /scans to a Host of
// this bridge and an Origin it allows (or none), and with the clients full only
// to a listed origin, in another's place; only a GET of a Host of this bridge
// is answered 200; a connection over the cap is always refused.
#include "fuzz/fuzz_input.h"
#include "programs/bridge/server.h"

#include <cstdint>
#include <sstream>

using namespace belvor::bridge;
using belvor::fuzz::Check;

namespace {

ServerContext& Context()
{
    static Hub hub;
    static ServerContext context{hub, AccessRules{"127.0.0.1", 29170, {"https://till.example"}},
                                 [] {
                                     return std::vector<ScannerReport>{{3, {}}, {5, {}}};
                                 },
                                 "<!doctype html>"};
    return context;
}

// The response as it would go out.
std::string Sent(Response& response)
{
    std::ostringstream out;
    out << response;
    return out.str();
}

void CheckDecision(const Request& request)
{
    const ServerContext& context = Context();
    const bool hostAllowed = HostAllowed(request[http::field::host], context.rules);
    RequestDecision decision = Decide(request, context, {});
    // An absolute-form target names the server itself, instead of the Host.
    const std::string_view target = request.target();
    const bool absolute = !target.empty() && target.front() != '/';
    if (decision.upgrade) {
        Check(websocket::is_upgrade(request) && request.count(http::field::host) <= 1);
        Check(absolute ? target.ends_with("/scans") : target == "/scans" && hostAllowed);
        const bool native = decision.group == kNoOriginGroup;
        Check(native == (request.count(http::field::origin) == 0) && !decision.evict);
        Check(native || absolute ||
              OriginAllowed(request[http::field::origin], request[http::field::host], context.rules));
        Check(!Decide(request, context, {.nativeRoom = false}).upgrade || !native);
        const RequestDecision full = Decide(request, context, {.clientRoom = false});
        Check(full.upgrade == (decision.group >= kFirstTillGroup) && full.evict == full.upgrade);
        Check(!full.upgrade || request[http::field::origin] == "https://till.example");
        return;
    }
    Check(decision.response.result() != http::status::ok ||
          ((hostAllowed || absolute) && request.method() == http::verb::get));
    Check(Sent(decision.response).starts_with("HTTP/1."));
    RequestDecision full = Decide(request, context, {.slot = false});
    Check(!full.upgrade && full.response.result() == http::status::service_unavailable);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    http::request_parser<http::string_body> parser;
    parser.header_limit(kMaxHeaderBytes);
    parser.body_limit(kMaxHeaderBytes);
    parser.eager(true);
    beast::error_code ec;
    asio::const_buffer input(data, size);
    while (input.size() && !parser.is_done() && !ec)
        input += parser.put(input, ec);
    if (!ec && !parser.is_done())
        parser.put_eof(ec);
    if (ec) {
        std::optional<Response> answer = ReadFailure(ec);
        Check(!answer || (answer->result() != http::status::ok && !answer->keep_alive()));
        if (answer)
            Check(Sent(*answer).starts_with("HTTP/1.1 4"));
        return 0;
    }
    CheckDecision(parser.get());
    return 0;
}
