// Micro-benchmarks of the library's two per-code paths, with Google Benchmark:
// the code assembly on the port's worker (per byte: ReadChar with the ring's
// lock, the allow-list, and per code the queue with its lock), and one log
// record with its rotation check, open, append and close.
//
// The driver runs on a device made of memory, so that nothing but the
// library's own work is timed. Its worker thread runs as always but never
// hands anything over: the benchmark moves the bytes into the ring itself
// with the port's receive step, outside the timed part, and then times the
// driver's DataReceived over them.
#include "driver/Testing.h"
#include "logging/Logger.h"
#include "platform/seams.h"
#include "platform/serial_device.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace belvor;

class MemoryDevice final : public platform::SerialDevice {
public:
    // Filled and read on the benchmark's thread only; the worker only waits.
    std::vector<uint8_t> Input;
    size_t Pos = 0;

    platform::Result<> SetQueueSizes(uint32_t, uint32_t) override { return {}; }
    platform::Result<> Configure(const platform::LineConfig&) override { return {}; }
    platform::Result<platform::LineConfig> Settings() override { return platform::LineConfig{}; }
    void Arm(const platform::RefusedWatches&) override {}
    platform::Result<platform::InputState> Status() override
    {
        return platform::InputState{static_cast<uint32_t>(Input.size() - Pos), {}};
    }
    platform::Result<> DropInput() override
    {
        Pos = Input.size();
        return {};
    }
    // A wait that never completes: never any news.
    platform::Result<platform::LineSighting> Look() override { return platform::LineSighting{}; }
    platform::Result<uint32_t> Read(uint8_t* dest, uint32_t size) override
    {
        const size_t n = std::min<size_t>(size, Input.size() - Pos);
        std::memcpy(dest, Input.data() + Pos, n);
        Pos += n;
        return static_cast<uint32_t>(n);
    }
};

MemoryDevice* gDevice = nullptr;

platform::OpenedDevice OpenMemoryDevice(uint16_t, const std::string&)
{
    auto device = std::make_unique<MemoryDevice>();
    gDevice = device.get();
    return std::unique_ptr<platform::SerialDevice>(std::move(device));
}

class TBenchBelvor final : public TBelvor {
public:
    using TBelvor::TBelvor;

    // The port's receive step, with the driver's reaction held back.
    int32_t Fill()
    {
        FHold = true;
        FHeld = 0;
        (void)PortTesting::ReceiveData(*this);
        FHold = false;
        return FHeld;
    }
    void Assemble(int32_t count) { TBelvor::DataReceived(count); }
    void DropQueue()
    {
        while (QueueCount() != 0)
            QueueRemoveHead();
    }

protected:
    void DataReceived(int32_t count) override
    {
        if (FHold)
            FHeld = count;
        else
            TBelvor::DataReceived(count);
    }

private:
    bool FHold = false;
    int32_t FHeld = 0;
};

constexpr size_t kChunk = 4096;

// kChunk bytes of codes of the given length, each followed by a CR.
std::vector<uint8_t> Stream(size_t codeLength)
{
    static const char kDigits[] = "0123456789";
    std::vector<uint8_t> bytes;
    for (size_t i = 0; bytes.size() < kChunk; ++i)
        bytes.push_back(i % (codeLength + 1) == codeLength ? '\r' : static_cast<uint8_t>(kDigits[i % 10]));
    return bytes;
}

// Per byte of a stream of codes. With woken set, a stand-in delivery thread
// waits in the driver's slot, so that each finished code also pays for
// waking a waiting thread, as it does on a quiet line.
void Assembly(benchmark::State& state, size_t codeLength, bool woken)
{
    const platform::Seams previous = platform::SetSeam(&platform::Seams::Opener, &OpenMemoryDevice);
    {
        TBenchBelvor driver(1);
        constexpr int32_t kSlot = kMaxDrivers - 1;
        std::unique_ptr<TBelvorThread> standIn;
        if (woken) {
            // Its driver slot stays empty: it wakes, finds no driver and waits again.
            standIn = std::make_unique<TBelvorThread>(kSlot, DeliveryRecheckBound(false));
            driver.SetDeliveryWake(&standIn->WakeEvent());
        }
        const std::vector<uint8_t> stream = Stream(codeLength);
        for (auto _ : state) {
            state.PauseTiming();
            driver.DropQueue();
            gDevice->Input = stream;
            gDevice->Pos = 0;
            const int32_t count = driver.Fill();
            state.ResumeTiming();
            driver.Assemble(count);
        }
        state.counters["per_byte"] =
            benchmark::Counter(static_cast<double>(kChunk),
                               benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
        if (standIn) {
            driver.SetDeliveryWake(nullptr);
            standIn.reset();
        }
        driver.DropQueue();
    }
    platform::SetSeams(previous);
}

void BM_AssemblyEan13(benchmark::State& state)
{
    Assembly(state, 13, false);
}
void BM_AssemblyEan13Woken(benchmark::State& state)
{
    Assembly(state, 13, true);
}
void BM_AssemblyLongCodes(benchmark::State& state)
{
    Assembly(state, 100, false);
}

// One record as the delivery thread writes it for a code, into the log file
// beside this program; the file is rotated every 100 KiB as always.
void BM_LogRecord(benchmark::State& state)
{
    InitLogger({});
    for (auto _ : state)
        LogMessage(1, "4006381333931");
    ShutdownLogger();
}

BENCHMARK(BM_AssemblyEan13);
BENCHMARK(BM_AssemblyEan13Woken);
BENCHMARK(BM_AssemblyLongCodes);
BENCHMARK(BM_LogRecord);

} // namespace

BENCHMARK_MAIN();
