// Line benchmark: the library, loaded at run time as a host loads it, in
// both its modes (polling, and asleep until the port has news: [Port]
// Wake=Event), beside two other readers of the same byte stream, each on a
// pty of its own: a plain blocking read() loop (the practical limit) and
// pyserial's read_until(b'\r'). All times are CLOCK_MONOTONIC, taken in this
// process or (pyserial) in its child.
//
//   line_bench latency    [--codes N] [--run K]                     one run, four readers at once
//   line_bench throughput --reader library|event|read|pyserial [--ports K] [--seconds S]
//   line_bench idle       [--wake poll|event] [--ports K] [--seconds S]  CPU, wake-ups and memory of quiet
//   drivers
//
// Common options: --library PATH (libbelvor.so), --out FILE (appends one JSON line),
// --python PATH (the interpreter that has pyserial; /usr/bin/python3).
#include "belvor.h"
#include "bench/bench_common.h"
#include "bench/wake_config.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <memory>
#include <poll.h>
#include <random>
#include <stdexcept>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace belvor::bench;

// COM numbers the benchmarks link their ptys as, clear of those the tests use.
constexpr uint16_t kFirstPort = 200;
// Where the library reads its settings (the preset's system directory).
constexpr const char* kConfigFile = BELVOR_SYSTEM_DIR "/Belvor.ini";

struct Options {
    std::string Mode;
    std::string Library;
    std::string Out;
    std::string Reader = "library";
    std::string Wake = "poll";
    std::string Script = BELVOR_BENCH_DIR "/pyserial_reader.py";
    // Debian's interpreter, which python3-serial installs pyserial for.
    std::string Python = "/usr/bin/python3";
    long Codes = 300;
    long Run = 0;
    long Ports = 1;
    double Seconds = 3;
};

struct Api {
    int32_t(BELVOR_CALL* InitDriver)(uint32_t, EventProc) = nullptr;
    int32_t(BELVOR_CALL* DestroyDriver)() = nullptr;
    EventProc(BELVOR_CALL* SetEventProc)(EventProc) = nullptr;

    void Load(const std::string& path)
    {
        void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle)
            throw std::runtime_error(dlerror());
        InitDriver = reinterpret_cast<decltype(InitDriver)>(dlsym(handle, "InitDriver"));
        DestroyDriver = reinterpret_cast<decltype(DestroyDriver)>(dlsym(handle, "DestroyDriver"));
        SetEventProc = reinterpret_cast<decltype(SetEventProc)>(dlsym(handle, "SetEventProc"));
        if (!InitDriver || !DestroyDriver || !SetEventProc)
            throw std::runtime_error(path + " lacks the driver's functions");
    }
    void Open(uint16_t port, EventProc callback) const
    {
        if (InitDriver(port, callback) < 0)
            throw std::runtime_error("InitDriver(" + std::to_string(port) + "): " + std::strerror(errno));
    }
};

// Every time a thread of this process was switched out so far, willingly (a
// sleep, a wait) or not: each is a wake-up later.
int64_t ContextSwitches()
{
    int64_t total = 0;
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks)
        return 0;
    while (const dirent* task = readdir(tasks)) {
        if (task->d_name[0] == '.')
            continue;
        std::ifstream status(std::string("/proc/self/task/") + task->d_name + "/status");
        std::string key;
        int64_t value = 0;
        while (status >> key) {
            if (key == "voluntary_ctxt_switches:" || key == "nonvoluntary_ctxt_switches:") {
                status >> value;
                total += value;
            }
        }
    }
    closedir(tasks);
    return total;
}

// ------------------------------------------------------------------ what came out

// What the readers of one line report. Each line has one reading thread, so
// only the counters read by the main thread are atomic.
struct LineStats {
    std::vector<std::atomic<int64_t>> Times; // latency: when each sequence number came out
    std::atomic<uint64_t> Count{0};
    std::atomic<uint64_t> OutOfOrder{0};
    std::atomic<int64_t> Last{0};
    uint64_t NextSeq = 0;
};

std::vector<std::unique_ptr<LineStats>> gLines;
std::atomic<uint64_t> gStray{0};

void Got(const char* text, size_t size, int64_t at)
{
    unsigned line = 0;
    uint64_t seq = 0;
    if (!ParseCode(text, size, line, seq) || line >= gLines.size()) {
        ++gStray;
        return;
    }
    LineStats& s = *gLines[line];
    if (seq != s.NextSeq)
        ++s.OutOfOrder;
    s.NextSeq = seq + 1;
    if (seq < s.Times.size())
        s.Times[seq].store(at, std::memory_order_relaxed);
    s.Last.store(at, std::memory_order_relaxed);
    s.Count.fetch_add(1, std::memory_order_release);
}

