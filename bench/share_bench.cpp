// The library's own share of a code's latency: from the moment the port's
// worker hands the bytes holding the code's CR to the driver (DataReceived)
// to the entry of the host's callback. That span is the code assembly, the
// queue, the delivery thread's wake-up, the code's log record and the
// counted string; the rest of a code's latency is the wait for the worker's
// next cycle.
//
// The library is linked in (the core libraries, as the tests link them) so
// that a subclass of TBelvor can note the time at which DataReceived is
// entered and then run the driver's own DataReceived; nothing else differs
// from a driver made by InitDriver, whose steps this program takes in turn.
// Codes go into a pty, one at a time, 15-35 ms apart. Afterwards, for
// comparison, the bare wake-up of a waiting thread and one log record are
// timed the same way.
//
//   share_bench [--codes N] [--run K] [--out FILE]
#include "bench/bench_common.h"
#include "bench/wake_config.h"
#include "driver/Testing.h"
#include "logging/Logger.h"
#include "platform/sync.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

using namespace belvor;
using namespace belvor::bench;

constexpr uint8_t kPort = 210;

std::atomic<int64_t> gHandOver{0};
std::vector<std::atomic<int64_t>> gHandOverOf;
std::vector<std::atomic<int64_t>> gCalled;
std::atomic<uint64_t> gCount{0};

class TTimedBelvor final : public TBelvor {
public:
    using TBelvor::TBelvor;

protected:
    void DataReceived(int32_t count) override
    {
        if (count > 0)
            gHandOver.store(NowNs(), std::memory_order_relaxed);
        TBelvor::DataReceived(count);
    }
};

void BELVOR_CALL OnCode(const unsigned char* counted)
{
    const int64_t at = NowNs();
    // The codes are far apart, so the latest hand-over is this code's.
    const int64_t handOver = gHandOver.load(std::memory_order_relaxed);
    unsigned line = 0;
    uint64_t seq = 0;
    if (ParseCode(reinterpret_cast<const char*>(counted + 1), counted[0], line, seq) &&
        seq < gCalled.size()) {
        gHandOverOf[seq].store(handOver, std::memory_order_relaxed);
        gCalled[seq].store(at, std::memory_order_relaxed);
    }
    gCount.fetch_add(1, std::memory_order_release);
}

// InitDriver's steps, with the timed driver in place of a TBelvor.
void OpenTimedDriver(uint8_t port)
{
    SetEventProcImpl(&OnCode);
    auto driver = std::make_unique<TTimedBelvor>(port);
    const uint32_t recheckMs = DeliveryRecheckBound(driver->WakeOnEvent());
    if (!AddDriver(std::move(driver), recheckMs))
        throw std::runtime_error("cannot start the delivery thread");
}

// The same wake-up as the driver's (a thread waiting on an auto-reset event,
// set from another), with nothing else around it and the same spacing: what
// the machine itself charges for waking a sleeping thread.
std::vector<int64_t> BareWakeUps(size_t count, uint32_t seed)
{
    platform::Event event(false);
    std::atomic<int64_t> setAt{0};
    std::atomic<bool> stop{false};
    std::vector<int64_t> ns;
    ns.reserve(count);
    std::thread waiter([&] {
        while (!stop) {
            if (event.Wait(1000).ValueOr(false) && !stop)
                ns.push_back(NowNs() - setAt.load());
        }
    });
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> pause(15000, 35000);
    for (size_t i = 0; i < count; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(pause(random)));
        setAt.store(NowNs());
        event.Set();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    stop = true;
    event.Set();
    waiter.join();
    return ns;
}

// One log record as the delivery thread writes it per code, at the same
// spacing, so with caches as cold as the driver finds them.
std::vector<int64_t> SpacedLogRecords(size_t count, uint32_t seed)
{
    std::vector<int64_t> ns;
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> pause(15000, 35000);
    for (size_t i = 0; i < count; ++i) {
        std::this_thread::sleep_for(std::chrono::microseconds(pause(random)));
        const int64_t start = NowNs();
        LogMessage(1, "4006381333931");
        ns.push_back(NowNs() - start);
    }
    return ns;
}

} // namespace

