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
//   wine_bench throughput [--seconds S] [--run K] the ReadFile loop, the reference reader, then the
//                                                 library polling and asleep until news, at full
//                                                 speed; then the log record's bare calls
//   wine_bench idle       [--seconds S] [--run K] this process's CPU time with no driver, one
//                                                 polling and one asleep until news
//   wine_bench log        [--codes N] [--run K]   one log record, as the delivery thread writes it per code
//
// Results go to standard output as lines that start with "JSON ".
//
// Host CPU is this process's own (all its threads, user and system), read from
// /proc/<pid>/stat of the Unix process that runs it: tools/wine-run.sh passes
// its pid in BELVOR_HOST_PID. Wine's GetProcessTimes reports about four times
// more. A path under /proc/self is opened by wineserver, so it names that:
// wineserver's CPU, which serves this process's requests, is read there.
#include "belvor.h"
#include "bench/bench_stats.h"
#include "bench/wake_config.h"
#include "bench/win32_bench.h"
#include "logging/Logger.h"
#include "platform/profile.h"

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

// CPU time (user and system, all threads) in ns, in 10 ms ticks, of the Unix
// process whose /proc/<pid>/stat that is; -1 when it cannot be read.
int64_t ProcCpuNs(const std::string& path)
{
    FILE* stat = std::fopen(path.c_str(), "r");
    if (!stat)
        return -1;
    char text[1024] = {};
    const size_t got = std::fread(text, 1, sizeof text - 1, stat);
    std::fclose(stat);
    text[got] = 0;
    // The fields after the command's name, which may hold spaces: state is the
    // third field, utime and stime the 14th and 15th.
    const char* after = std::strrchr(text, ')');
    if (!after)
        return -1;
    unsigned long long utime = 0;
    unsigned long long stime = 0;
    if (std::sscanf(after + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2)
        return -1;
    return static_cast<int64_t>(utime + stime) * 10000000; // USER_HZ is 100 on Linux
}

// This process's own CPU time.
int64_t HostCpuNs()
{
    const char* pid = std::getenv("BELVOR_HOST_PID");
    if (!pid || !*pid)
        return -1;
    return ProcCpuNs(std::string("Z:\\proc\\") + pid + "\\stat");
}

// wineserver's, which serves this process's requests: it opens the file, so
// /proc/self is its own.
int64_t ServerCpuNs()
{
    return ProcCpuNs("Z:\\proc\\self\\stat");
}

// Both, taken together.
struct Cpu {
    int64_t Host = HostCpuNs();
    int64_t Server = ServerCpuNs();
};

// ns per item of what a span used, or -1 when it could not be read.
double PerItem(int64_t before, int64_t after, uint64_t items)
{
    if (before < 0 || after < 0 || items == 0)
        return -1;
    return static_cast<double>(after - before) / static_cast<double>(items);
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
std::vector<int64_t> SendCodes(belvor::test::TestLine& scanner, size_t codes, uint32_t seed)
{
    std::vector<int64_t> written(codes, 0);
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> pause(15, 35);
    for (size_t seq = 0; seq < codes; ++seq) {
        const std::string body = CodeText(0, seq);
        Type(scanner, body);
        written[seq] = NowNs();
        Type(scanner, "\r");
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

// What a reader got, cut into codes at CR, each timed `at`; a code's start
// waits in `pending` for its end.
void CutAtCr(const char* bytes, DWORD count, std::string& pending, Sink& sink, int64_t at)
{
    for (DWORD i = 0; i < count; ++i) {
        if (bytes[i] != '\r') {
            pending.push_back(bytes[i]);
            continue;
        }
        sink.Got(pending.data(), pending.size(), at);
        pending.clear();
    }
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
        CutAtCr(buffer, got, pending, sink, NowNs());
    }
}

int Latency(size_t codes, long run)
{
    const auto scanner = ScannerEnd();
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
        const auto written = SendCodes(*scanner, codes, static_cast<uint32_t>(3000 + run));
        WaitFor(sink, codes, 1000);
        stop = true;
        reader.join();
        CloseHandle(line);
        readers += LatencyJson("read", sink, written);
    }
    const WakeConfig config(belvor::platform::ConfigFilePath());
    for (const char* mode : {"library", "event"}) {
        const bool event = std::strcmp(mode, "event") == 0;
        Sink sink;
        sink.Times = std::vector<std::atomic<int64_t>>(codes);
        gSink = &sink;
        config.Use(event);
        const Library library;
        library.Open(7);
        Sleep(100);
        const auto written = SendCodes(*scanner, codes, static_cast<uint32_t>((event ? 5000 : 4000) + run));
        WaitFor(sink, codes, 1000);
        library.DestroyDriver();
        gSink = nullptr;
        readers += std::string(",") + LatencyJson(mode, sink, written);
    }
    std::printf(
        "JSON {\"kind\":\"latency\",\"platform\":\"wine\",\"run\":%ld,\"codes\":%zu,\"readers\":{%s}}\n", run,
        codes, readers.c_str());
    return 0;
}

// The reference reader: the driver's own polling design without its queue,
// thread or log. Every 10 ms it looks at a WaitCommEvent in flight (or starts
// one), asks ClearCommError what is waiting and reads that much, cuts at CR and
// counts the codes; what it costs is what reception alone costs. queueOnly:
// once a wait has ended in an error (Wine ends each within milliseconds), it
// starts no more and goes by ClearCommError alone, as the driver does; the
// throughput runs keep the reader as it was first measured.
void PollLoop(HANDLE line, Sink& sink, const std::atomic<bool>& stop, bool queueOnly)
{
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 20000}; // reads return at once
    SetCommTimeouts(line, &timeouts);
    SetCommMask(line, EV_RXCHAR | EV_ERR | EV_BREAK);
    OVERLAPPED wait{};
    OVERLAPPED read{};
    wait.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    read.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const HANDLE pause = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    DWORD mask = 0;
    bool waiting = false;
    bool waitsEndAlone = false;
    std::vector<char> buffer(8192);
    std::string pending;
    while (!stop) {
        DWORD ignored = 0;
        if (waiting) {
            const bool ended = GetOverlappedResult(line, &wait, &ignored, FALSE);
            if (ended || GetLastError() != ERROR_IO_INCOMPLETE) {
                waiting = false;
                waitsEndAlone = !ended && queueOnly;
            }
        } else if (!waitsEndAlone && !WaitCommEvent(line, &mask, &wait)) {
            waiting = GetLastError() == ERROR_IO_PENDING;
        }
        DWORD errors = 0;
        COMSTAT status{};
        if (ClearCommError(line, &errors, &status) && status.cbInQue > 0) {
            DWORD got = 0;
            const DWORD want = std::min<DWORD>(status.cbInQue, static_cast<DWORD>(buffer.size()));
            if (ReadFile(line, buffer.data(), want, nullptr, &read) || GetLastError() == ERROR_IO_PENDING)
                GetOverlappedResult(line, &read, &got, TRUE);
            ResetEvent(read.hEvent);
            CutAtCr(buffer.data(), got, pending, sink, NowNs());
        }
        WaitForSingleObject(pause, 10);
    }
    if (waiting) {
        CancelIoEx(line, &wait);
        DWORD ignored = 0;
        GetOverlappedResult(line, &wait, &ignored, TRUE);
    }
    CloseHandle(pause);
    CloseHandle(read.hEvent);
    CloseHandle(wait.hEvent);
}

// Codes as fast as COM8 takes them, read by one of the readers; the rate runs
// from the first write to the last code out. The writer is this process too,
// one WriteFile per 292 codes, so it adds little to the CPU per code.
struct Pumped {
    double BytesPerS = 0;
    double CodesPerS = 0;
    long long Lost = 0;
    // From the first write to the last code, per code delivered: this
    // process's CPU and wineserver's.
    double HostNsPerCode = -1;
    double ServerNsPerCode = -1;
};

Pumped PumpCodes(belvor::test::TestLine& scanner, Sink& sink, double seconds)
{
    constexpr size_t kPerChunk = 292;
    uint64_t seq = 0;
    const Cpu before;
    const int64_t start = NowNs();
    const auto until = start + static_cast<int64_t>(seconds * 1e9);
    std::string chunk;
    while (NowNs() < until) {
        chunk.clear();
        for (size_t k = 0; k < kPerChunk; ++k)
            chunk += CodeText(0, seq++) + "\r";
        Type(scanner, chunk);
    }
    WaitFor(sink, seq, 3000);
    const Cpu after;
    Pumped result;
    result.HostNsPerCode = PerItem(before.Host, after.Host, sink.Count);
    result.ServerNsPerCode = PerItem(before.Server, after.Server, sink.Count);
    result.Lost = static_cast<long long>(seq - sink.Count);
    const double span = static_cast<double>(sink.Last - start) / 1e9;
    result.CodesPerS = static_cast<double>(sink.Count) / span;
    result.BytesPerS = result.CodesPerS * (kCodeDigits + 1);
    return result;
}

// What the log record's own calls cost with nothing around them: the size
// check, then the file opened for appending, written and closed, as
// LogMessage makes them, into a file beside the log.
void RecordCalls(size_t records, long run)
{
    char exe[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, exe, sizeof exe);
    const std::string name = belvor::LogFileNameFor(exe) + ".calls";
    DeleteFileA(name.c_str());
    CloseHandle(CreateFileA(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    const char record[] = "+ 07.12 13:44:04 4006381333931\r\n";
    std::vector<int64_t> ns;
    ns.reserve(records);
    const Cpu before;
    for (size_t i = 0; i < records; ++i) {
        const int64_t start = NowNs();
        WIN32_FILE_ATTRIBUTE_DATA data;
        GetFileAttributesExA(name.c_str(), GetFileExInfoStandard, &data);
        const HANDLE file = CreateFileA(name.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        WriteFile(file, record, sizeof record - 1, &written, nullptr);
        CloseHandle(file);
        ns.push_back(NowNs() - start);
    }
    const Cpu after;
    DeleteFileA(name.c_str());
    const double host = PerItem(before.Host, after.Host, records);
    const double server = PerItem(before.Server, after.Server, records);
    std::printf(
        "wine_bench: the record's calls alone p50 %.1f us, p99 %.1f us; CPU per record: host %.1f us, "
        "wineserver %.1f us\n",
        static_cast<double>(Percentile(ns, 50)) / 1e3, static_cast<double>(Percentile(ns, 99)) / 1e3,
        host / 1e3, server / 1e3);
    std::printf("JSON {\"kind\":\"record_calls\",\"platform\":\"wine\",\"run\":%ld,\"records\":%zu,"
                "\"p50_ns\":%lld,\"p99_ns\":%lld,\"cpu_ns\":%.0f,\"server_cpu_ns\":%.0f}\n",
                run, records, static_cast<long long>(Percentile(ns, 50)),
                static_cast<long long>(Percentile(ns, 99)), host, server);
}

int Throughput(double seconds, long run)
{
    const auto scanner = ScannerEnd();
    const WakeConfig config(belvor::platform::ConfigFilePath());
    for (const char* reader : {"read", "reference", "library", "event"}) {
        Sink sink;
        Pumped pumped;
        if (std::strcmp(reader, "read") == 0 || std::strcmp(reader, "reference") == 0) {
            const bool reference = std::strcmp(reader, "reference") == 0;
            const HANDLE line = OpenLine("\\\\.\\COM7", reference);
            PurgeComm(line, PURGE_RXCLEAR);
            std::atomic<bool> stop{false};
            std::thread loop = reference ? std::thread(PollLoop, line, std::ref(sink), std::cref(stop), false)
                                         : std::thread(ReadLoop, line, std::ref(sink), std::cref(stop));
            Sleep(100);
            pumped = PumpCodes(*scanner, sink, seconds);
            stop = true;
            loop.join();
            CloseHandle(line);
        } else {
            gSink = &sink;
            config.Use(std::strcmp(reader, "event") == 0);
            const Library library;
            library.Open(7);
            Sleep(100);
            pumped = PumpCodes(*scanner, sink, seconds);
            library.DestroyDriver();
            gSink = nullptr;
        }
        std::printf("wine_bench: throughput %-9s %8.0f codes/s (%.0f KB/s), lost %lld, out of order %llu; "
                    "CPU per code: host %.1f us, wineserver %.1f us\n",
                    reader, pumped.CodesPerS, pumped.BytesPerS / 1e3, pumped.Lost,
                    static_cast<unsigned long long>(sink.OutOfOrder), pumped.HostNsPerCode / 1e3,
                    pumped.ServerNsPerCode / 1e3);
        std::printf("JSON {\"kind\":\"throughput\",\"platform\":\"wine\",\"reader\":\"%s\",\"ports\":1,"
                    "\"run\":%ld,\"seconds\":%g,\"bytes_per_s\":%.0f,\"codes_per_s\":%.0f,\"lost\":%lld,"
                    "\"out_of_order\":%llu,\"cpu_ns_per_code\":%.0f,\"server_cpu_ns_per_code\":%.0f}\n",
                    reader, run, seconds, pumped.BytesPerS, pumped.CodesPerS, pumped.Lost,
                    static_cast<unsigned long long>(sink.OutOfOrder), pumped.HostNsPerCode,
                    pumped.ServerNsPerCode);
    }
    RecordCalls(20000, run);
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

// The reference reader on the same line, quiet: what the driver's polling
// design costs without its queue, thread, log or stall watch. Its first wait
// either ends in an error or, its completion lost, never: either way it then
// goes by the queue, as the driver does.
double ReferenceShare(double seconds)
{
    const HANDLE line = OpenLine("\\\\.\\COM7", true);
    Sink sink;
    std::atomic<bool> stop{false};
    std::thread loop(PollLoop, line, std::ref(sink), std::cref(stop), true);
    const double share = QuietShare("reference", seconds);
    Sleep(500);
    stop = true;
    loop.join();
    CloseHandle(line);
    return share;
}

int Idle(double seconds, long run)
{
    // The Unix process id, so that the script can read this process's CPU
    // time from /proc as it does wineserver's.
    if (const char* pid = std::getenv("BELVOR_HOST_PID"))
        std::printf("PID %s\n", pid);
    const WakeConfig config(belvor::platform::ConfigFilePath());
    const Library library;
    // One driver made and destroyed first, as on Linux: once-only costs aside.
    library.Open(7);
    library.DestroyDriver();
    const double none = QuietShare("none", seconds);
    // The reference reader and the polling driver take turns, so that what
    // else the machine does meanwhile falls on both alike; a phase's name
    // comes once per turn, and the script adds its turns up.
    constexpr int kTurns = 3;
    double reference = 0;
    double one = 0;
    config.Use(false);
    for (int turn = 0; turn < kTurns; ++turn) {
        reference += ReferenceShare(seconds) / kTurns;
        library.Open(7);
        one += QuietShare("one", seconds) / kTurns;
        Sleep(500);
        library.DestroyDriver();
    }
    config.Use(true);
    library.Open(7);
    const double event = QuietShare("event", seconds);
    Sleep(500);
    library.DestroyDriver();
    std::printf(
        "wine_bench: idle, this process's CPU with no driver %.3f %%, with the reference reader %.3f %%, "
        "with one driver polling %.3f %%, with one asleep until news %.3f %%\n",
        100 * none, 100 * reference, 100 * one, 100 * event);
    std::printf("JSON {\"kind\":\"idle\",\"platform\":\"wine\",\"run\":%ld,\"seconds\":%g,\"cpu_none\":%.6f,"
                "\"cpu_reference\":%.6f,\"cpu_one\":%.6f,\"cpu_event\":%.6f}\n",
                run, seconds, none, reference, one, event);
    return 0;
}

// The library's logger itself (linked in from the core libraries, not the
// DLL's copy): one record per code, with its open, append and close.
int LogRecords(size_t records, long run)
{
    belvor::InitLogger({});
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
    if (!ReadOptions(argc, argv, 2,
                     {{"--codes", [&](const char* v) { codes = std::atol(v); }},
                      {"--run", [&](const char* v) { run = std::atol(v); }},
                      {"--seconds", [&](const char* v) { seconds = std::atof(v); }}}))
        return 2;
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
