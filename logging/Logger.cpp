#include "logging/Logger.h"

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/profile.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <utility>

namespace belvor {

namespace {

// One record is rotated, opened, written and closed at a time: two threads
// opening the file together could otherwise fall through to creating it anew
// and truncate each other's records. The state is trivially destructible (the
// name lives on the heap until ShutdownLogger takes it back), so a record that
// races the library's unload finds an empty name rather than a destroyed string.
std::mutex gLock;
std::string* gFileName = nullptr;
bool gFirstRecord = true;
// The name the first driver chose, with its [Log] Dir: kept for the library's life.
std::string* gChosenName = nullptr;

// A name for one of the pointers above, which own what they point at.
std::string* Owned(const std::string& name)
{
    return std::make_unique<std::string>(name).release();
}

// Takes a name back from its pointer, leaving it empty.
std::unique_ptr<std::string> Vacate(std::string*& name) noexcept
{
    return std::unique_ptr<std::string>(std::exchange(name, nullptr));
}

struct UnloadGuard {
    UnloadGuard() = default;
    UnloadGuard(const UnloadGuard&) = delete;
    UnloadGuard& operator=(const UnloadGuard&) = delete;
    ~UnloadGuard() { ShutdownLogger(); }
};
UnloadGuard gUnloadGuard;

constexpr char kLevelMarks[] = "-+?!#";
constexpr char kLineEnd[] = "\r\n";

// The record's start: level mark, "dd.mm hh:mm:ss" (the colons being the
// user's time separator) and a space.
constexpr size_t kHeadSize = 17;

char* PutTwoDigits(char* out, unsigned value)
{
    *out++ = static_cast<char>('0' + value / 10 % 10);
    *out++ = static_cast<char>('0' + value % 10);
    return out;
}

void PutHead(char* out, char mark)
{
    const platform::LocalTime now = platform::CurrentLocalTime();
    const char separator = platform::TimeSeparator();
    *out++ = mark;
    *out++ = ' ';
    out = PutTwoDigits(out, now.Day);
    *out++ = '.';
    out = PutTwoDigits(out, now.Month);
    *out++ = ' ';
    out = PutTwoDigits(out, now.Hour);
    *out++ = separator;
    out = PutTwoDigits(out, now.Minute);
    *out++ = separator;
    out = PutTwoDigits(out, now.Second);
    *out = ' ';
}

} // namespace

void RotateLogFile(const std::string& name, int32_t limit)
{
    const platform::FileSystem& fs = platform::Files();
    const platform::Result<uint64_t> size = fs.Size(name.c_str());
    if (!size)
        return;
    if (static_cast<int64_t>(*size) <= static_cast<int64_t>(limit))
        return;
    const std::string oldest = name + ".9";
    // Failures are ignored: a generation that cannot move stays where it is
    // and the record goes into whatever file is called name afterwards.
    if (fs.Exists(oldest.c_str()))
        (void)fs.Remove(oldest.c_str());
    for (int n = 8; n >= 0; --n) {
        const std::string from = name + "." + std::to_string(n);
        const std::string to = name + "." + std::to_string(n + 1);
        (void)fs.Rename(from.c_str(), to.c_str());
    }
    (void)fs.Rename(name.c_str(), (name + ".0").c_str());
}

namespace {

void WriteLocked(const std::string& name, const char* record, size_t size)
{
    const platform::FileSystem& fs = platform::Files();
    platform::Result<platform::FileHandle> file = fs.OpenAppend(name.c_str());
    if (!file)
        file = fs.OpenAppend(name.c_str());
    if (!file)
        file = fs.Create(name.c_str());
    if (!file)
        return;
    bool written = true;
    if (gFirstRecord) {
        // Separates this run of the host from the previous one in the file.
        written = static_cast<bool>(fs.Write(*file, kLineEnd, 2));
        if (written)
            gFirstRecord = false;
    }
    if (written)
        (void)fs.Write(*file, record, size);
    (void)fs.Close(*file);
}

} // namespace

std::string LogFileNameFor(std::string_view executablePath)
{
    // Only a dot in the last path element starts an extension; a name that
    // begins with its only dot has none.
    const size_t nameStart = executablePath.find_last_of("/\\");
    const size_t first = nameStart == std::string_view::npos ? 0 : nameStart + 1;
    const size_t dot = executablePath.rfind('.');
    std::string_view stem = executablePath;
    if (dot != std::string_view::npos && dot > first)
        stem = executablePath.substr(0, dot);
    std::string name(stem);
    name += ".sca";
    return name;
}

void SetLogFileName(std::string name)
{
    std::unique_ptr<std::string> fresh =
        name.empty() ? nullptr : std::make_unique<std::string>(std::move(name));
    std::unique_ptr<std::string> old;
    {
        std::lock_guard<std::mutex> guard(gLock);
        old = Vacate(gFileName);
        gFileName = fresh.release();
    }
}

std::string LogFileName()
{
    std::lock_guard<std::mutex> guard(gLock);
    return gFileName ? *gFileName : std::string();
}

namespace {

// Whether records can be written to a file of that name: its directory exists
// and takes the file (opened for appending, or created empty).
bool Writable(const std::string& name)
{
    const platform::FileSystem& fs = platform::Files();
    platform::Result<platform::FileHandle> file = fs.OpenAppend(name.c_str());
    if (!file && !fs.Exists(name.c_str()))
        file = fs.Create(name.c_str());
    if (!file)
        return false;
    (void)fs.Close(*file);
    return true;
}

} // namespace

void InitLogger(std::string_view logDir)
{
    {
        std::lock_guard<std::mutex> guard(gLock);
        if (gChosenName) {
            if (!gFileName)
                gFileName = Owned(*gChosenName);
            return;
        }
    }
    const std::string executable = platform::HostExecutablePath();
    if (executable.empty())
        return;
    const std::string beside = LogFileNameFor(executable);
    const std::string dir(logDir);
    std::string name = beside;
    bool unusable = false;
    if (!dir.empty()) {
        const std::string stem = beside.substr(platform::DirectoryOf(beside).size());
        const std::string there = platform::ResolveDirectory(platform::DirectoryOf(executable), dir) + stem;
        // Not created, not reported to the host: the log stays beside the executable.
        if (Writable(there))
            name = there;
        else
            unusable = true;
    }
    {
        std::lock_guard<std::mutex> guard(gLock);
        if (!gChosenName)
            gChosenName = Owned(name);
    }
    SetLogFileName(name);
    if (unusable)
        LogMessage(3, "Log directory " + dir + " cannot be used");
    if (platform::HasTextAfterValue(dir))
        LogTextAfterValue(std::string("[") + kLogSection + "] " + kLogDirKey);
}

void LogTextAfterValue(std::string_view where) noexcept
{
    try {
        LogMessage(
            3, "Belvor.ini: " + std::string(where) +
                   ": the text after the value is part of it (a comment must stand on a line of its own)");
    } catch (...) {
        // As any record: one that cannot be made is lost.
    }
}

void LogException(const char* message) noexcept
{
    try {
        LogMessage(1, std::string("Exception: ") + message);
    } catch (...) {
        // Logging must never stop delivery.
    }
}

void ShutdownLogger() noexcept
{
    // Freed after the lock, the current name first.
    std::unique_ptr<std::string> chosen;
    std::unique_ptr<std::string> old;
    {
        std::lock_guard<std::mutex> guard(gLock);
        old = Vacate(gFileName);
        chosen = Vacate(gChosenName);
    }
}

void ResetLoggerForTesting()
{
    ShutdownLogger();
    std::lock_guard<std::mutex> guard(gLock);
    gFirstRecord = true;
}

void RotateLog(int32_t limit) noexcept
{
    try {
        std::lock_guard<std::mutex> guard(gLock);
        if (gFileName)
            RotateLogFile(*gFileName, limit);
    } catch (...) {
        // Rotation never reports a failure.
    }
}

void LogMessage(uint8_t level, std::string_view text) noexcept
{
    try {
        // Built once, on the stack unless the text is long: a code's record
        // costs no allocation.
        const size_t size = kHeadSize + text.size() + 2;
        char local[320];
        std::string longer;
        char* record = local;
        if (size > sizeof local) {
            longer.resize(size);
            record = longer.data();
        }
        // Levels beyond the table share the last mark.
        PutHead(record, kLevelMarks[level < 5 ? level : 4]);
        if (!text.empty())
            std::memcpy(record + kHeadSize, text.data(), text.size());
        std::memcpy(record + kHeadSize + text.size(), kLineEnd, 2);

        std::lock_guard<std::mutex> guard(gLock);
        if (!gFileName)
            return;
        RotateLogFile(*gFileName, kLogSizeLimit);
        WriteLocked(*gFileName, record, size);
    } catch (...) {
        // A record that cannot be written is lost without a word.
    }
}

} // namespace belvor
