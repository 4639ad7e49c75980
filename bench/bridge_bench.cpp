// belvor-bridge's own latency: from its CodeProc being called to a WebSocket
// client's receipt of the code. The bridge runs on the library stand-in
// (paced_belvor), whose codes carry the wall-clock time of the call; this
// client of /scans takes the time of each receipt by the same clock, the
// moment its read returns. The bridge may run natively or under Wine: both
// see the one system clock. bench/bridge_bench.sh starts the bridge and runs
// this program against it.
//
//   bridge_bench --connect ADDR:PORT [--codes N] [--warmup W] [--case NAME]
//                [--platform linux|wine] [--run K] [--out FILE]
//
// The first W codes (100) are not counted: they came while the connection was new.
#include "bench/bench_common.h"

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = boost::beast::websocket;
using tcp = boost::asio::ip::tcp;
using namespace belvor::bench;

struct Options {
    std::string host = "127.0.0.1";
    std::string port = "29170";
    long codes = 3000;
    long warmup = 100;
    std::string name = "steady";
    std::string platform = "linux";
    long run = 0;
    std::string out;
};

bool Parse(int argc, char** argv, Options& options)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        const std::string value = argv[i + 1];
        if (key == "--connect" && value.rfind(':') != std::string::npos) {
            options.host = value.substr(0, value.rfind(':'));
            options.port = value.substr(value.rfind(':') + 1);
        } else if (key == "--codes") {
            options.codes = std::atol(value.c_str());
        } else if (key == "--warmup") {
            options.warmup = std::atol(value.c_str());
        } else if (key == "--case") {
            options.name = value;
        } else if (key == "--platform") {
            options.platform = value;
        } else if (key == "--run") {
            options.run = std::atol(value.c_str());
        } else if (key == "--out") {
            options.out = value;
        } else {
            return false;
        }
    }
    return options.codes > 0 && options.warmup >= 0;
}

// The bridge, under Wine above all (a new prefix), takes a while to listen: tried for three minutes.
void Connect(tcp::socket& socket, const Options& options)
{
    tcp::resolver resolver(socket.get_executor());
    const auto endpoints = resolver.resolve(options.host, options.port);
    for (int attempt = 0;; ++attempt) {
        beast::error_code ec;
        asio::connect(socket, endpoints, ec);
        if (!ec)
            return;
        if (attempt >= 1800)
            throw beast::system_error(ec);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

int64_t WallNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

struct Received {
    std::vector<int64_t> ns; // CodeProc called -> read returned, per counted code
    int64_t lost = 0;        // sequence numbers skipped
    int64_t statuses = 0;    // anything but codes and the hello
};

Received Collect(websocket::stream<tcp::socket>& ws, const Options& options)
{
    Received got;
    beast::flat_buffer buffer;
    long seen = 0;
    long long expected = -1;
    while (static_cast<long>(got.ns.size()) < options.codes) {
        buffer.clear();
        ws.read(buffer);
        const int64_t at = WallNs();
        const auto message = nlohmann::json::parse(beast::buffers_to_string(buffer.data()));
        const std::string type = message.value("type", "");
        if (type != "code") {
            got.statuses += type == "hello" ? 0 : 1;
            continue;
        }
        unsigned long long seq = 0;
        long long calledUs = 0;
        if (std::sscanf(message.value("text", "").c_str(), "%llu %lld", &seq, &calledUs) != 2)
            throw std::runtime_error("not a code of paced_belvor: " + message.dump());
        if (expected >= 0 && static_cast<long long>(seq) > expected)
            got.lost += static_cast<int64_t>(seq) - expected;
        expected = static_cast<long long>(seq) + 1;
        if (++seen > options.warmup)
            got.ns.push_back(at - calledUs * 1000);
    }
    return got;
}

std::string LoadAverage()
{
    std::ifstream file("/proc/loadavg");
    double one = 0;
    file >> one;
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", one);
    return text;
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!Parse(argc, argv, options)) {
        std::fprintf(stderr, "usage: bridge_bench --connect ADDR:PORT [--codes N] [--warmup W] [--case NAME] "
                             "[--platform linux|wine] [--run K] [--out FILE]\n");
        return 2;
    }
    try {
        asio::io_context io;
        websocket::stream<tcp::socket> ws(io);
        Connect(ws.next_layer(), options);
        ws.next_layer().set_option(tcp::no_delay(true));
        ws.handshake(options.host + ":" + options.port, "/scans");
        const std::string load = LoadAverage();
        const int64_t busyStart = MachineBusyNs();
        const int64_t cpuStart = ProcessCpuNs();
        const int64_t start = NowNs();
        const Received got = Collect(ws, options);
        // Everything else that ran meanwhile, the bridge included, in processors.
        const double busy = static_cast<double>(MachineBusyNs() - busyStart - (ProcessCpuNs() - cpuStart)) /
                            static_cast<double>(NowNs() - start);
        beast::error_code ignored;
        ws.close(websocket::close_code::normal, ignored);
        const auto us = [](int64_t ns) { return static_cast<double>(ns) / 1e3; };
        std::printf("bridge %s %s run %ld: %zu codes, p50 %.1f us, p99 %.1f us, max %.1f us, lost %lld; "
                    "load %s, busy besides the client %.2f processors\n",
                    options.platform.c_str(), options.name.c_str(), options.run, got.ns.size(),
                    us(Percentile(got.ns, 50)), us(Percentile(got.ns, 99)), us(Percentile(got.ns, 100)),
                    static_cast<long long>(got.lost), load.c_str(), busy);
        if (!options.out.empty())
            JsonLine()
                .Field("kind", std::string("bridge"))
                .Field("platform", options.platform)
                .Field("case", options.name)
                .Field("run", static_cast<int64_t>(options.run))
                .Field("codes", static_cast<int64_t>(got.ns.size()))
                .Field("lost", got.lost)
                .Field("statuses", got.statuses)
                .Field("load", std::stod(load))
                .Field("busy_besides_client", busy)
                .Field("ns", got.ns)
                .AppendTo(options.out);
        return got.lost == 0 ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bridge_bench: %s\n", e.what());
        return 1;
    }
}
