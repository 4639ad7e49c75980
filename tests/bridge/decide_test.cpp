// The bridge's request decision, as the fuzzer takes it: a pure function of
// the request and the room left, without a socket. Natively only: it is the
// same code everywhere, and Beast's headers are slow to compile.
#include "programs/bridge/server.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

using namespace belvor::bridge;

// What a request gets, decided without a socket: the HTTP rules for Host and
// the target's forms, each client's group, and the room left for clients.
TEST(BridgeDecide, HostRulesTargetFormsAndTheClientsCaps)
{
    Hub hub;
    const ServerContext context{
        hub, AccessRules{"127.0.0.1", 29170, {"https://other.example", "https://till.example"}},
        [] { return std::vector<ScannerReport>{}; }, "<!doctype html>"};
    struct Case {
        const char* Name;
        std::string Target;
        std::vector<std::string> Hosts;
        unsigned Version;
        const char* Origin; // null: none; with an upgrade to a WebSocket
        Capacity Room;
        int Status; // 0: upgraded
        size_t Group;
        bool Evict = false;
    };
    const size_t till = kFirstTillGroup + 1, own = kOwnPageGroup;
    const char* tillPage = "https://till.example";
    const Capacity full{.clientRoom = false};
    const std::string self = "127.0.0.1:29170";
    const Case cases[] = {
        {"a plain GET", "/scanners", {self}, 11, nullptr, {}, 200, 0},
        {"two Hosts", "/scanners", {self, self}, 11, nullptr, {}, 400, 0},
        {"no Host on HTTP/1.1", "/scanners", {}, 11, nullptr, {}, 400, 0},
        {"no Host on HTTP/1.0: no name to check", "/scanners", {}, 10, nullptr, {}, 421, 0},
        {"absolute form, Host ignored",
         "http://127.0.0.1:29170/scanners",
         {"evil.example:1"},
         11,
         nullptr,
         {},
         200,
         0},
        {"absolute form, its query", "HTTP://127.0.0.1:29170?x=1", {}, 10, nullptr, {}, 200, 0},
        {"absolute form naming another",
         "http://evil.example:29170/scanners",
         {self},
         11,
         nullptr,
         {},
         421,
         0},
        {"a native client", "/scans", {self}, 11, "", {}, 0, kNoOriginGroup},
        {"a native client, none left", "/scans", {self}, 11, "", {.nativeRoom = false}, 503, 0},
        {"a browser, natives full",
         "/scans",
         {self},
         11,
         "https://till.example",
         {.nativeRoom = false},
         0,
         till},
        {"absolute form upgrade",
         "http://127.0.0.1:29170/scans",
         {self},
         11,
         "http://127.0.0.1:29170",
         {},
         0,
         kOwnPageGroup},
        {"no slot", "/scanners", {self}, 11, nullptr, {.slot = false}, 503, 0},
        {"own page as localhost", "/scans", {"LOCALHOST:29170"}, 11, "http://LOCALHOST:29170", {}, 0, own},
        {"the first listed origin", "/scans", {self}, 11, "https://other.example", {}, 0, kFirstTillGroup},
        {"a till, clients full: in one's place", "/scans", {self}, 11, tillPage, full, 0, till, true},
        {"a till, full, a foreign Host", "/scans", {"evil.example:29170"}, 11, tillPage, full, 421, 0},
        {"the own page, clients full", "/scans", {self}, 11, "http://127.0.0.1:29170", full, 503, 0},
        {"a native client, clients full", "/scans", {self}, 11, "", full, 503, 0},
        {"a GET, clients full", "/scanners", {self}, 11, nullptr, full, 200, 0},
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
        EXPECT_EQ(decision.group, c.Group) << c.Name;
        EXPECT_EQ(decision.evict, c.Evict) << c.Name;
    }
}

// Whom a till's page replaces when the clients are full: leaks are closed
// before anyone else's clients, and the oldest of them first.
TEST(BridgeDecide, TheOldestClientOfTheGroupThatHoldsTheMostMakesRoom)
{
    const size_t n = kNoOriginGroup, own = kOwnPageGroup, till = kFirstTillGroup, other = kFirstTillGroup + 1;
    std::vector<size_t> leaked(kMaxNativeClients, n);
    leaked.insert(leaked.end(), kMaxClients - kMaxNativeClients, own);
    const std::pair<std::vector<size_t>, std::optional<size_t>> cases[] = {
        {{}, std::nullopt},
        {{till}, 0},
        {leaked, kMaxNativeClients},        // the first under the own page's origin
        {{till, own, n, n}, 2},             // not the oldest of all
        {{other, till, till, n, other}, 0}, // as many: the group whose oldest came first
        {{n, till, till, till}, 1},         // a till's own leaks
    };
    for (const auto& [groups, chosen] : cases)
        EXPECT_EQ(Evictee(groups), chosen) << ::testing::PrintToString(groups);
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
