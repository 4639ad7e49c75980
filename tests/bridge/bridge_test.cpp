// The bridge's plain parts: what it renders, what it lets in, what it is told,
// the hub's fan-out and when the scanner set tries a port again, without a network.
#include "programs/bridge/access.h"
#include "programs/bridge/hub.h"
#include "programs/bridge/intake.h"
#include "programs/bridge/log_file.h"
#include "programs/bridge/metrics.h"
#include "programs/bridge/options.h"
#include "programs/bridge/scanner_set.h"
#include "programs/bridge/send_queue.h"
#ifdef _WIN32
#include "programs/bridge/win32_folders.h"
#include <sddl.h>
#endif

#include "logging/Logger.h"
#include "tests/support/file_bytes.h"

#include "driver/Settings.h"
#include "platform/errors.h"
#include "platform/profile.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <tuple>

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
    // Still unplugged: lost twice, back once.
    b.stats.state = BELVOR_PORT_LOST, b.stats.losses = 2, b.stats.returns = 1, b.stats.parity_errors = 6,
    b.stats.codes_dropped = 9, b.stats.reader_stalled = 1, b.stats.reader_stalls = 3;
    a.stats.ms_since_code = 1234, b.stats.ms_since_code = -1, b.stats.queue_high = 7,
    b.stats.bytes_refused = 11, b.stats.codes_unidentified = 5;
    const std::string text = RenderMetrics({a, b}, BridgeCounters{2, 1, {{3, 208, 4}, {3, 0, 1}}});
    for (const char* line : {"belvor_codes_total{port=\"3\"} 12\n",
                             "belvor_codes_cut_total{port=\"3\"} 1\n",
                             "belvor_codes_dropped_total{port=\"5\"} 9\n",
                             "belvor_losses_total{port=\"5\"} 2\n",
                             "belvor_returns_total{port=\"5\"} 1\n",
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
    const std::string json = ScannersJson({a, b});
    EXPECT_NE(json.find(R"("losses":2,"returns":1,)"), std::string::npos) << json;
    EXPECT_NE(json.find(R"("reader_stalls":3,"ms_since_round":0,"codes_unidentified":5})"), std::string::npos)
        << json;
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
        // Names that only begin like this bridge's: a DNS name of an attacker's own.
        {&loopback, "localhost.attacker.example:29170", false},
        {&loopback, "localhostx:29170", false},
        {&loopback, "127.0.0.1.attacker.example:29170", false},
        {&v6, "localhost.attacker.example", false},
        {&every, "localhost.attacker.example:29170", false},
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
        {{},
         {"--port", "3, 4", "--port=5", "--allow-origin=https://a.example,http://b:81"},
         "3 4 5",
         "127.0.0.1:29170",
         "https://a.example http://b:81"},
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
        {{}, {"--port", "3", "--manual-start"}, "", "", ""},
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

namespace {

// A library whose InitDriver opens a port only when told to, counting its tries:
// each one it refuses is a record in the driver's log.
struct FakeLibrary {
    static inline bool opens = false;
    static inline int tries = 0;
    static int32_t BELVOR_CALL InitDriver(uint32_t, EventProc)
    {
        ++tries;
        belvor::platform::SetLastSystemError(2); // ENOENT, ERROR_FILE_NOT_FOUND
        return opens ? 0 : -1;
    }
    static int32_t BELVOR_CALL DestroyDriver() { return 0; }
    static CodeProc BELVOR_CALL SetCodeProc(CodeProc, void*) { return nullptr; }
    static StatusProc BELVOR_CALL SetStatusProc(StatusProc, void*) { return nullptr; }
    static int32_t BELVOR_CALL GetDriverStats(int32_t, BelvorStats*) { return 0; } // all zero: open
};

} // namespace

TEST(BridgeScanners, APortMissingAtTheStartIsTriedThroughTheLibraryOnlyWhenItMayOpen)
{
    // Each step: rounds a second apart (none: the start), whether a look finds the port free
    // to open, whether the library opens it; then the library's tries so far and the state.
    using Step = std::tuple<int, bool, bool, int, std::string>;
    const std::pair<bool, std::vector<Step>> cases[] = {
        // Missing: tried once an hour, and at once when plugged in.
        {true,
         {{0, false, false, 1, "lost"},
          {3599, false, false, 1, "lost"},
          {1, false, false, 2, "lost"},
          {1, true, true, 3, "open"}}},
        // Free to open, yet refused: after 1, 2, 4 ... 1024 s, and at once when free again.
        {true,
         {{0, true, false, 1, "lost"},
          {3600, true, false, 12, "lost"},
          {1, false, false, 12, "lost"},
          {1, true, true, 13, "open"}}},
        {false, {{0, false, false, 1, "gone"}, {3600, true, true, 1, "gone"}}}, // Reconnect=0
    };
    const BelvorFunctions library{
        &FakeLibrary::InitDriver,  &FakeLibrary::DestroyDriver, nullptr,
        &FakeLibrary::SetCodeProc, &FakeLibrary::SetStatusProc, &FakeLibrary::GetDriverStats};
    for (const auto& [reconnects, steps] : cases) {
        FakeLibrary::tries = 0;
        bool free = false;
        Clock::time_point now{};
        asio::io_context io;
        Hub hub;
        ScannerSet scanners(
            library, io, hub,
            {[&](uint32_t) { return free; }, [&](uint32_t) { return reconnects; }, [&] { return now; }});
        for (const auto& [rounds, looksFree, opens, tries, state] : steps) {
            std::tie(free, FakeLibrary::opens) = std::tie(looksFree, opens);
            if (rounds == 0)
                scanners.Open({3});
            for (int round = 0; round < rounds; ++round) {
                now += std::chrono::seconds(1);
                scanners.Retry();
            }
            SCOPED_TRACE(testing::Message()
                         << "Reconnect=" << reconnects << ", at "
                         << std::chrono::floor<std::chrono::seconds>(now - Clock::time_point{}).count());
            EXPECT_EQ(FakeLibrary::tries, tries);
            const BelvorStats stats = scanners.Reports().at(0).stats;
            EXPECT_EQ(StateName(stats.state) + std::to_string(stats.last_error),
                      state + (state == "open" ? "0" : "2"));
            auto client = std::make_shared<FakeClient>();
            hub.Join(client);
            EXPECT_NE(client->got.at(0).find(R"("state":")" + state), std::string::npos) << client->got[0];
            hub.Leave(client.get());
        }
    }
}

TEST(BridgeScanners, ReconnectIsReadAsTheDriverReadsIt)
{
    const char* tmp = std::getenv("BELVOR_TEST_TMP");
    const std::string path =
        ((tmp ? std::filesystem::path(tmp) : std::filesystem::temp_directory_path()) / "bridge-reconnect.ini")
            .string();
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    const auto read = [&path](const char* section, const char* key) -> std::optional<std::string> {
        std::string value = belvor::platform::ReadProfileString(path.c_str(), section, key, "\x01");
        return value == "\x01" ? std::nullopt : std::optional<std::string>(value);
    };
    for (const std::string own : {"", "[COM3]\r\nReconnect=1", "[COM3]\r\nReconnect=0",
                                  "[COM3]\r\nReconnect=yes", "[COM4]\r\nReconnect=0"}) {
        for (const std::string port : {"", "Reconnect=0", "Reconnect=0 ; never"}) {
            std::ofstream(path, std::ios::binary | std::ios::trunc) << own << "\r\n[Port]\r\n"
                                                                    << port << "\r\n";
            EXPECT_EQ(PortReconnects(read, 3), belvor::ReadDriverSettings(path.c_str(), 3).Reconnect)
                << own << port;
        }
    }
    std::filesystem::remove(path);
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

// The service's own log: rotated as the library's, and what the file cannot take goes to the event
// log, with why, once for each spell the file fails.
TEST(BridgeLog, RotatedAsTheLibrarysLogAndWhatTheFileCannotTakeFallsBack)
{
    namespace fs = std::filesystem;
    const char* tmp = std::getenv("BELVOR_TEST_TMP");
    const fs::path dir = fs::path(tmp && *tmp ? tmp : fs::temp_directory_path().string()) /
                         ("bridge-log-" + std::to_string(std::random_device()()));
    fs::create_directories(dir);
    const fs::path path = dir / "belvor-bridge.log";
    std::vector<std::pair<std::string, bool>> fallen;
    LogFile log(path.string(),
                [&fallen](const std::string& text, bool failure) { fallen.emplace_back(text, failure); });

    const std::string full(belvor::kLogSizeLimit, 'x');
    log.Write(full);
    log.Write("at the limit\n"); // past it now: the next message starts a new file
    log.Write("first\n");
    EXPECT_EQ(belvor::test::ReadBytes(path.string() + ".0"), full + "at the limit\n");
    EXPECT_EQ(belvor::test::ReadBytes(path), "first\n");
    log.Write(full);
    log.Write("second\n");
    EXPECT_EQ(belvor::test::ReadBytes(path.string() + ".1"), full + "at the limit\n");
    EXPECT_EQ(belvor::test::ReadBytes(path.string() + ".0"), "first\n" + full);
    EXPECT_EQ(belvor::test::ReadBytes(path), "second\n");
    EXPECT_TRUE(fallen.empty());

    fs::remove_all(dir);
    log.Write("one\n");
    log.Write("two\r\n");
    ASSERT_EQ(fallen.size(), 3u);
#ifdef _WIN32
    constexpr uint32_t kNoFolder = 3; // ERROR_PATH_NOT_FOUND
#else
    constexpr uint32_t kNoFolder = ENOENT;
#endif
    EXPECT_TRUE(fallen[0].second);
    EXPECT_EQ(fallen[0].first, "belvor-bridge: cannot write " + path.string() + " (" +
                                   belvor::platform::SystemMessage(kNoFolder) +
                                   "): the messages go here until it can be written");
    EXPECT_EQ(fallen[1], std::make_pair(std::string("one"), false));
    EXPECT_EQ(fallen[2], std::make_pair(std::string("two"), false));
    fs::create_directories(dir);
    log.Write("back\n");
    EXPECT_EQ(belvor::test::ReadBytes(path), "back\n");
    fs::remove_all(dir);
    log.Write("gone again\n");
    EXPECT_EQ(fallen.size(), 5u) << "the reason told again";
}

#ifdef _WIN32
// Who may change what the service runs or reads: one of the groups every user is in, by an entry that
// allows writing, adding, deleting or changing the rights, unless one for every user denied it first
// (inherit-only entries are for what the folder will hold); or an owner who is not the system, the
// administrators, TrustedInstaller or the one installing.
TEST(BridgeFolders, TheGroupsEveryUserIsInAndTheOwnersThatMayChangeAFileOrFolder)
{
    const std::tuple<const char*, const char*, const char*> cases[] = {
        {"O:SYD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", "",
         ""}, // as the install makes them
        {"O:BAD:(A;OICIID;FA;;;BA)(A;OICIID;0x1301bf;;;AU)", "Authenticated Users", ""}, // made in C:'s root
        {"D:(A;;FA;;;BA)(A;OICIIO;FA;;;AU)", "", ""},
        {"D:(D;;FA;;;WD)(A;;FA;;;BU)", "", ""},
        {"D:(A;;FA;;;BU)(D;;FA;;;WD)", "Users", ""}, // allowed before it is denied
        {"D:(D;;FA;;;BG)(A;;FA;;;BU)", "Users", ""}, // not every user is a guest
        {"D:(A;;GA;;;IU)(A;;GW;;;S-1-5-113)", "INTERACTIVE, Local account", ""},
        {"D:(A;;0x1200a9;;;WD)(A;;0x10000;;;AU)(A;;0x40000;;;BU)(A;;0x4;;;WD)",
         "Authenticated Users, Users, Everyone", ""},
        {"D:(A;;FA;;;S-1-5-21-1-2-3-513)(A;;FA;;;S-1-5-21-1-2-3-1001)", "Domain Users",
         ""},                                                                // not a named user
        {"O:S-1-5-21-1-2-3-1001D:P(A;;FA;;;SY)", "", "S-1-5-21-1-2-3-1001"}, // made by a user
        {"O:S-1-5-21-1-2-3-500D:P(A;;FA;;;SY)", "", ""},                     // by the one installing
        {"O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464D:P(A;;FA;;;SY)", "", ""},
    };
    PSID self = nullptr;
    ASSERT_TRUE(ConvertStringSidToSidA("S-1-5-21-1-2-3-500", &self));
    for (const auto& [sddl, groups, owner] : cases) {
        PSECURITY_DESCRIPTOR sd = nullptr;
        ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, &sd, nullptr))
            << sddl;
        const belvor::bridge::win32::Others others = belvor::bridge::win32::OthersWhoMayChange(sd, self);
        EXPECT_EQ(others.groups, groups) << sddl;
        EXPECT_EQ(others.owner, owner) << sddl;
        LocalFree(sd);
    }
    LocalFree(self);
    SECURITY_DESCRIPTOR open{};
    InitializeSecurityDescriptor(&open, SECURITY_DESCRIPTOR_REVISION);
    EXPECT_EQ(belvor::bridge::win32::OthersWhoMayChange(&open, nullptr).groups, "Everyone") << "no DACL";
    SetSecurityDescriptorDacl(&open, TRUE, nullptr, FALSE);
    EXPECT_EQ(belvor::bridge::win32::OthersWhoMayChange(&open, nullptr).groups, "Everyone") << "a null DACL";
}
#endif