int main(int argc, char** argv)
{
    long codes = 400;
    long run = 0;
    std::string out;
    if (!ReadOptions(argc, argv, 1,
                     {{"--codes", [&](const char* v) { codes = std::atol(v); }},
                      {"--run", [&](const char* v) { run = std::atol(v); }},
                      {"--out", [&](const char* v) { out = v; }}}) ||
        codes < 1)
        return 2;
    const auto n = static_cast<size_t>(codes);
    gHandOverOf = std::vector<std::atomic<int64_t>>(n);
    gCalled = std::vector<std::atomic<int64_t>>(n);
    try {
        Pty pty;
        pty.LinkAs(kPort);
        // The polling driver, whatever a Belvor.ini left behind says.
        const WakeConfig config(BELVOR_SYSTEM_DIR "/Belvor.ini");
        config.Use(false);
        OpenTimedDriver(kPort);

        const int64_t busyStart = MachineBusyNs();
        const int64_t cpuStart = ProcessCpuNs();
        const int64_t start = NowNs();
        std::vector<int64_t> written(n, 0);
        std::mt19937 random(static_cast<uint32_t>(2000 + run));
        std::uniform_int_distribution<int> pause(15000, 35000);
        for (size_t seq = 0; seq < n; ++seq) {
            pty.Write(CodeText(0, seq));
            written[seq] = NowNs();
            pty.Write("\r", 1);
            std::this_thread::sleep_for(std::chrono::microseconds(pause(random)));
        }
        for (int i = 0; i < 200 && gCount.load() < n; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        // What else kept the processors busy meanwhile, in processors.
        const double background =
            static_cast<double>(MachineBusyNs() - busyStart - (ProcessCpuNs() - cpuStart)) /
            static_cast<double>(NowNs() - start);
        DestroyDriverImpl();

        std::vector<int64_t> share;
        std::vector<int64_t> cycle;
        std::vector<int64_t> total;
        for (size_t seq = 0; seq < n; ++seq) {
            const int64_t called = gCalled[seq].load();
            if (called == 0)
                continue;
            share.push_back(called - gHandOverOf[seq].load());
            cycle.push_back(gHandOverOf[seq].load() - written[seq]);
            total.push_back(called - written[seq]);
        }
        const auto us = [](int64_t ns) { return static_cast<double>(ns) / 1e3; };
        std::printf(
            "share run %ld: %zu codes, DataReceived -> callback p50 %.1f us, p99 %.1f us, max %.1f us; "
            "write -> DataReceived p50 %.0f us, p99 %.0f us; background load %.2f processors\n",
            run, share.size(), us(Percentile(share, 50)), us(Percentile(share, 99)),
            us(Percentile(share, 100)), us(Percentile(cycle, 50)), us(Percentile(cycle, 99)), background);
        const std::vector<int64_t> wakes = BareWakeUps(100, static_cast<uint32_t>(2500 + run));
        std::printf("  a bare wake-up of a waiting thread: p50 %.1f us, p99 %.1f us\n",
                    us(Percentile(wakes, 50)), us(Percentile(wakes, 99)));
        InitLogger({});
        const std::vector<int64_t> records = SpacedLogRecords(100, static_cast<uint32_t>(2700 + run));
        std::printf("  one log record, as spaced: p50 %.1f us, p99 %.1f us\n", us(Percentile(records, 50)),
                    us(Percentile(records, 99)));
        if (!out.empty())
            JsonLine()
                .Field("kind", std::string("share"))
                .Field("platform", std::string("linux"))
                .Field("run", static_cast<int64_t>(run))
                .Field("codes", static_cast<int64_t>(n))
                .Field("lost", static_cast<int64_t>(n - share.size()))
                .Field("background", background)
                .Field("share_ns", share)
                .Field("cycle_ns", cycle)
                .Field("total_ns", total)
                .Field("wake_ns", wakes)
                .Field("log_ns", records)
                .AppendTo(out);
        return share.size() == n ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "share_bench: %s\n", e.what());
        return 1;
    }
}