void BELVOR_CALL OnCode(const unsigned char* counted)
{
    const int64_t at = NowNs();
    Got(reinterpret_cast<const char*>(counted + 1), counted[0], at);
}

void MakeLines(size_t lines, size_t codesPerLine)
{
    gLines.clear();
    for (size_t i = 0; i < lines; ++i) {
        gLines.push_back(std::make_unique<LineStats>());
        gLines.back()->Times = std::vector<std::atomic<int64_t>>(codesPerLine);
    }
}

uint64_t Delivered()
{
    uint64_t n = 0;
    for (const auto& line : gLines)
        n += line->Count.load(std::memory_order_acquire);
    return n;
}

// Waits until expected codes have come out, or until none has for stallMs.
void AwaitDelivery(uint64_t expected, int stallMs)
{
    uint64_t seen = Delivered();
    auto lastProgress = std::chrono::steady_clock::now();
    while (seen < expected) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const uint64_t now = Delivered();
        if (now != seen) {
            seen = now;
            lastProgress = std::chrono::steady_clock::now();
        } else if (std::chrono::steady_clock::now() - lastProgress > std::chrono::milliseconds(stallMs)) {
            return;
        }
    }
}

// ------------------------------------------------------------------ the other readers

// The practical limit: a blocking read() of whatever has arrived, cut at CR.
void ReadLoop(int fd)
{
    char buffer[8192];
    std::string pending;
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        const int64_t at = NowNs();
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        for (ssize_t i = 0; i < n; ++i) {
            if (buffer[i] != '\r') {
                pending.push_back(buffer[i]);
                continue;
            }
            if (pending == "EEEE")
                return;
            Got(pending.data(), pending.size(), at);
            pending.clear();
        }
    }
}

