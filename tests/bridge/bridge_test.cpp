// The bridge's plain parts: what it renders, what it lets in, what it is told,
// and the hub's fan-out, without a network.
#include "tools/bridge/access.h"
#include "tools/bridge/hub.h"
#include "tools/bridge/intake.h"
#include "tools/bridge/metrics.h"
#include "tools/bridge/options.h"
#include "tools/bridge/send_queue.h"

#include <gtest/gtest.h>

#include <map>

using namespace belvor::bridge;
using std::chrono::milliseconds;
using Time = std::chrono::system_clock::time_point;

TEST(BridgeRender, Windows1252IsDecodedToUtf8WithTheUndefinedFiveAsC1)
{
    const std::pair<std::string, std::string> cases[] = {{"A\x1d"
                                                          "0",
                                                          "A\x1d"
                                                          "0"},
                                                         {std::string("\0", 1), std::string("\0", 1)},
                                                         {"\x80", "\u20ac"},
                                                         {"\x81", "\u0081"},
                                                         {"\x8d", "\u008d"},
                                                         {"\x8f", "\u008f"},
                                                         {"\x90", "\u0090"},
                                                         {"\x9d", "\u009d"},
                                                         {"\x8a", "\u0160"},
                                                         {"\x99", "\u2122"},
                                                         {"\x9f", "\u0178"},
                                                         {"\xa0", "\u00a0"},
                                                         {"\xe9", "\u00e9"},
                                                         {"\xff", "\u00ff"}};
    for (const auto& [bytes, text] : cases)
        EXPECT_EQ(DecodeWindows1252(bytes), text) << "byte " << int(static_cast<unsigned char>(bytes[0]));
}

TEST(BridgeRender, MessagesAreTheProtocolsJson)
{
    const Time at{milliseconds(1796642915123)};
    EXPECT_EQ(FormatUtcTime(Time{}), "1970-01-01T00:00:00.000Z");
    EXPECT_EQ(FormatUtcTime(Time{milliseconds(1709251199999)}), "2024-02-29T23:59:59.999Z");
    EXPECT_EQ(CodeMessage(3,
                          ScannedCode("01\x1d\x80\x81"
                                      "A"),
                          at),
              R"({"type":"code","port":3,"text":"01\u001d€)"
              "\u0081"
              R"(A","bytes":"MDEdgIFB",)"
              R"("time":"2026-12-07T11:28:35.123Z","aim":"","symbology":0,"label":"01\u001d€)"
              "\u0081"
              R"(A","gs1":[],"gs1_errors":[]})");
    // What the library read of a code, in the order scanned; a value's bytes as text.
    ScannedCode gs1("]d2010950110153000310AB\xe9\x1d"
                    "1799");
    gs1.aim = "]d2", gs1.symbology = 208, gs1.label = gs1.bytes.substr(3);
    gs1.gs1 = {{"01", "09501101530003"}, {"10", "AB\xe9"}, {"17", "99"}};
    gs1.gs1Errors = {{"17", BELVOR_GS1_TOO_SHORT, 25}, {"", 99, 0}};
    const std::string message = CodeMessage(3, gs1, at);
    EXPECT_NE(message.find(R"("aim":"]d2","symbology":208,"label":"010950110153000310ABé\u001d1799",)"
                           R"("gs1":[{"ai":"01","value":"09501101530003"},{"ai":"10","value":"ABé"},)"
                           R"({"ai":"17","value":"99"}],)"
                           R"("gs1_errors":[{"ai":"17","error":"too_short","position":25},)"
                           R"({"ai":"","error":"","position":0}]})"),
              std::string::npos)
        << message;
    const std::pair<std::pair<int32_t, uint32_t>, std::string> statuses[] = {
        {{BELVOR_STATUS_LOST, 5}, R"({"type":"status","port":3,"state":"lost","error":5})"},
        {{BELVOR_STATUS_BACK, 0}, R"({"type":"status","port":3,"state":"back"})"},
        {{BELVOR_STATUS_CODES_DROPPED, 7}, R"({"type":"status","port":3,"state":"dropped","count":7})"},
        {{BELVOR_STATUS_CODE_CUT, 300}, R"({"type":"status","port":3,"state":"cut","length":300})"},
        {{BELVOR_STATUS_STALLED, 5100}, R"({"type":"status","port":3,"state":"stalled","ms":5100})"},
        {{BELVOR_STATUS_STALLED, 0}, R"({"type":"status","port":3,"state":"running"})"},
        {{99, 1}, ""}};
    for (const auto& [status, json] : statuses)
        EXPECT_EQ(StatusMessage(3, status.first, status.second), json) << status.first;
    EXPECT_EQ(HelloMessage({{3, "open"}, {5, "gone"}}),
              R"({"type":"hello","ports":[{"port":3,"state":"open"},{"port":5,"state":"gone"}]})");
}

