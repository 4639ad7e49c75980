#include "driver/Settings.h"
#include "logging/Logger.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/process.h"
#include "platform/seams.h"
#include "support/config_file.h"
#include "support/log_reader.h"

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

using namespace belvor;
using namespace belvor::test;
namespace fsys = std::filesystem;
using Strings = std::vector<std::string>;

namespace {

void WriteAll(const fsys::path& path, const std::string& content)
{
    std::ofstream(path, std::ios::binary) << content;
}

// One line of that many bytes, line end included.
std::string Filler(size_t size)
{
    return std::string(size - 2, 'x') + "\r\n";
}

// Fault injection: the Nth call (from 1) of an operation fails; the calls
// that change the file system are journalled by file name.
struct Faults {
    std::map<std::string, std::set<int>> Fail;
    std::map<std::string, int> Calls;
    Strings Journal;

    bool Fails(const std::string& op, std::string names)
    {
        if (!names.empty())
            Journal.push_back(op + " " + names);
        return Fail[op].count(++Calls[op]) > 0;
    }
};
Faults* gFaults = nullptr;

std::string Name(const char* path)
{
    return fsys::path(path).filename().string();
}

const platform::FileSystem& Real()
{
    return platform::SystemFileSystem();
}

// The real call, unless the fault list says this one fails.
template <class Call> auto Unless(const char* op, std::string names, Call call) -> decltype(call())
{
    if (gFaults->Fails(op, std::move(names)))
        return platform::Failure{platform::SystemErrorCode(platform::ErrorKind::InvalidArgument)};
    return call();
}

const platform::FileSystem kFaulty{
    [](const char* path) { return Real().Size(path); },
    [](const char* path) { return Real().Exists(path); },
    [](const char* path) { return Unless("remove", Name(path), [=] { return Real().Remove(path); }); },
    [](const char* from, const char* to) {
        return Unless("rename", Name(from) + " " + Name(to), [=] { return Real().Rename(from, to); });
    },
    [](const char* path) { return Unless("append", Name(path), [=] { return Real().OpenAppend(path); }); },
    [](const char* path) { return Unless("create", Name(path), [=] { return Real().Create(path); }); },
    [](platform::FileHandle file, const void* data, size_t count) {
        return Unless("write", "", [=] { return Real().Write(file, data, count); });
    },
    [](platform::FileHandle file) { return Real().Close(file); }};

class LoggerTest : public testing::Test {
protected:
    void SetUp() override
    {
#ifdef _WIN32
        fsys::path root = fsys::temp_directory_path();
#else
        const char* env = std::getenv("BELVOR_TEST_TMP");
        fsys::path root = env && *env ? env : "/tmp";
#endif
        FDir = root / ("belvor-logger-" + std::to_string(std::random_device()()));
        fsys::create_directories(FDir);
        FLog = FDir / "Till.sca";
        ResetLoggerForTesting();
        SetLogFileName(FLog.string());
    }

    void TearDown() override
    {
        platform::SetSeam(&platform::Seams::Files, nullptr);
        ResetLoggerForTesting();
        std::error_code ignored;
        fsys::remove_all(FDir, ignored);
    }

    // Starts a fresh count with the given failures.
    Faults& InjectFaults(std::map<std::string, std::set<int>> fail = {})
    {
        FFaults = Faults{};
        FFaults.Fail = std::move(fail);
        gFaults = &FFaults;
        platform::SetSeam(&platform::Seams::Files, &kFaulty);
        return FFaults;
    }

    fsys::path Generation(int n) const
    {
        return FLog.string() + "." + std::to_string(n);
    }

