// The bridge's request decision, as the fuzzer takes it: a pure function of
// the request and the room left, without a socket. Natively only: it is the
// same code everywhere, and Beast's headers are slow to compile.
#include "tools/bridge/server.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

using namespace belvor::bridge;

// What a request gets, decided without a socket: the HTTP rules for Host and
// the target's forms, and the room left for clients with no Origin.
TEST(BridgeDecide, HostRulesTargetFormsAndTheNativeClientsCap)
{
    Hub hub;
    const ServerContext context{hub, AccessRules{"127.0.0.1", 29170, {"https://till.example"}},
                                [] { return std::vector<ScannerReport>{}; }, "<!doctype html>"};
    struct Case {
        const char* Name;
        std::string Target;
        std::vector<std::string> Hosts;
        unsigned Version;
        const char* Origin; // null: none; with an upgrade to a WebSocket
        Capacity Room;
        int Status; // 0: upgraded
        bool Native;
    };
    const std::string self = "127.0.0.1:29170";
    const Case cases[] = {
        {"a plain GET", "/scanners", {self}, 11, nullptr, {}, 200, false},
        {"two Hosts", "/scanners", {self, self}, 11, nullptr, {}, 400, false},
        {"no Host on HTTP/1.1", "/scanners", {}, 11, nullptr, {}, 400, false},
        {"no Host on HTTP/1.0: no name to check", "/scanners", {}, 10, nullptr, {}, 421, false},
        {"absolute form, Host ignored",
         "http://127.0.0.1:29170/scanners",
         {"evil.example:1"},
         11,
         nullptr,
         {},
         200,
         false},
        {"absolute form, its query", "HTTP://127.0.0.1:29170?x=1", {}, 10, nullptr, {}, 200, false},
        {"absolute form naming another",
         "http://evil.example:29170/scanners",
         {self},
         11,
         nullptr,
         {},
         421,
         false},
        {"a native client", "/scans", {self}, 11, "", {}, 0, true},
        {"a native client, none left", "/scans", {self}, 11, "", {.nativeRoom = false}, 503, false},
        {"a browser, natives full",
         "/scans",
         {self},
         11,
         "https://till.example",
         {.nativeRoom = false},
         0,
         false},
        {"absolute form upgrade",
         "http://127.0.0.1:29170/scans",
         {self},
         11,
         "http://127.0.0.1:29170",
         {},
         0,
         false},
        {"no slot", "/scanners", {self}, 11, nullptr, {.slot = false}, 503, false},
    };
    for (const Case& c : cases) {
        Request request{http::verb::get, c.Target, c.Version};
        for (const std::string& host : c.Hosts)
            request.insert(http::field::host, host);
        if (c.Origin) {
            request.set(http::field::connection, "Upgrade");
            request.set(http::field::upgrade, "websocket");
            request.set(http::field::sec_websocket_key, "dGhlIHNhbXBsZSBub25jZQ==");
            request.set(http::field::sec_websocket_version, "13");
            if (*c.Origin)
                request.set(http::field::origin, c.Origin);
        }
        const RequestDecision decision = Decide(request, context, c.Room);
        EXPECT_EQ(decision.upgrade ? 0 : static_cast<int>(decision.response.result_int()), c.Status)
            << c.Name;
        EXPECT_EQ(decision.native, c.Native) << c.Name;
    }
}

TEST(BridgeDecide, TheMetricsListenerServesMetricsOnly)
{
    Hub hub;
    ServerContext context{
        hub, AccessRules{"10.0.0.17", 9100, {}}, [] { return std::vector<ScannerReport>{}; }, {}};
    context.metricsOnly = true;
    for (const auto& [target, status] : {std::pair<std::string, int>{"/metrics", 200},
                                         {"/metrics?x", 200},
                                         {"/scanners", 404},
                                         {"/", 404},
                                         {"/scans", 404}}) {
        Request request{http::verb::get, target, 11};
        request.set(http::field::host, "10.0.0.17:9100");
        EXPECT_EQ(static_cast<int>(Decide(request, context, {}).response.result_int()), status) << target;
        request.set(http::field::connection, "Upgrade");
        request.set(http::field::upgrade, "websocket");
        request.set(http::field::sec_websocket_key, "dGhlIHNhbXBsZSBub25jZQ==");
        request.set(http::field::sec_websocket_version, "13");
        EXPECT_FALSE(Decide(request, context, {}).upgrade) << target;
    }
}
