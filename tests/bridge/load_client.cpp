// The load test's clients at full size, too many messages for Python: CLIENTS
// WebSocket clients of /scans, each of which must get, after its hello, codes
// numbered 0 to CODES-1 in order from each of COMS ports from FIRST_COM on,
// and nothing else.
//
// load_client PORT CLIENTS FIRST_COM COMS CODES: prints "ready" once every
// client has its hello; exits 0 once every client has every code, 1 on the
// first message out of place.
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>

#include <atomic>
#include <charconv>
#include <cstdio>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = boost::asio::ip::tcp;

struct Scale {
    std::string port;
    unsigned clients, firstCom, coms, codes;
};

// "...key":N...: N, or -1.
long long NumberAfter(std::string_view message, std::string_view key)
{
    const size_t at = message.find(key);
    long long value = -1;
    if (at != std::string_view::npos)
        std::from_chars(message.data() + at + key.size(), message.data() + message.size(), value);
    return value;
}

// One client's run; empty, or what went wrong.
std::string Client(const Scale& scale, std::atomic<unsigned>& ready)
{
    boost::asio::io_context io;
    websocket::stream<tcp::socket> ws(io);
    ws.next_layer().open(tcp::v4());
    ws.next_layer().set_option(boost::asio::socket_base::receive_buffer_size(1 << 20));
    ws.next_layer().connect(
        tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), uint16_t(std::stoul(scale.port))));
    ws.read_message_max(0);
    // As the bridge's own page would: clients with no Origin have fewer places.
    ws.set_option(websocket::stream_base::decorator([&scale](websocket::request_type& request) {
        request.set(beast::http::field::origin, "http://127.0.0.1:" + scale.port);
    }));
    ws.handshake("127.0.0.1:" + scale.port, "/scans");
    beast::flat_buffer buffer;
    ws.read(buffer);
    if (beast::buffers_to_string(buffer.data()).find(R"("type":"hello")") == std::string::npos)
        return "no hello";
    ++ready;
    std::vector<unsigned> next(scale.coms, 0);
    for (size_t left = size_t{scale.coms} * scale.codes; left; --left) {
        buffer.clear();
        beast::error_code ec;
        ws.read(buffer, ec);
        if (ec)
            return ec.message() + ", close code " + std::to_string(ws.reason().code) + ", " +
                   std::to_string(left) + " left";
        const std::string_view message(static_cast<const char*>(buffer.data().data()), buffer.size());
        const long long com = NumberAfter(message, R"({"type":"code","port":)") - scale.firstCom;
        if (com < 0 || com >= scale.coms || NumberAfter(message, R"("text":")") != next[com]++)
            return "expected code " + std::to_string(com >= 0 && com < scale.coms ? next[com] - 1 : 0) +
                   ", got " + std::string(message.substr(0, 120));
    }
    ws.close(websocket::close_code::normal);
    return {};
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 6) {
        std::fputs("usage: load_client PORT CLIENTS FIRST_COM COMS CODES\n", stderr);
        return 2;
    }
    const Scale scale{argv[1], unsigned(std::stoul(argv[2])), unsigned(std::stoul(argv[3])),
                      unsigned(std::stoul(argv[4])), unsigned(std::stoul(argv[5]))};
    std::atomic<unsigned> ready{0};
    std::vector<std::string> faults(scale.clients);
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < scale.clients; ++i)
        threads.emplace_back([&, i] {
            try {
                faults[i] = Client(scale, ready);
            } catch (const std::exception& e) {
                faults[i] = e.what();
            }
            if (!faults[i].empty())
                ready = scale.clients + 1; // nobody waits for a client that failed
        });
    while (ready < scale.clients)
        std::this_thread::yield();
    std::puts("ready");
    std::fflush(stdout);
    int status = 0;
    for (unsigned i = 0; i < scale.clients; ++i) {
        threads[i].join();
        if (!faults[i].empty()) {
            std::fprintf(stderr, "load_client: client %u: %s\n", i, faults[i].c_str());
            status = 1;
        }
    }
    return status;
}