TEST(BridgeRender, MetricsCarryEachFamilyOnceAndEachPortsValues)
{
    ScannerReport a{3, {}}, b{5, {}};
    a.stats.state = BELVOR_PORT_OPEN;
    a.stats.codes_delivered = 10, a.stats.codes_undelivered = 2, a.stats.codes_cut = 1, a.stats.breaks = 4;
    b.stats.state = BELVOR_PORT_LOST, b.stats.losses = 2, b.stats.parity_errors = 6,
    b.stats.codes_dropped = 9, b.stats.reader_stalled = 1, b.stats.reader_stalls = 3;
    a.stats.ms_since_code = 1234, b.stats.ms_since_code = -1, b.stats.queue_high = 7,
    b.stats.bytes_refused = 11, b.stats.codes_unidentified = 5;
    const std::string text = RenderMetrics({a, b}, BridgeCounters{2, 1, {{3, 208, 4}, {3, 0, 1}}});
    for (const char* line : {"belvor_codes_total{port=\"3\"} 12\n",
                             "belvor_codes_cut_total{port=\"3\"} 1\n",
                             "belvor_codes_dropped_total{port=\"5\"} 9\n",
                             "belvor_losses_total{port=\"5\"} 2\n",
                             "belvor_line_errors_total{port=\"3\",kind=\"break\"} 4\n",
                             "belvor_line_errors_total{port=\"5\",kind=\"parity\"} 6\n",
                             "belvor_scanner_up{port=\"3\"} 1\n",
                             "belvor_scanner_up{port=\"5\"} 0\n",
                             "belvor_bridge_clients 2\n",
                             "belvor_bridge_clients_closed_slow_total 1\n",
                             "# TYPE belvor_scanner_up gauge\n",
                             "belvor_reader_stalled{port=\"5\"} 1\n",
                             "belvor_reader_stalled{port=\"3\"} 0\n",
                             "belvor_reader_stalls_total{port=\"5\"} 3\n",
                             "belvor_codes_total{port=\"5\"} 9\n",
                             "belvor_seconds_since_code{port=\"3\"} 1.234\n",
                             "belvor_seconds_since_code{port=\"5\"} -0.001\n",
                             "belvor_queue_high{port=\"5\"} 7\n",
                             "belvor_bytes_refused_total{port=\"5\"} 11\n",
                             "belvor_port_state{port=\"5\"} 2\n",
                             "belvor_codes_unidentified_total{port=\"5\"} 5\n",
                             "belvor_bridge_codes_by_symbology_total{port=\"3\",symbology=\"208\"} 4\n",
                             "belvor_bridge_codes_by_symbology_total{port=\"3\",symbology=\"0\"} 1\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    size_t types = 0;
    for (size_t at = text.find("# TYPE"); at != std::string::npos; at = text.find("# TYPE", at + 1))
        ++types;
    EXPECT_EQ(types, 23u) << "every field of the statistics, and the codes by symbology";
    EXPECT_NE(ScannersJson({a, b}).find(R"("reader_stalls":3,"ms_since_round":0,"codes_unidentified":5})"),
              std::string::npos)
        << ScannersJson({a, b});
}

TEST(BridgeAccess, HostMustNameThisBridgeAndOriginMustBeListed)
{
    const AccessRules loopback{"127.0.0.1", 29170, {"https://till.example"}};
    const AccessRules v6{"::1", 80, {}}, every{"0.0.0.0", 29170, {}};
    const std::tuple<const AccessRules*, std::string, bool> hosts[] = {
        {&loopback, "127.0.0.1:29170", true},
        {&loopback, "LocalHost:29170", true},
        {&loopback, "127.0.0.1", false},
        {&v6, "[::1]", true}, // on 80 and 443 browsers send no port
        {&v6, "[::1]:81", false},
        {&v6, "localhost", true},
        {&loopback, "127.0.0.1:29171", false},
        {&loopback, "evil.example:29170", false},
        {&loopback, "10.0.0.5:29170", false},
        {&v6, "[::1]:80", true},
        {&every, "10.0.0.5:29170", true},
        {&every, "[fe80::1]:29170", true},
        {&every, "evil.example:29170", false},
        {&every, "1.2.3:29170", false},
        {&every, "1.2.3.256:29170", false}};
    for (const auto& [rules, host, allowed] : hosts)
        EXPECT_EQ(HostAllowed(host, *rules), allowed) << host;
    const std::pair<std::string, bool> origins[] = {
        {"https://till.example", true},   {"https://till.example/", false},
        {"http://till.example", false},   {"https://till.example:443", false},
        {"http://127.0.0.1:29170", true}, {"http://evil.example", false}};
    for (const auto& [origin, allowed] : origins)
        EXPECT_EQ(OriginAllowed(origin, "127.0.0.1:29170", loopback), allowed) << origin;
}

TEST(BridgeOptions, CommandLineOverBelvorIni)
{
    struct Case {
        std::map<std::string, std::string> ini;
        std::vector<std::string> args;
        std::string ports, listen, origins; // ports and origins joined by ' '; listen "" for an error
    };
    const Case cases[] = {
        {{}, {"--port", "3", "--port=5"}, "3 5", "127.0.0.1:29170", ""},
        {{{"Ports", " 3, 5 ,"},
          {"Listen", "0.0.0.0:8080"},
          {"AllowOrigin", "https://a.example, http://b:81"}},
         {},
         "3 5",
         "0.0.0.0:8080",
         "https://a.example http://b:81"},
        {{{"Ports", "3"}, {"AllowOrigin", "https://a.example"}},
         {"--port", "7", "--listen", "[::1]:9", "--allow-origin", "https://c.example"},
         "7",
         "::1:9",
         "https://c.example"},
        {{}, {}, "", "", ""},
        {{}, {"--port", "256"}, "", "", ""},
        {{}, {"--port", "3", "--port", "3"}, "", "", ""},
        {{}, {"--port", "3", "--listen", "::1:9"}, "", "", ""},
        {{}, {"--port", "3", "--allow-origin", "https://a.example/till"}, "", "", ""},
        {{{"Ports", "3"}, {"Listen", "nowhere"}}, {}, "", "", ""},
        {{}, {"--port"}, "", "", ""},
        {{}, {"--port", "3", "--listen", "127.0.0.1:9", "--listen", "10.0.0.1:9"}, "", "", ""},
        {{}, {"--port", "3", "--metrics-listen", "10.0.0.1:9", "--metrics-listen=10.0.0.2:9"}, "", "", ""},
        {{}, {"--port", "3", "--metrics-listen", "127.0.0.1:29170"}, "", "", ""},
        {{{"Ports", "3"}, {"MetricsListen", "nowhere"}}, {}, "", "", ""},
        {{{"Ports", "1,2,3,4,5,6,7,8,9,10,11"}}, {}, "", "", ""},
    };
    for (const Case& c : cases) {
        BridgeOptions options;
        std::string error;
        const bool ok = ParseOptions(
            [&c](const char* key) -> std::optional<std::string> {
                const auto it = c.ini.find(key);
                return it == c.ini.end() ? std::nullopt : std::optional<std::string>(it->second);
            },
            c.args, options, error);
        const std::string what = c.args.empty() ? "ini" : c.args.back();
        ASSERT_EQ(ok, !c.listen.empty()) << what << ": " << error;
        if (!ok)
            continue;
        std::string ports, origins;
        for (uint32_t port : options.ports)
            ports += (ports.empty() ? "" : " ") + std::to_string(port);
        for (const std::string& origin : options.allowedOrigins)
            origins += (origins.empty() ? "" : " ") + origin;
        EXPECT_EQ(ports, c.ports) << what;
        EXPECT_EQ(options.listenAddress + ":" + std::to_string(options.listenPort), c.listen) << what;
        EXPECT_EQ(origins, c.origins) << what;
        EXPECT_EQ(options.metricsPort, 0) << what;
    }
}

TEST(BridgeQueue, BoundedByMessagesAndByBytes)
{
    SendQueue byCount, byBytes;
    const auto small = std::make_shared<const std::string>("x");
    for (size_t i = 0; i < SendQueue::kMaxMessages; ++i)
        ASSERT_TRUE(byCount.Push(small)) << i;
    EXPECT_FALSE(byCount.Push(small));
    (void)byCount.Take();
    EXPECT_TRUE(byCount.Push(small));
    const auto half = std::make_shared<const std::string>(SendQueue::kMaxBytes / 2, 'x');
    EXPECT_TRUE(byBytes.Push(half));
    EXPECT_TRUE(byBytes.Push(half));
    EXPECT_FALSE(byBytes.Push(small));
}

namespace {

struct FakeClient : Client {
    std::vector<std::string> got;
    size_t room = 100; // messages it takes before it is "too slow"
    int closedWith = 0;
    bool Send(const std::shared_ptr<const std::string>& message) override
    {
        if (got.size() == room)
            return false;
        got.push_back(*message);
        return true;
    }
    void Close(uint16_t code) override { closedWith = code; }
};

} // namespace

TEST(BridgeIntake, OneItemATurnSoThatWritesStartedMeanwhileKeepPace)
{
    asio::io_context io;
    Intake intake(io);
    std::vector<int> ran;
    for (int i = 0; i < 3; ++i)
        intake.Push([&ran, &io, i] {
            ran.push_back(i);
            asio::post(io, [&ran, i] { ran.push_back(-i); }); // a write's completion
        });
    io.run();
    EXPECT_EQ(ran, (std::vector<int>{0, 0, 1, -1, 2, -2}));
}

TEST(BridgeHub, EveryClientGetsHelloThenEverythingInOrderAndASlowOneIsCountedOnce)
{
    Hub hub;
    hub.AddScanner(0, 3, "open");
    hub.AddScanner(1, 5, "lost");
    auto fast = std::make_shared<FakeClient>(), slow = std::make_shared<FakeClient>();
    slow->room = 2;
    hub.Join(fast);
    hub.Join(slow);
    hub.OnCode(1, ScannedCode("A"), Time{});
    hub.OnStatus(0, BELVOR_STATUS_LOST, 5, true);
    ScannedCode b("]E0B");
    b.symbology = 104;
    hub.OnCode(0, b, Time{});
    hub.OnCode(7, ScannedCode("no such driver"), Time{});
    EXPECT_EQ(hub.Counters().clients, 1u);
    const auto counted = hub.Counters().codesBySymbology;
    ASSERT_EQ(counted.size(), 2u);
    EXPECT_EQ(std::tie(counted[0].port, counted[0].symbology, counted[0].codes),
              std::make_tuple(3u, 104u, 1ull));
    EXPECT_EQ(std::tie(counted[1].port, counted[1].symbology, counted[1].codes),
              std::make_tuple(5u, 0u, 1ull));
    EXPECT_EQ(hub.Counters().closedSlow, 1u);
    ASSERT_EQ(fast->got.size(), 4u);
    EXPECT_EQ(fast->got[0],
              R"({"type":"hello","ports":[{"port":3,"state":"open"},{"port":5,"state":"lost"}]})");
    EXPECT_NE(fast->got[1].find(R"("port":5,"text":"A")"), std::string::npos);
    EXPECT_EQ(fast->got[2], R"({"type":"status","port":3,"state":"gone","error":5})") << "lost for good";
    EXPECT_NE(fast->got[3].find(R"("port":3,"text":"]E0B")"), std::string::npos);
    EXPECT_EQ(slow->got, std::vector<std::string>(fast->got.begin(), fast->got.begin() + 2));
    auto late = std::make_shared<FakeClient>();
    hub.Join(late);
    EXPECT_NE(late->got[0].find(R"({"port":3,"state":"gone"})"), std::string::npos);

    bool allGone = false;
    hub.CloseAll(kCloseGoingAway, [&allGone] { allGone = true; });
    EXPECT_EQ(fast->closedWith, kCloseGoingAway);
    EXPECT_EQ(slow->closedWith, kCloseGoingAway);    // already closing: hurried along
    auto afterStop = std::make_shared<FakeClient>(); // its upgrade was under way
    hub.Join(afterStop);
    EXPECT_TRUE(afterStop->got.empty());
    EXPECT_EQ(afterStop->closedWith, kCloseGoingAway) << "closed at once";
    hub.Leave(fast.get());
    hub.Leave(late.get());
    hub.Leave(slow.get());
    EXPECT_FALSE(allGone) << "and waited for";
    hub.Leave(afterStop.get());
    EXPECT_TRUE(allGone);
}

TEST(BridgeOptions, ServiceOptions)
{
    using Service = BridgeOptions::Service;
    const auto none = [](const char*) -> std::optional<std::string> { return std::nullopt; };
    const struct {
        std::vector<std::string> args;
        bool ok;
        Service service;
    } cases[] = {
        {{"--install-service", "--port", "3"}, true, Service::Install},
        {{"--install-service"}, false, Service::None}, // a service with no scanner
        {{"--uninstall-service"}, true, Service::Uninstall},
        {{"--service", "--port", "3"}, true, Service::Run},
        {{"--port", "3", "--install-service", "--uninstall-service"}, false, Service::None},
    };
    for (const auto& c : cases) {
        BridgeOptions options;
        std::string error;
        ASSERT_EQ(ParseOptions(none, c.args, options, error), c.ok) << c.args.back() << ": " << error;
        if (c.ok) {
            EXPECT_EQ(options.service, c.service) << c.args.back();
        }
    }
}

// What the service manager runs must split back into the same arguments, as the C runtime splits them.
TEST(BridgeOptions, WindowsCommandLine)
{
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"C:\\Program Files\\Belvor\\belvor-bridge.exe", "--service"},
         R"("C:\Program Files\Belvor\belvor-bridge.exe" --service)"},
        {{"--allow-origin", ""}, R"(--allow-origin "")"},
        {{R"(say "hi")"}, R"("say \"hi\"")"},
        {{R"(C:\dir with space\)"}, R"("C:\dir with space\\")"},
        {{R"(a\\"b)", "tab\tx"}, "\"a\\\\\\\\\\\"b\" \"tab\tx\""},
    };
    for (const auto& [args, line] : cases)
        EXPECT_EQ(WindowsCommandLine(args), line) << args.front();
}

TEST(BridgeOptions, TheMetricsListenerFromTheCommandLineOrBelvorIni)
{
    for (const auto& [ini, args] :
         {std::pair<std::optional<std::string>, std::vector<std::string>>{"10.0.0.17:9100", {"--port", "3"}},
          {"10.0.0.9:1", {"--port", "3", "--metrics-listen", "10.0.0.17:9100"}},
          {std::nullopt, {"--port", "3", "--metrics-listen=10.0.0.17:9100"}}}) {
        BridgeOptions options;
        std::string error;
        ASSERT_TRUE(ParseOptions(
            [&ini](const char* key) { return std::string(key) == "MetricsListen" ? ini : std::nullopt; },
            args, options, error))
            << error;
        EXPECT_EQ(options.metricsAddress + ":" + std::to_string(options.metricsPort), "10.0.0.17:9100");
        EXPECT_EQ(options.listenAddress, "127.0.0.1") << "the scans stay on loopback";
    }
}
