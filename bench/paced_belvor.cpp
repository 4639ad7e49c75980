// A stand-in for the library with its exports, for timing belvor-bridge on its
// own: each driver's thread calls the CodeProc at a steady pace with a code
// that carries the wall-clock time of the call, so that a WebSocket client of
// the bridge can tell how long the code took to reach it. No port is opened.
//
//   BELVOR_PACED_EVERY_US  time from one round of codes to the next (1000)
//   BELVOR_PACED_BURST     codes per round, called one after the other (1)
//
// A code is "<sequence number> <microseconds since 1970 by system_clock>";
// the wall clock is the one a Linux client and a program under Wine share.
#include "belvor.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace {

long EnvNumber(const char* name, long fallback)
{
    const char* text = std::getenv(name);
    const long value = text ? std::strtol(text, nullptr, 10) : 0;
    return value > 0 ? value : fallback;
}

// The callbacks, held while one is called: a SetCodeProc waits for the call under way.
struct Callbacks {
    std::mutex lock;
    CodeProc code = nullptr;
    void* codeContext = nullptr;
    StatusProc status = nullptr;
    void* statusContext = nullptr;
    EventProc event = nullptr;
};
Callbacks gCallbacks;

class PacedDriver {
public:
    PacedDriver(int32_t index, uint32_t port) : index_(index), port_(port)
    {
        thread_ = std::thread([this] { Run(); });
    }
    ~PacedDriver()
    {
        {
            std::lock_guard<std::mutex> guard(stopLock_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    PacedDriver(const PacedDriver&) = delete;
    PacedDriver& operator=(const PacedDriver&) = delete;

    void Fill(BelvorStats& stats) const
    {
        stats.port = port_;
        stats.state = BELVOR_PORT_OPEN;
        stats.codes_delivered = delivered_;
        stats.codes_undelivered = undelivered_;
        stats.ms_since_code = -1;
    }

private:
    void Run()
    {
        const auto every = std::chrono::microseconds(EnvNumber("BELVOR_PACED_EVERY_US", 1000));
        const long burst = EnvNumber("BELVOR_PACED_BURST", 1);
        auto next = std::chrono::steady_clock::now() + every;
        uint64_t seq = 0;
        std::unique_lock<std::mutex> guard(stopLock_);
        while (!wake_.wait_until(guard, next, [this] { return stop_; })) {
            guard.unlock();
            for (long k = 0; k < burst; ++k)
                Deliver(seq++);
            guard.lock();
            next = std::max(next + every, std::chrono::steady_clock::now());
        }
    }

    void Deliver(uint64_t seq)
    {
        std::lock_guard<std::mutex> guard(gCallbacks.lock);
        if (!gCallbacks.code) {
            ++undelivered_;
            return;
        }
        const auto now = std::chrono::system_clock::now().time_since_epoch();
        char code[48];
        const int length = std::snprintf(
            code, sizeof code, "%llu %lld", static_cast<unsigned long long>(seq),
            static_cast<long long>(std::chrono::duration_cast<std::chrono::microseconds>(now).count()));
        gCallbacks.code(index_, reinterpret_cast<const unsigned char*>(code), static_cast<uint32_t>(length),
                        gCallbacks.codeContext);
        ++delivered_;
    }

    int32_t index_;
    uint32_t port_;
    std::atomic<uint64_t> delivered_{0};
    std::atomic<uint64_t> undelivered_{0};
    std::mutex stopLock_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

// Driver indexes are positions here, as the library's are: 0 to 9, newest last.
std::mutex gDriversLock;
std::vector<std::unique_ptr<PacedDriver>> gDrivers;
constexpr size_t kMaxDrivers = 10;

} // namespace

extern "C" {

BELVOR_API int32_t BELVOR_CALL InitDriver(uint32_t port, EventProc callback)
{
    std::lock_guard<std::mutex> guard(gDriversLock);
    if ((port & 0xFF) == 0 || gDrivers.size() >= kMaxDrivers)
        return -1;
    {
        std::lock_guard<std::mutex> callbacks(gCallbacks.lock);
        gCallbacks.event = callback;
    }
    const auto index = static_cast<int32_t>(gDrivers.size());
    gDrivers.push_back(std::make_unique<PacedDriver>(index, port & 0xFF));
    return index;
}

BELVOR_API int32_t BELVOR_CALL DestroyDriver(void)
{
    std::lock_guard<std::mutex> guard(gDriversLock);
    if (gDrivers.empty())
        return -1;
    gDrivers.pop_back();
    return static_cast<int32_t>(gDrivers.size());
}

BELVOR_API EventProc BELVOR_CALL SetEventProc(EventProc callback)
{
    std::lock_guard<std::mutex> guard(gCallbacks.lock);
    return std::exchange(gCallbacks.event, callback);
}

BELVOR_API CodeProc BELVOR_CALL SetCodeProc(CodeProc proc, void* context)
{
    std::lock_guard<std::mutex> guard(gCallbacks.lock);
    gCallbacks.codeContext = context;
    return std::exchange(gCallbacks.code, proc);
}

BELVOR_API StatusProc BELVOR_CALL SetStatusProc(StatusProc proc, void* context)
{
    std::lock_guard<std::mutex> guard(gCallbacks.lock);
    gCallbacks.statusContext = context;
    return std::exchange(gCallbacks.status, proc);
}

BELVOR_API int32_t BELVOR_CALL GetDriverStats(int32_t driver, BelvorStats* stats)
{
    std::lock_guard<std::mutex> guard(gDriversLock);
    if (!stats || driver < 0 || static_cast<size_t>(driver) >= gDrivers.size() || stats->size < 8)
        return -1;
    BelvorStats full{};
    full.size = static_cast<uint32_t>(std::min<size_t>(stats->size, sizeof full));
    gDrivers[static_cast<size_t>(driver)]->Fill(full);
    std::memcpy(stats, &full, full.size);
    return 0;
}

} // extern "C"