    fsys::path FDir, FLog;
    Faults FFaults;
};

TEST(LogFileName, ReplacesOnlyTheExtensionOfTheExecutable)
{
    EXPECT_EQ(LogFileNameFor("C:\\Shop\\Till.exe"), "C:\\Shop\\Till.sca");
    EXPECT_EQ(LogFileNameFor("/opt/shop/till.bin.exe"), "/opt/shop/till.bin.sca");
    EXPECT_EQ(LogFileNameFor("/opt/v1.2/till"), "/opt/v1.2/till.sca");
    EXPECT_EQ(LogFileNameFor("C:\\v1.2\\till"), "C:\\v1.2\\till.sca");
    EXPECT_EQ(LogFileNameFor("/home/shop/.till"), "/home/shop/.till.sca");

    ResetLoggerForTesting();
    InitLogger({});
    const fsys::path name = LogFileName();
    ResetLoggerForTesting();
    EXPECT_EQ(name.filename().string(), "logger_test.sca");
    EXPECT_TRUE(fsys::is_directory(name.parent_path())) << name;
}

TEST_F(LoggerTest, RecordsCarryMarkLocalTimestampAndTheTextsBytes)
{
    const std::time_t before = std::time(nullptr);
    for (uint8_t level = 0; level <= 5; ++level)
        LogMessage(level, "12AB");
    const std::time_t after = std::time(nullptr);
    LogMessage(1, "");
    LogMessage(1, std::string_view("\xC0\xE4\xF0\xE5\xF1: \0!", 9));

    const auto local = [](std::time_t t) {
        const std::tm c = *std::localtime(&t);
        return std::make_tuple(c.tm_mon + 1, c.tm_mday, c.tm_hour, c.tm_min, c.tm_sec);
    };
    const std::string content = ReadAll(FLog);
    ASSERT_EQ(content.substr(0, 2), "\r\n");
    std::string marks, rest = content.substr(2);
    std::smatch m;
    while (marks.size() < 6 &&
           std::regex_search(rest, m, RecordPattern(), std::regex_constants::match_continuous)) {
        marks += m[1].str();
        EXPECT_EQ(m[8].str(), "12AB");
        const auto stamp = std::make_tuple(std::stoi(m[3]), std::stoi(m[2]), std::stoi(m[4]), std::stoi(m[6]),
                                           std::stoi(m[7]));
        EXPECT_TRUE(local(before) <= stamp && stamp <= local(after)) << m[0];
        rest = m.suffix();
    }
    EXPECT_EQ(marks, "-+?!##");
    // An empty text keeps the space after the timestamp.
    ASSERT_GE(rest.size(), 19u);
    EXPECT_TRUE(std::regex_match(rest.substr(0, 19), RecordPattern())) << rest;
    EXPECT_EQ(rest.substr(19 + 16), std::string(" \xC0\xE4\xF0\xE5\xF1: \0!\r\n", 12));
}

TEST_F(LoggerTest, TextsOfEveryLengthAreWrittenWhole)
{
    // Around the size a record is built in without the heap, and far beyond.
    Strings texts;
    for (size_t size : {299u, 300u, 301u, 302u, 303u, 4000u})
        texts.push_back(std::string(size - 1, static_cast<char>('a' + size % 26)) + "!");
    for (const std::string& text : texts)
        LogMessage(1, text);
    texts.insert(texts.begin(), "");
    EXPECT_EQ(LineTexts(FLog), texts);
}

TEST_F(LoggerTest, EmptyLineStartsOnlyTheFirstRecordWrittenAfterLoad)
{
    ResetLoggerForTesting();
    LogMessage(1, "no name yet");
    EXPECT_TRUE(fsys::is_empty(FDir));

    SetLogFileName(FLog.string());
    LogMessage(1, "one");
    SetLogFileName(FLog.string()); // a second driver: still the same run
    LogMessage(1, "two");
    ShutdownLogger();
    LogMessage(1, "after unload");
    EXPECT_EQ(LineTexts(FLog), (Strings{"", "one", "two"}));
}

TEST_F(LoggerTest, RotatesPastTheLimitShiftingTheGenerationsInOrder)
{
    WriteAll(FLog, Filler(kLogSizeLimit));
    LogMessage(1, "kept");
    EXPECT_FALSE(fsys::exists(Generation(0)));
    LogMessage(1, "next"); // now over the limit, with no generations yet
    EXPECT_EQ(LineTexts(Generation(0)), (Strings{"<102400 bytes>", "", "kept"}));
    EXPECT_FALSE(fsys::exists(Generation(1)));
    EXPECT_EQ(LineTexts(FLog), (Strings{"next"}));

    WriteAll(FLog, Filler(kLogSizeLimit + 1));
    for (int n = 1; n <= 9; ++n)
        WriteAll(Generation(n), "gen " + std::to_string(n));
    Strings expected{"remove Till.sca.9"};
    for (int n = 8; n >= 0; --n)
        expected.push_back("rename Till.sca." + std::to_string(n) + " Till.sca." + std::to_string(n + 1));
    expected.insert(expected.end(),
                    {"rename Till.sca Till.sca.0", "append Till.sca", "append Till.sca", "create Till.sca"});
    InjectFaults();
    LogMessage(1, "fresh");
    EXPECT_EQ(FFaults.Journal, expected);
    EXPECT_EQ(LineTexts(FLog), (Strings{"fresh"}));
    EXPECT_EQ(LineTexts(Generation(0)), (Strings{"<102401 bytes>"}));
    EXPECT_EQ(LineTexts(Generation(1)), (Strings{"<102400 bytes>", "", "kept"}));
    for (int n = 2; n <= 9; ++n)
        EXPECT_EQ(ReadAll(Generation(n)), "gen " + std::to_string(n - 1));

    WriteAll(FLog, "");
    RotateLog(-1); // the limit is signed
    EXPECT_EQ(fsys::file_size(Generation(0)), 0u);
}

TEST_F(LoggerTest, OpenAndWriteFailuresFallBackOrLoseOnlyTheRecord)
{
    const struct {
        std::set<int> FailAppend, FailCreate, FailWrite;
        Strings Expected;
    } cases[] = {
        {{1}, {}, {}, {"<5 bytes>", "", "new", "next"}}, // the second append is used
        {{1, 2}, {}, {}, {"", "new", "next"}},           // the file is created anew
        {{1, 2}, {1}, {}, {"<5 bytes>", "", "next"}},    // dropped; the empty line still to come
        {{}, {}, {1}, {"<5 bytes>", "", "next"}},        // so also when the empty line failed
    };
    for (const auto& c : cases) {
        WriteAll(FLog, "old\r\n");
        ResetLoggerForTesting();
        SetLogFileName(FLog.string());
        InjectFaults({{"append", c.FailAppend}, {"create", c.FailCreate}, {"write", c.FailWrite}});
        LogMessage(1, "new");
        LogMessage(1, "next");
        EXPECT_EQ(LineTexts(FLog), c.Expected) << &c - cases;
    }

    SetLogFileName((FDir / "absent" / "Till.sca").string());
    LogMessage(1, "lost");
    EXPECT_FALSE(fsys::exists(FDir / "absent"));
}

TEST_F(LoggerTest, FailedRenamesLeaveGenerationsIntactAndWritingGoesOn)
{
    for (int failing : {10 /* the log itself */, 9 /* .0 to .1, so .0 cannot be replaced */}) {
        WriteAll(FLog, Filler(kLogSizeLimit + 1));
        WriteAll(Generation(0), "gen 0");
        fsys::remove(Generation(1));
        ResetLoggerForTesting();
        SetLogFileName(FLog.string());
        InjectFaults({{"rename", {failing}}});
        LogMessage(1, "appended");
        EXPECT_EQ(ReadAll(Generation(failing == 10 ? 1 : 0)), "gen 0") << failing;
        EXPECT_FALSE(fsys::exists(Generation(failing == 10 ? 0 : 1))) << failing;
        EXPECT_EQ(LineTexts(FLog), (Strings{"<102401 bytes>", "", "appended"})) << failing;
        fsys::remove(Generation(0));
    }
}

TEST_F(LoggerTest, ConcurrentRecordsAreNeitherLostNorTorn)
{
    constexpr int kThreads = 4, kRecords = 150;
    const auto text = [](int t, int r) {
        return "T" + std::to_string(t) + " R" + std::to_string(r) + " " +
               std::string(400, char('a' + (t + r) % 26));
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t, &text] {
            for (int r = 0; r < kRecords; ++r)
                LogMessage(1, text(t, r));
        });
    threads.emplace_back([this] { // new drivers set the name meanwhile
        for (int i = 0; i < 50; ++i)
            SetLogFileName(FLog.string());
    });
    for (std::thread& thread : threads)
        thread.join();

