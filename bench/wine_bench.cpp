// The Windows benchmark host, run under Wine by tools/bench.sh through
// tools/wine-run.sh, which joins COM7 and COM8 into a null-modem pair (two
// ptys and socat between them). This program plays both the scanner, writing
// into COM8, and the host, loading Belvor.dll on COM7, so that every time is
// taken in one process with QueryPerformanceCounter. Every byte crosses
// socat on its way, which adds its own delay; the plain ReadFile loop on
// COM7, measured the same way, shows what the line costs without the driver.
//
//   wine_bench latency    [--codes N] [--run K]   the ReadFile loop, then the library polling, then
//                                                 the library asleep until news ([Port] Wake=Event)
//   wine_bench throughput [--seconds S] [--run K] the same three, at full speed
//   wine_bench idle       [--seconds S] [--run K] this process's CPU time with no driver, one
//                                                 polling and one asleep until news
//   wine_bench log        [--codes N] [--run K]   one log record, as the delivery thread writes it per code
//
// Results go to standard output as lines that start with "JSON ".
#include "belvor.h"
#include "bench/bench_stats.h"
#include "logging/Logger.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace belvor::bench;

namespace {

int64_t gFrequency = 1;

int64_t NowNs()
{
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return static_cast<int64_t>(static_cast<double>(counter.QuadPart) * 1e9 /
                                static_cast<double>(gFrequency));
}

HANDLE OpenLine(const char* name, bool overlapped)
{
    const HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 overlapped ? FILE_FLAG_OVERLAPPED : FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        throw std::runtime_error(std::string("cannot open ") + name);
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(h, &dcb);
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fBinary = TRUE;
    SetCommState(h, &dcb);
    return h;
}

void WriteAll(HANDLE h, const void* data, DWORD size)
{
    DWORD written = 0;
    if (!WriteFile(h, data, size, &written, nullptr) || written != size)
        throw std::runtime_error("write to COM8 failed");
}

// What came out: the time of each sequence number, and the order.
struct Sink {
    std::vector<std::atomic<int64_t>> Times;
    std::atomic<uint64_t> Count{0};
    std::atomic<uint64_t> OutOfOrder{0};
    std::atomic<int64_t> Last{0};
    uint64_t NextSeq = 0;

    void Got(const char* text, size_t size, int64_t at)
    {
        unsigned line = 0;
        uint64_t seq = 0;
        if (!ParseCode(text, size, line, seq))
            return;
        if (seq != NextSeq)
            ++OutOfOrder;
        NextSeq = seq + 1;
        if (seq < Times.size())
            Times[seq].store(at);
        Last.store(at);
        Count.fetch_add(1);
    }
};

Sink* gSink = nullptr;

void BELVOR_CALL OnCode(const unsigned char* counted)
{
    const int64_t at = NowNs();
    gSink->Got(reinterpret_cast<const char*>(counted + 1), counted[0], at);
}

struct Library {
    int32_t(BELVOR_CALL* InitDriver)(uint32_t, EventProc) = nullptr;
    int32_t(BELVOR_CALL* DestroyDriver)() = nullptr;

    Library()
    {
        const HMODULE dll = LoadLibraryA("Belvor.dll");
        if (!dll)
            throw std::runtime_error("cannot load Belvor.dll");
        InitDriver = reinterpret_cast<decltype(InitDriver)>(
            reinterpret_cast<void*>(GetProcAddress(dll, "InitDriver")));
        DestroyDriver = reinterpret_cast<decltype(DestroyDriver)>(
            reinterpret_cast<void*>(GetProcAddress(dll, "DestroyDriver")));
        if (!InitDriver || !DestroyDriver)
            throw std::runtime_error("Belvor.dll lacks the driver's functions");
    }
    void Open(uint32_t port) const
    {
        if (InitDriver(port, &OnCode) < 0)
            throw std::runtime_error("InitDriver(" + std::to_string(port) + ") failed, error " +
                                     std::to_string(GetLastError()));
    }
};

// Belvor.ini is read when a driver is made: this writes the mode for the
// drivers made next, and puts the file back as it was at the end.
class WakeConfig {
public:
    WakeConfig()
    {
        if (FILE* in = std::fopen(kPath, "rb")) {
            char buffer[4096];
            size_t n;
            while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0)
                FOriginal.append(buffer, n);
            std::fclose(in);
            FHad = true;
        }
    }
    ~WakeConfig()
    {
        if (FHad)
            Write(FOriginal);
        else
            DeleteFileA(kPath);
    }
    WakeConfig(const WakeConfig&) = delete;
    WakeConfig& operator=(const WakeConfig&) = delete;

