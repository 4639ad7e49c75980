// What the Linux benchmarks share: the clock, ptys linked as COM ports and a
// small JSON writer for their results.
#pragma once

#include "bench/bench_stats.h"
#include "support/posix/pty.h"

#include <cstdint>
#include <string>
#include <vector>

namespace belvor::bench {

// CLOCK_MONOTONIC in nanoseconds.
int64_t NowNs();

// A pty linked as a COM port (support/posix/pty.h). The bench keeps both
// sides open, so the line never hangs up while readers come and go.
struct Pty : test::Pty {
    Pty() : test::Pty(true) {}
};

// Ends a reader's loop (pyserial, the read() loop); allowed, but no code of ours.
inline constexpr const char* kEndCode = "EEEE\r";

// Resident set size of this process, in KiB.
long ResidentKiB();
// CPU time (user + system) of this process so far, in nanoseconds.
int64_t ProcessCpuNs();

// CPU time that all processors of the machine have spent busy so far, in
// nanoseconds (/proc/stat). Less this process's own over a run, it shows how
// much else ran at the same time.
int64_t MachineBusyNs();

// Appends one line of JSON to a file.
class JsonLine {
public:
    JsonLine& Field(const std::string& key, const std::string& value);
    JsonLine& Field(const std::string& key, double value);
    JsonLine& Field(const std::string& key, int64_t value);
    JsonLine& Field(const std::string& key, const std::vector<int64_t>& values);
    // The text of an object as a value.
    JsonLine& Raw(const std::string& key, const std::string& json);
    std::string Text() const { return "{" + FBody + "}"; }
    void AppendTo(const std::string& path) const;

private:
    void Key(const std::string& key);
    std::string FBody;
};

} // namespace belvor::bench