    ASSERT_TRUE(fsys::exists(Generation(0))) << "the records should fill more than one file";
    std::map<std::string, int> seen;
    for (int n = -1; n <= 9; ++n)
        for (const std::string& t : LineTexts(n < 0 ? FLog : Generation(n)))
            ++seen[t];
    EXPECT_EQ(seen[""], 1);
    EXPECT_EQ(seen.size(), size_t(kThreads * kRecords + 1));
    for (int t = 0; t < kThreads; ++t)
        for (int r = 0; r < kRecords; ++r)
            EXPECT_EQ(seen[text(t, r)], 1) << t << " " << r;
}

} // namespace

namespace {

// What a driver made now hands the logger: [Log] Dir as Belvor.ini says it.
void InitLoggerAsADriver()
{
    InitLogger(ReadDriverSettings(platform::ConfigFilePath(), 3).LogDir);
}

// The log's name as the first driver fixes it, from Belvor.ini's [Log] Dir.
std::string ChosenLogName(const std::optional<std::string>& config)
{
    WriteConfig(config);
    ResetLoggerForTesting();
    InitLoggerAsADriver();
    return LogFileName();
}

std::string Beside()
{
    return LogFileNameFor(platform::HostExecutablePath());
}

std::string Within(const fsys::path& dir)
{
    return (dir / fsys::path(Beside()).filename()).string();
}

} // namespace

