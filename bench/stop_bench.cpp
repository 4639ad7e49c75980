// How long a stop takes while the worker is busy, under Wine on the null-modem
// pair COM7 <-> COM8 of tools/wine-run.sh: bursts of 8192 carriage returns
// (8192 codes in one receive step) are sent and the driver object is closed at
// varying moments. It prints the time Close took (stop request to the worker's
// end, device closed), the longest single DataReceived of an unstopped burst,
// and how many stops had to give up on the worker (never, if all is well).
// The DataReceived figure leaves out the delivery thread's wake-ups; the
// DestroyDriver one has everything a host's driver does.
//
//   tools/wine-run.sh "$PWD/build/windows/wine" build/windows/bin/stop_bench.exe [rounds]
#include "bench/win32_bench.h"
#include "driver/Testing.h"
#include "platform/thread.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace belvor;

namespace {

// The driver object with its DataReceived timed.
class TimedDriver : public TBelvor {
public:
    TimedDriver() : TBelvor(7) {}
    ~TimedDriver() override { Close(); }
    std::atomic<int64_t> Longest{0};
    std::atomic<int64_t> Codes{0};

protected:
    void DataReceived(int32_t count) override
    {
        const int64_t start = bench::NowUs();
        TBelvor::DataReceived(count);
        const int64_t took = bench::NowUs() - start;
        if (took > Longest)
            Longest = took;
        Codes += count;
    }
};

void BELVOR_CALL OnCode(const unsigned char*) {}

} // namespace

int main(int argc, char** argv)
{
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;
    try {
        const auto peer = bench::ScannerEnd();
        const std::string burst(8192, '\r');

        // The driver object alone: how long one receive step's DataReceived
        // takes for what one read brings of a burst.
        std::vector<int64_t> longest;
        for (int i = 0; i < 5; ++i) {
            TimedDriver driver;
            driver.StartReceiving();
            bench::Type(*peer, burst);
            for (int wait = 0; wait < 500 && driver.Codes < 8192; ++wait)
                Sleep(10);
            longest.push_back(driver.Longest);
        }
        bench::PrintTimes("longest DataReceived in a burst", longest);

        // Whole drivers, as a host has them (delivery thread, log, callback):
        // DestroyDriver at a different moment of a burst each round.
        std::vector<int64_t> stops;
        const uint32_t lateBefore = platform::LateThreadStops();
        for (int i = 0; i < rounds; ++i) {
            if (InitDriverImpl(7, &OnCode) != 0)
                throw std::runtime_error("cannot create a driver on COM7");
            bench::Type(*peer, burst);
            Sleep(static_cast<DWORD>(i % 40));
            const int64_t start = bench::NowUs();
            DestroyDriverImpl();
            stops.push_back(bench::NowUs() - start);
        }
        bench::PrintTimes("DestroyDriver during a burst", stops);
        std::printf("stops that gave up on the worker: %u of %d\n", platform::LateThreadStops() - lateBefore,
                    rounds);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "stop_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