    void Use(bool event) const
    {
        Write(std::string("[Port]\r\nWake=") + (event ? "Event" : "Poll") + "\r\n");
    }

private:
    static void Write(const std::string& text)
    {
        CreateDirectoryA("C:\\DEXE", nullptr);
        if (FILE* out = std::fopen(kPath, "wb")) {
            std::fwrite(text.data(), 1, text.size(), out);
            std::fclose(out);
        }
    }
    static constexpr const char* kPath = "C:\\DEXE\\Belvor.ini";
    std::string FOriginal;
    bool FHad = false;
};

bool WaitFor(const Sink& sink, uint64_t count, int stallMs)
{
    uint64_t seen = sink.Count;
    DWORD lastProgress = GetTickCount();
    while (sink.Count < count) {
        Sleep(5);
        if (sink.Count != seen) {
            seen = sink.Count;
            lastProgress = GetTickCount();
        } else if (GetTickCount() - lastProgress > static_cast<DWORD>(stallMs)) {
            return false;
        }
    }
    return true;
}

// The same codes and pauses as on Linux: the body, then the time, then the CR.
std::vector<int64_t> SendCodes(HANDLE scanner, size_t codes, uint32_t seed)
{
    std::vector<int64_t> written(codes, 0);
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> pause(15, 35);
    for (size_t seq = 0; seq < codes; ++seq) {
        const std::string body = CodeText(0, seq);
        WriteAll(scanner, body.data(), static_cast<DWORD>(body.size()));
        written[seq] = NowNs();
        WriteAll(scanner, "\r", 1);
        Sleep(static_cast<DWORD>(pause(random)));
    }
    return written;
}

std::string LatencyJson(const char* name, const Sink& sink, const std::vector<int64_t>& written)
{
    std::vector<int64_t> ns;
    for (size_t seq = 0; seq < written.size(); ++seq)
        if (const int64_t at = sink.Times[seq].load())
            ns.push_back(at - written[seq]);
    std::printf("wine_bench:  %-8s p50 %8.3f ms  p99 %8.3f ms  max %8.3f ms  lost %zu\n", name,
                static_cast<double>(Percentile(ns, 50)) / 1e6, static_cast<double>(Percentile(ns, 99)) / 1e6,
                static_cast<double>(Percentile(ns, 100)) / 1e6, written.size() - ns.size());
    return "\"" + std::string(name) + "\":{\"lost\":" + std::to_string(written.size() - ns.size()) +
           ",\"ns\":" + JsonArray(ns) + "}";
}

// A plain synchronous reader on COM7: a ReadFile of one byte that blocks
// until a byte arrives (at most 200 ms, to see the stop), then a ReadFile of
// whatever else the driver already holds.
void ReadLoop(HANDLE line, Sink& sink, const std::atomic<bool>& stop)
{
    COMMTIMEOUTS timeouts{};
    timeouts.ReadTotalTimeoutConstant = 200;
    SetCommTimeouts(line, &timeouts);
    char buffer[4096];
    std::string pending;
    while (!stop) {
        DWORD got = 0;
        if (!ReadFile(line, buffer, 1, &got, nullptr))
            return;
        DWORD errors = 0;
        COMSTAT status{};
        if (got == 1 && ClearCommError(line, &errors, &status) && status.cbInQue > 0) {
            DWORD more = 0;
            if (ReadFile(line, buffer + 1, std::min<DWORD>(status.cbInQue, sizeof buffer - 1), &more,
                         nullptr))
                got += more;
        }
        const int64_t at = NowNs();
        for (DWORD i = 0; i < got; ++i) {
            if (buffer[i] != '\r') {
                pending.push_back(buffer[i]);
                continue;
            }
            sink.Got(pending.data(), pending.size(), at);
            pending.clear();
        }
    }
}