TEST_F(LoggerTest, ConfiguredDirectoryHoldsTheLogAndItsGenerations)
{
    EXPECT_EQ(ChosenLogName(std::nullopt), Beside()) << "no key: beside the executable";
    EXPECT_EQ(ChosenLogName("[Log]\r\nDir=\r\n"), Beside()) << "an empty key too";

    ASSERT_EQ(ChosenLogName("[Log]\r\nDir=" + FDir.string() + "\r\n"), Within(FDir));
    WriteConfig("[Log]\r\nDir=somewhere-else\r\n");
    InitLoggerAsADriver();
    EXPECT_EQ(LogFileName(), Within(FDir)) << "read once, by the first driver";
    WriteAll(LogFileName(), Filler(kLogSizeLimit + 1));
    LogMessage(1, "after rotation");
    EXPECT_TRUE(fsys::exists(LogFileName() + ".0")) << "rotated where it lives";
    EXPECT_EQ(LineTexts(LogFileName()), (Strings{"", "after rotation"}));
    WriteConfig(std::nullopt);
}

TEST_F(LoggerTest, RelativeDirectoryIsTakenFromTheExecutables)
{
    const fsys::path exeDir = fsys::path(platform::HostExecutablePath()).parent_path();
    const std::string relative = "logs-" + FDir.filename().string();
    fsys::create_directories(exeDir / relative);
    EXPECT_EQ(ChosenLogName("[Log]\r\nDir=" + relative + "\r\n"), Within(exeDir / relative));
    WriteConfig(std::nullopt);
    std::error_code ignored;
    fsys::remove_all(exeDir / relative, ignored);
}

TEST_F(LoggerTest, MissingOrUnwritableDirectoryFallsBackWithOneRecord)
{
    std::error_code ignored;
    fsys::remove(Beside(), ignored);
    const std::string missing = (FDir / "no-such-dir").string();
    EXPECT_EQ(ChosenLogName("[Log]\r\nDir=" + missing + "\r\n"), Beside());
    EXPECT_FALSE(fsys::exists(missing)) << "not created";
    EXPECT_EQ(LineTexts(Beside()), (Strings{"", "Log directory " + missing + " cannot be used"}));
    fsys::remove(Beside(), ignored);
    EXPECT_EQ(ChosenLogName("[Log]\r\nDir=" + FDir.string() + "  ; the shop's\r\n"), Beside());
    EXPECT_EQ(
        LineTexts(Beside()),
        (Strings{"", "Log directory " + FDir.string() + "  ; the shop's cannot be used",
                 "Belvor.ini: [Log] Dir: the text after the value is part of it (a comment must stand on a "
                 "line of its own)"}));

    // A directory that refuses files (root ignores permissions, so the file
    // calls fail instead).
    fsys::remove(Beside(), ignored);
    InjectFaults({{"append", {1, 2, 3}}, {"create", {1}}});
    EXPECT_EQ(ChosenLogName("[Log]\r\nDir=" + FDir.string() + "\r\n"), Beside());
    EXPECT_EQ(LineTexts(Beside()), (Strings{"", "Log directory " + FDir.string() + " cannot be used"}));
    EXPECT_FALSE(fsys::exists(Within(FDir)));
    WriteConfig(std::nullopt);
    fsys::remove(Beside(), ignored);
}