// pyserial in a child process; it reports its times when it has read the end code.
class PyserialReader {
public:
    PyserialReader(const Options& o, const std::string& path)
    {
        int pipeFds[2];
        if (pipe(pipeFds) != 0)
            throw std::runtime_error("pipe failed");
        FPid = fork();
        if (FPid == 0) {
            dup2(pipeFds[1], 1);
            close(pipeFds[0]);
            close(pipeFds[1]);
            execl(o.Python.c_str(), o.Python.c_str(), o.Script.c_str(), path.c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        close(pipeFds[1]);
        FOut = fdopen(pipeFds[0], "r");
        char line[64] = {};
        if (!FOut || !std::fgets(line, sizeof line, FOut) || std::strncmp(line, "ready", 5) != 0)
            throw std::runtime_error("pyserial reader did not start (is python3-serial installed?)");
    }
    ~PyserialReader()
    {
        if (FOut)
            std::fclose(FOut);
        if (FPid > 0 && !FReaped) {
            kill(FPid, SIGTERM);
            waitpid(FPid, nullptr, 0);
        }
    }
    // After the end code: takes in the times and returns the child's CPU time.
    int64_t Collect()
    {
        char line[128];
        while (std::fgets(line, sizeof line, FOut)) {
            char* rest = nullptr;
            const long long at = std::strtoll(line, &rest, 10);
            if (!rest || *rest != ' ')
                continue;
            ++rest;
            size_t size = std::strcspn(rest, "\r\n");
            Got(rest, size, at);
        }
        int status = 0;
        rusage usage{};
        wait4(FPid, &status, 0, &usage);
        FReaped = true;
        return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000000000LL +
               (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1000LL;
    }

private:
    pid_t FPid = -1;
    FILE* FOut = nullptr;
    bool FReaped = false;
};

// ------------------------------------------------------------------ latency

// One run: the same codes go to four ptys, one per reader, in a shuffled
// order, each code's body first and then its CR; the time taken just before
// the CR's write is the start. Codes follow each other after 15-35 ms, a
// spread that puts each one at a random point of the polling driver's 10 ms
// cycle.
int Latency(const Options& o, const Api& api)
{
    const char* names[] = {"library", "read", "pyserial", "event"};
    constexpr size_t kReaders = 4;
    const auto codes = static_cast<size_t>(o.Codes);
    MakeLines(kReaders, codes);
    std::vector<std::unique_ptr<Pty>> ptys;
    for (size_t i = 0; i < kReaders; ++i)
        ptys.push_back(std::make_unique<Pty>());

    PyserialReader pyserial(o, ptys[2]->SlavePath());
    const WakeConfig config(kConfigFile);
    ptys[0]->LinkAs(kFirstPort);
    config.Use(false);
    api.Open(kFirstPort, &OnCode);
    ptys[3]->LinkAs(kFirstPort + 1);
    config.Use(true);
    api.Open(kFirstPort + 1, &OnCode);
    std::thread reader(ReadLoop, ptys[1]->Slave());
    // Steady state only: a driver takes up to a cycle after InitDriver to
    // settle into its mode.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    const int64_t busyStart = MachineBusyNs();
    const int64_t cpuStart = ProcessCpuNs();
    const int64_t start = NowNs();
    std::vector<std::vector<int64_t>> written(kReaders, std::vector<int64_t>(codes, 0));
    std::mt19937 random(static_cast<uint32_t>(1000 + o.Run));
    std::uniform_int_distribution<int> pause(15000, 35000);
    size_t order[kReaders] = {0, 1, 2, 3};
    for (size_t seq = 0; seq < codes; ++seq) {
        std::shuffle(order, order + kReaders, random);
        for (const size_t r : order) {
            const std::string body = CodeText(static_cast<unsigned>(r), seq);
            ptys[r]->Write(body);
            written[r][seq] = NowNs();
            ptys[r]->Write("\r", 1);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(pause(random)));
    }
    ptys[1]->Write(kEndCode, std::strlen(kEndCode));
    ptys[2]->Write(kEndCode, std::strlen(kEndCode));
    reader.join();
    const int64_t childCpu = pyserial.Collect();
    AwaitDelivery(codes * kReaders, 2000);
    // What else kept the processors busy meanwhile, in processors.
    const double background =
        static_cast<double>(MachineBusyNs() - busyStart - (ProcessCpuNs() - cpuStart) - childCpu) /
        static_cast<double>(NowNs() - start);
    api.DestroyDriver();
    api.DestroyDriver();

    JsonLine readers;
    std::printf("latency run %ld: %zu codes per reader, background load %.2f processors\n", o.Run, codes,
                background);
    for (size_t r = 0; r < kReaders; ++r) {
        std::vector<int64_t> ns;
        for (size_t seq = 0; seq < codes; ++seq) {
            const int64_t at = gLines[r]->Times[seq].load();
            if (at > 0)
                ns.push_back(at - written[r][seq]);
        }
        const auto lost = static_cast<int64_t>(codes - ns.size());
        std::printf("  %-9s p50 %8.3f ms  p99 %8.3f ms  max %8.3f ms  lost %lld\n", names[r],
                    static_cast<double>(Percentile(ns, 50)) / 1e6,
                    static_cast<double>(Percentile(ns, 99)) / 1e6,
                    static_cast<double>(Percentile(ns, 100)) / 1e6, static_cast<long long>(lost));
        readers.Raw(names[r], JsonLine().Field("lost", lost).Field("ns", ns).Text());
    }
    if (!o.Out.empty())
        JsonLine()
            .Field("kind", std::string("latency"))
            .Field("platform", std::string("linux"))
            .Field("run", static_cast<int64_t>(o.Run))
            .Field("codes", static_cast<int64_t>(codes))
            .Field("background", background)
            .Raw("readers", readers.Text())
            .AppendTo(o.Out);
    return 0;
}

// ------------------------------------------------------------------ throughput

// Every port gets a writer that sends codes as fast as the pty takes them;
// a pty never drops bytes, it makes the writer wait, so what the reader
// sustains is what comes through. Rates run from each port's first write to
// its last code out.
int Throughput(const Options& o, const Api& api)
{
    const auto ports = static_cast<size_t>(o.Ports);
    MakeLines(ports, 0);
    std::vector<std::unique_ptr<Pty>> ptys;
    for (size_t i = 0; i < ports; ++i)
        ptys.push_back(std::make_unique<Pty>());

    std::vector<std::thread> readers;
    std::vector<std::unique_ptr<PyserialReader>> pyserial;
    const bool library = o.Reader == "library" || o.Reader == "event";
    const WakeConfig config(kConfigFile);
    if (library) {
        config.Use(o.Reader == "event");
        for (size_t i = 0; i < ports; ++i) {
            ptys[i]->LinkAs(static_cast<uint16_t>(kFirstPort + i));
            api.Open(static_cast<uint16_t>(kFirstPort + i), &OnCode);
        }
    } else if (o.Reader == "read") {
        for (size_t i = 0; i < ports; ++i)
            readers.emplace_back(ReadLoop, ptys[i]->Slave());
    } else if (o.Reader == "pyserial") {
        for (size_t i = 0; i < ports; ++i)
            pyserial.push_back(std::make_unique<PyserialReader>(o, ptys[i]->SlavePath()));
    } else {
        throw std::runtime_error("unknown reader " + o.Reader);
    }

    std::vector<uint64_t> sent(ports, 0);
    std::vector<int64_t> firstWrite(ports, 0);
    const int64_t cpuStart = ProcessCpuNs();
    const int64_t start = NowNs();
    const auto until = start + static_cast<int64_t>(o.Seconds * 1e9);
    std::vector<std::thread> writers;
    for (size_t i = 0; i < ports; ++i) {
        writers.emplace_back([&, i] {
            constexpr size_t kPerChunk = 292; // 4088 bytes
            std::string chunk;
            uint64_t seq = 0;
            firstWrite[i] = NowNs();
            while (NowNs() < until) {
                chunk.clear();
                for (size_t k = 0; k < kPerChunk; ++k)
                    chunk += CodeText(static_cast<unsigned>(i), seq++) + "\r";
                ptys[i]->Write(chunk);
            }
            sent[i] = seq;
            if (!library)
                ptys[i]->Write(kEndCode, std::strlen(kEndCode));
        });
    }
    for (auto& w : writers)
        w.join();
    uint64_t total = 0;
    for (const uint64_t n : sent)
        total += n;
    int64_t childCpu = 0;
    for (auto& r : readers)
        r.join();
    for (auto& p : pyserial)
        childCpu += p->Collect();
    AwaitDelivery(total, 3000);
    const int64_t cpu = ProcessCpuNs() - cpuStart + childCpu;
    const int64_t wall = NowNs() - start;
    if (library)
        for (size_t i = 0; i < ports; ++i)
            api.DestroyDriver();

    constexpr double kCodeBytes = kCodeDigits + 1;
    std::vector<int64_t> rates;
    int64_t lost = 0;
    int64_t outOfOrder = 0;
    int64_t end = 0;
    double bytes = 0;
    for (size_t i = 0; i < ports; ++i) {
        const LineStats& s = *gLines[i];
        const double got = static_cast<double>(s.Count) * kCodeBytes;
        const double span = static_cast<double>(s.Last - firstWrite[i]) / 1e9;
        rates.push_back(span > 0 ? static_cast<int64_t>(got / span) : 0);
        lost += static_cast<int64_t>(sent[i] - s.Count);
        outOfOrder += static_cast<int64_t>(s.OutOfOrder);
        end = std::max<int64_t>(end, s.Last);
        bytes += got;
    }
    const double aggregate = bytes / (static_cast<double>(end - start) / 1e9);
    std::printf("throughput %s, %zu port(s): %.0f KB/s in all, per port %.0f-%.0f KB/s, lost %lld, "
                "out of order %lld, CPU %.0f %% of one core\n",
                o.Reader.c_str(), ports, aggregate / 1e3,
                static_cast<double>(*std::min_element(rates.begin(), rates.end())) / 1e3,
                static_cast<double>(*std::max_element(rates.begin(), rates.end())) / 1e3,
                static_cast<long long>(lost), static_cast<long long>(outOfOrder),
                100.0 * static_cast<double>(cpu) / static_cast<double>(wall));
    if (!o.Out.empty())
        JsonLine()
            .Field("kind", std::string("throughput"))
            .Field("platform", std::string("linux"))
            .Field("reader", o.Reader)
            .Field("ports", static_cast<int64_t>(ports))
            .Field("run", static_cast<int64_t>(o.Run))
            .Field("seconds", o.Seconds)
            .Field("bytes_per_s", aggregate)
            .Field("port_bytes_per_s", rates)
            .Field("lost", lost)
            .Field("out_of_order", outOfOrder)
            .Field("stray", static_cast<int64_t>(gStray))
            .Field("cpu_share", static_cast<double>(cpu) / static_cast<double>(wall))
            .AppendTo(o.Out);
    return lost == 0 && outOfOrder == 0 ? 0 : 1;
}

// ------------------------------------------------------------------ idle

struct IdleShare {
    double Cpu = 0;     // share of one core
    double WakeUps = 0; // per second, all threads
};

IdleShare IdleOver(double seconds)
{
    const int64_t cpu = ProcessCpuNs();
    const int64_t switches = ContextSwitches();
    const int64_t start = NowNs();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const auto wall = static_cast<double>(NowNs() - start);
    return {static_cast<double>(ProcessCpuNs() - cpu) / wall,
            static_cast<double>(ContextSwitches() - switches) / (wall / 1e9)};
}

// The reference poller: the driver's polling design with none of its queue,
// delivery thread, log or stall watch. Every 10 ms one look at the line that
// does not wait (a quiet line costs the driver that one call too), what waits
// read and cut at CR, then a timed wait on its stop signal of the kind the
// driver's pause is.
class ReferencePoller {
public:
    explicit ReferencePoller(const std::string& path)
        : FFd(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK))
    {
        if (FFd < 0)
            throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
        FThread = std::thread([this] { Run(); });
    }
    ~ReferencePoller()
    {
        FStop.set_value();
        FThread.join();
        close(FFd);
    }
    ReferencePoller(const ReferencePoller&) = delete;
    ReferencePoller& operator=(const ReferencePoller&) = delete;

private:
    void Run()
    {
        const std::shared_future<void> stop = FStop.get_future().share();
        char buffer[8192];
        std::string pending;
        do {
            pollfd p{FFd, POLLIN | POLLPRI, 0};
            int waiting = 0;
            if (poll(&p, 1, 0) > 0 && ioctl(FFd, FIONREAD, &waiting) == 0 && waiting > 0) {
                const ssize_t n =
                    read(FFd, buffer, std::min<size_t>(static_cast<size_t>(waiting), sizeof buffer));
                for (ssize_t i = 0; i < n; ++i) {
                    if (buffer[i] != '\r') {
                        pending.push_back(buffer[i]);
                        continue;
                    }
                    Got(pending.data(), pending.size(), NowNs());
                    pending.clear();
                }
            }
        } while (stop.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready);
    }

    int FFd;
    std::promise<void> FStop;
    std::thread FThread;
};

// A quiet reference poller's CPU share, on a pty of its own.
IdleShare ReferenceIdle(double seconds)
{
    const Pty line;
    const ReferencePoller poller(line.SlavePath());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return IdleOver(seconds);
}

// Quiet drivers: the resident set after each added driver, and the CPU
// time of the whole process while none, one and all of them are open; the
// reference poller's before the drivers and after them, so that the machine's
// drift falls on both sides of the lone driver's.
int Idle(const Options& o, const Api& api)
{
    const auto ports = static_cast<size_t>(o.Ports);
    MakeLines(ports, 0);
    std::vector<std::unique_ptr<Pty>> ptys;
    for (size_t i = 0; i < ports; ++i) {
        ptys.push_back(std::make_unique<Pty>());
        ptys[i]->LinkAs(static_cast<uint16_t>(kFirstPort + i));
    }
    const WakeConfig config(kConfigFile);
    config.Use(o.Wake == "event");
    // One driver made and destroyed first, so that what happens once per
    // process (the log file's name, the allocator's first use on each kind of
    // thread) is not counted against the first driver.
    api.Open(kFirstPort, &OnCode);
    api.DestroyDriver();

    const IdleShare none = IdleOver(o.Seconds);
    // The reference poller beside the polling mode only.
    const bool polling = o.Wake == "poll";
    const IdleShare referenceBefore = polling ? ReferenceIdle(o.Seconds) : IdleShare{};
    std::vector<int64_t> rss{ResidentKiB()};
    for (size_t i = 0; i < ports; ++i) {
        api.Open(static_cast<uint16_t>(kFirstPort + i), &OnCode);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        rss.push_back(ResidentKiB());
    }
    const IdleShare all = IdleOver(o.Seconds);
    for (size_t i = 1; i < ports; ++i)
        api.DestroyDriver();
    const IdleShare one = IdleOver(o.Seconds);
    // The same driver with its scanner unplugged: it tries to reopen the port
    // every second, which must cost no more than waiting on a quiet line.
    ptys[0]->HangUp();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const IdleShare lost = IdleOver(o.Seconds);
    api.DestroyDriver();
    const IdleShare referenceAfter = polling ? ReferenceIdle(o.Seconds) : IdleShare{};
    const double reference = polling ? (referenceBefore.Cpu + referenceAfter.Cpu) / 2 - none.Cpu : 0;

    std::vector<int64_t> added;
    for (size_t i = 1; i < rss.size(); ++i)
        added.push_back(rss[i] - rss[i - 1]);
    const double perDriverAll = (all.Cpu - none.Cpu) / static_cast<double>(ports);
    const double perDriverOne = one.Cpu - none.Cpu;
    const double wakeUpsOne = one.WakeUps - none.WakeUps;
    const double wakeUpsAll = (all.WakeUps - none.WakeUps) / static_cast<double>(ports);
    const double slope = static_cast<double>(rss.back() - rss.front()) / static_cast<double>(ports);
    std::printf(
        "idle (%s): CPU with no driver %.3f %%, one %.3f %% (%.3f %% for the driver), %zu: %.3f %% (%.3f %% "
        "per driver); one with its scanner unplugged %.3f %% (%.3f %% for the driver); "
        "wake-ups per second of a driver: one %.2f, each of %zu %.2f; "
        "resident set %lld KiB -> %lld KiB, %.1f KiB per driver\n",
        o.Wake.c_str(), 100 * none.Cpu, 100 * one.Cpu, 100 * perDriverOne, ports, 100 * all.Cpu,
        100 * perDriverAll, 100 * lost.Cpu, 100 * (lost.Cpu - none.Cpu), wakeUpsOne, ports, wakeUpsAll,
        static_cast<long long>(rss.front()), static_cast<long long>(rss.back()), slope);
    if (polling)
        std::printf("idle (poll): the reference poller %.3f %%, the lone driver %.2f times that\n",
                    100 * reference, perDriverOne / reference);
    if (!o.Out.empty()) {
        JsonLine line;
        line.Field("kind", std::string("idle"))
            .Field("platform", std::string("linux"))
            .Field("wake", o.Wake)
            .Field("run", static_cast<int64_t>(o.Run))
            .Field("ports", static_cast<int64_t>(ports))
            .Field("seconds", o.Seconds)
            .Field("cpu_none", none.Cpu)
            .Field("cpu_one", one.Cpu)
            .Field("cpu_all", all.Cpu)
            .Field("cpu_lost", lost.Cpu)
            .Field("cpu_per_driver", perDriverAll)
            .Field("wakeups_one", wakeUpsOne)
            .Field("wakeups_per_driver", wakeUpsAll)
            .Field("rss_kib", rss)
            .Field("rss_added_kib", added)
            .Field("rss_per_driver_kib", slope);
        if (polling)
            line.Field("cpu_reference", reference);
        line.AppendTo(o.Out);
    }
    return 0;
}

int Usage()
{
    std::fprintf(stderr, "usage: line_bench latency|throughput|idle [--library PATH] [--out FILE] [--run K]\n"
                         "         [--codes N] [--reader library|event|read|pyserial] [--wake poll|event]\n"
                         "         [--ports K] [--seconds S]\n");
    return 2;
}

std::string BesideMe(const char* name)
{
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return name;
    const std::string path(self, static_cast<size_t>(n));
    return path.substr(0, path.rfind('/') + 1) + name;
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    if (argc < 2)
        return Usage();
    o.Mode = argv[1];
    o.Library = BesideMe("libbelvor.so");
    const bool read = ReadOptions(argc, argv, 2,
                                  {{"--library", [&](const char* v) { o.Library = v; }},
                                   {"--out", [&](const char* v) { o.Out = v; }},
                                   {"--reader", [&](const char* v) { o.Reader = v; }},
                                   {"--wake", [&](const char* v) { o.Wake = v; }},
                                   {"--codes", [&](const char* v) { o.Codes = std::atol(v); }},
                                   {"--run", [&](const char* v) { o.Run = std::atol(v); }},
                                   {"--ports", [&](const char* v) { o.Ports = std::atol(v); }},
                                   {"--seconds", [&](const char* v) { o.Seconds = std::atof(v); }},
                                   {"--python", [&](const char* v) { o.Python = v; }}});
    if (!read || o.Codes < 1 || o.Ports < 1 || o.Ports > 10 || o.Seconds <= 0 ||
        (o.Wake != "poll" && o.Wake != "event"))
        return Usage();
    std::signal(SIGPIPE, SIG_IGN);
    try {
        Api api;
        api.Load(o.Library);
        if (o.Mode == "latency")
            return Latency(o, api);
        if (o.Mode == "throughput")
            return Throughput(o, api);
        if (o.Mode == "idle")
            return Idle(o, api);
        return Usage();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "line_bench: %s\n", e.what());
        return 1;
    }
}
