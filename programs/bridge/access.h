// Who may use the bridge: the Origin and Host checks.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace belvor::bridge {

// The address the bridge listens on and the origins it lets in.
struct AccessRules {
    std::string listenAddress;
    uint16_t listenPort = 0;
    std::vector<std::string> allowedOrigins;
};

// Whether a WebSocket upgrade with this Origin may go on: an origin on the
// list (compared exactly), or the bridge's own (its page at http://<Host>),
// where host is the request's Host, already checked.
bool OriginAllowed(std::string_view origin, std::string_view host, const AccessRules& rules);

// Whether a request's Host names this bridge: the listening address with its
// port, or localhost with it (without a port, on 80 and 443, as browsers
// send it there). Listening on every address, any IP address with
// the port does; a name other than localhost never does, so that a name
// pointed at this machine (DNS rebinding) cannot reach it.
bool HostAllowed(std::string_view host, const AccessRules& rules);

} // namespace belvor::bridge