int Latency(size_t codes, long run)
{
    const HANDLE scanner = OpenLine("\\\\.\\COM8", false);
    std::string readers;
    std::printf("wine_bench: latency run %ld: %zu codes per reader\n", run, codes);
    {
        Sink sink;
        sink.Times = std::vector<std::atomic<int64_t>>(codes);
        const HANDLE line = OpenLine("\\\\.\\COM7", false);
        PurgeComm(line, PURGE_RXCLEAR);
        std::atomic<bool> stop{false};
        std::thread reader(ReadLoop, line, std::ref(sink), std::cref(stop));
        Sleep(100);
        const auto written = SendCodes(scanner, codes, static_cast<uint32_t>(3000 + run));
        WaitFor(sink, codes, 1000);
        stop = true;
        reader.join();
        CloseHandle(line);
        readers += LatencyJson("read", sink, written);
    }
    const WakeConfig config;
    for (const char* mode : {"library", "event"}) {
        const bool event = std::strcmp(mode, "event") == 0;
        Sink sink;
        sink.Times = std::vector<std::atomic<int64_t>>(codes);
        gSink = &sink;
        config.Use(event);
        const Library library;
        library.Open(7);
        Sleep(100);
        const auto written = SendCodes(scanner, codes, static_cast<uint32_t>((event ? 5000 : 4000) + run));
        WaitFor(sink, codes, 1000);
        library.DestroyDriver();
        gSink = nullptr;
        readers += std::string(",") + LatencyJson(mode, sink, written);
    }
    CloseHandle(scanner);
    std::printf(
        "JSON {\"kind\":\"latency\",\"platform\":\"wine\",\"run\":%ld,\"codes\":%zu,\"readers\":{%s}}\n", run,
        codes, readers.c_str());
    return 0;
}

// Codes as fast as COM8 takes them, read by the ReadFile loop or by the
// library; the rate runs from the first write to the last code out.
double PumpCodes(HANDLE scanner, Sink& sink, double seconds, long long& lost)
{
    constexpr size_t kPerChunk = 292;
    uint64_t seq = 0;
    const int64_t start = NowNs();
    const auto until = start + static_cast<int64_t>(seconds * 1e9);
    std::string chunk;
    while (NowNs() < until) {
        chunk.clear();
        for (size_t k = 0; k < kPerChunk; ++k)
            chunk += CodeText(0, seq++) + "\r";
        WriteAll(scanner, chunk.data(), static_cast<DWORD>(chunk.size()));
    }
    WaitFor(sink, seq, 3000);
    lost = static_cast<long long>(seq - sink.Count);
    return static_cast<double>(sink.Count) * (kCodeDigits + 1) /
           (static_cast<double>(sink.Last - start) / 1e9);
}

int Throughput(double seconds, long run)
{
    const HANDLE scanner = OpenLine("\\\\.\\COM8", false);
    const WakeConfig config;
    for (const char* reader : {"read", "library", "event"}) {
        Sink sink;
        long long lost = 0;
        double rate = 0;
        if (std::strcmp(reader, "read") == 0) {
            const HANDLE line = OpenLine("\\\\.\\COM7", false);
            PurgeComm(line, PURGE_RXCLEAR);
            std::atomic<bool> stop{false};
            std::thread loop(ReadLoop, line, std::ref(sink), std::cref(stop));
            Sleep(100);
            rate = PumpCodes(scanner, sink, seconds, lost);
            stop = true;
            loop.join();
            CloseHandle(line);
        } else {
            gSink = &sink;
            config.Use(std::strcmp(reader, "event") == 0);
            const Library library;
            library.Open(7);
            Sleep(100);
            rate = PumpCodes(scanner, sink, seconds, lost);
            library.DestroyDriver();
            gSink = nullptr;
        }
        std::printf("wine_bench: throughput %s %.0f KB/s, lost %lld, out of order %llu\n", reader, rate / 1e3,
                    lost, static_cast<unsigned long long>(sink.OutOfOrder));
        std::printf("JSON {\"kind\":\"throughput\",\"platform\":\"wine\",\"reader\":\"%s\",\"ports\":1,"
                    "\"run\":%ld,\"seconds\":%g,\"bytes_per_s\":%.0f,\"lost\":%lld,\"out_of_order\":%llu}\n",
                    reader, run, seconds, rate, lost, static_cast<unsigned long long>(sink.OutOfOrder));
    }
    CloseHandle(scanner);
    return 0;
}

int64_t OwnCpuNs()
{
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    const auto ticks = [](const FILETIME& t) {
        return static_cast<int64_t>((static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime);
    };
    return (ticks(kernel) + ticks(user)) * 100;
}

// This process's CPU share over a quiet spell. "MARK" lines let the script
// that runs this program sample wineserver's CPU time at the same moments.
double QuietShare(const char* phase, double seconds)
{
    std::printf("MARK %s begin\n", phase);
    std::fflush(stdout);
    const int64_t cpu = OwnCpuNs();
    const int64_t start = NowNs();
    Sleep(static_cast<DWORD>(seconds * 1000));
    const double share = static_cast<double>(OwnCpuNs() - cpu) / static_cast<double>(NowNs() - start);
    std::printf("MARK %s end\n", phase);
    std::fflush(stdout);
    return share;
}

int Idle(double seconds, long run)
{
    // The Unix process id, so that the script can read this process's CPU
    // time from /proc as it does wineserver's (Wine maps / to drive Z:).
    if (FILE* stat = std::fopen("Z:\\proc\\self\\stat", "r")) {
        long pid = 0;
        if (std::fscanf(stat, "%ld", &pid) == 1)
            std::printf("PID %ld\n", pid);
        std::fclose(stat);
    }
    const WakeConfig config;
    const Library library;
    // One driver made and destroyed first, as on Linux: once-only costs aside.
    library.Open(7);
    library.DestroyDriver();
    const double none = QuietShare("none", seconds);
    config.Use(false);
    library.Open(7);
    const double one = QuietShare("one", seconds);
    library.DestroyDriver();
    config.Use(true);
    library.Open(7);
    const double event = QuietShare("event", seconds);
    library.DestroyDriver();
    std::printf("wine_bench: idle, this process's CPU with no driver %.3f %%, with one polling %.3f %%, "
                "with one asleep until news %.3f %%\n",
                100 * none, 100 * one, 100 * event);
    std::printf("JSON {\"kind\":\"idle\",\"platform\":\"wine\",\"run\":%ld,\"seconds\":%g,\"cpu_none\":%.6f,"
                "\"cpu_one\":%.6f,\"cpu_event\":%.6f}\n",
                run, seconds, none, one, event);
    return 0;
}

// The library's logger itself (linked in from the core libraries, not the
// DLL's copy): one record per code, with its open, append and close.
int LogRecords(size_t records, long run)
{
    belvor::InitLogger();
    std::vector<int64_t> ns;
    ns.reserve(records);
    for (size_t i = 0; i < records; ++i) {
        const int64_t start = NowNs();
        belvor::LogMessage(1, "4006381333931");
        ns.push_back(NowNs() - start);
    }
    belvor::ShutdownLogger();
    std::printf("wine_bench: log record p50 %.1f us, p99 %.1f us\n",
                static_cast<double>(Percentile(ns, 50)) / 1e3, static_cast<double>(Percentile(ns, 99)) / 1e3);
    std::printf("JSON {\"kind\":\"log\",\"platform\":\"wine\",\"run\":%ld,\"p50_ns\":%lld,\"p99_ns\":%lld}\n",
                run, static_cast<long long>(Percentile(ns, 50)), static_cast<long long>(Percentile(ns, 99)));
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    gFrequency = frequency.QuadPart;
    if (argc < 2)
        return 2;
    const std::string mode = argv[1];
    long codes = 300;
    long run = 0;
    double seconds = 3;
    for (int i = 2; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        if (key == "--codes")
            codes = std::atol(argv[i + 1]);
        else if (key == "--run")
            run = std::atol(argv[i + 1]);
        else if (key == "--seconds")
            seconds = std::atof(argv[i + 1]);
        else
            return 2;
    }
    try {
        if (mode == "latency")
            return Latency(static_cast<size_t>(std::max(codes, 1L)), run);
        if (mode == "throughput")
            return Throughput(seconds, run);
        if (mode == "idle")
            return Idle(seconds, run);
        if (mode == "log")
            return LogRecords(static_cast<size_t>(std::max(codes, 1L)), run);
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "wine_bench: %s\n", e.what());
        return 1;
    }
}
