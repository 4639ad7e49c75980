// A scanner's byte stream, cut at arbitrary points, through the receive step
// and the code assembly of a driver on the fake device, against a plain model.
//
// Input: [n] [n bytes: allow-list; n = 255: no configuration file]
//        [m] [m bytes allowed by value (AllowCodes)] [max length: 0 = key absent]
//        [end flag: odd = End key set] [end byte]
//        [read limit: 0 = none] [r: the ring starts r bytes before its end]
//        [k] [k chunk sizes] stream...
// The stream is fed in chunks of (size + 1) bytes, cycling through the k
// sizes, with one receive step after each chunk (k = 0: all at once), then
// drained. A read limit makes the device hand out fewer bytes than asked.
#include "driver/Testing.h"
#include "fuzz/fuzz_input.h"
#include "platform/profile.h"
#include "support/fake_serial_device.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>

using namespace belvor;
using belvor::fuzz::Check;
using belvor::fuzz::Text;

namespace {

class DrivenDriver : public TBelvor {
public:
    using TBelvor::TBelvor;
    void ReceiveData() { (void)PortTesting::ReceiveData(*this); }
    ReceiveRing::Positions Ring() { return PortTesting::Ring(*this); }
    bool Assembling = false;

protected:
    void DataReceived(int32_t count) override
    {
        if (Assembling)
            TBelvor::DataReceived(count);
    }
};

// Every byte of the allow-list as the configuration file will give it back:
// no line break or NUL (which ends a value), nothing the reader trims or
// unquotes at either end.
std::string PlainAllowList(std::string list)
{
    std::erase_if(list, [](char c) { return c == '\r' || c == '\n' || c == '\0'; });
    constexpr std::string_view kEnds(" \t\v\f\x1A\"'");
    while (!list.empty() && kEnds.find(list.front()) != std::string_view::npos)
        list.erase(0, 1);
    while (!list.empty() && kEnds.find(list.back()) != std::string_view::npos)
        list.pop_back();
    return list;
}

// What the driver must make of a stream: a code per end byte, holding the
// allowed bytes before it in order, those past the maximum length dropped.
std::vector<std::string> ModelCodes(std::string_view stream, const std::array<bool, 256>& allowed, char end,
                                    size_t maxLength)
{
    std::vector<std::string> codes;
    std::string code;
    for (const char c : stream) {
        if (c == end) {
            codes.push_back(code);
            code.clear();
        } else if (allowed[static_cast<uint8_t>(c)] && code.size() < maxLength) {
            code.push_back(c);
        }
    }
    return codes;
}

// The configuration file is one per build; the lock keeps parallel fuzzing
// processes from reading each other's allow-list.
int ConfigLock()
{
    static const int fd = [] {
        const std::filesystem::path config{platform::ConfigFilePath()};
        std::filesystem::create_directories(config.parent_path());
        return open((config.string() + ".lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    }();
    Check(fd >= 0);
    return fd;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view input = Text(data, size);
    size_t at = 0;
    const auto next = [&]() -> uint8_t { return at < input.size() ? static_cast<uint8_t>(input[at++]) : 0; };
    const auto take = [&](size_t n) {
        const std::string_view part = input.substr(at, n);
        at += part.size();
        return part;
    };

    const uint8_t listSize = next();
    const bool byDefault = listSize == 255;
    const std::string allow = byDefault ? "0123456789ABCDEF" : PlainAllowList(std::string(take(listSize)));
    const std::string_view byValue = take(next());
    // 0: the default; up to 247 as it is; above, a long limit from the next
    // two bytes, up to the largest a driver takes.
    uint32_t maxLength = next();
    if (maxLength >= 248)
        maxLength = 256 + (static_cast<uint32_t>(next()) << 8 | next()) % (kMaxMaxLength - 255u);
    const bool endSet = (next() & 1) != 0;
    const uint8_t endByte = next();
    const uint32_t readLimit = next();
    const uint32_t ringOffset = (ReceiveRing::kSize - next()) % ReceiveRing::kSize;
    const std::string_view chunks = take(next());
    const std::string_view stream = input.substr(at);

    std::array<bool, 256> allowed{};
    for (const char c : allow)
        allowed[static_cast<uint8_t>(c)] = true;
    std::string allowCodes;
    for (const char c : byValue) {
        allowed[static_cast<uint8_t>(c)] = true;
        allowCodes += (allowCodes.empty() ? "" : ", ") + std::to_string(static_cast<uint8_t>(c));
    }
    const char end = static_cast<char>(endSet ? endByte : kDefaultEnd);
    const size_t limit = maxLength != 0 ? maxLength : kDefaultMaxLength;
    const std::vector<std::string> expected = ModelCodes(stream, allowed, end, limit);

    test::FakeLine line;
    const int lock = ConfigLock();
    flock(lock, LOCK_EX);
    const std::filesystem::path config{platform::ConfigFilePath()};
    if (byDefault && byValue.empty() && maxLength == 0 && !endSet) {
        std::filesystem::remove(config);
    } else {
        std::ofstream file(config, std::ios::binary | std::ios::trunc);
        file << "[Chars]\r\n";
        if (!byDefault)
            file << "Allow=" << allow << "\r\n";
        if (!byValue.empty())
            file << "AllowCodes=" << allowCodes << "\r\n";
        file << "[Code]\r\n";
        if (maxLength != 0)
            file << "MaxLength=" << maxLength << "\r\n";
        if (endSet)
            file << "End=0x" << std::hex << static_cast<unsigned>(endByte) << "\r\n";
    }
    DrivenDriver driver(3);
    flock(lock, LOCK_UN);
    Check(driver.Allow() == allow && driver.MaxLength() == limit &&
          driver.End() == static_cast<uint8_t>(end));

    // Bytes received and purged unread move the ring, so that short streams
    // wrap around its end.
    line.Feed(std::string(ringOffset, end));
    driver.ReceiveData();
    driver.Purge();
    Check(driver.Ring().WritePos == ringOffset && driver.Ring().ReadPos == ringOffset);
    driver.Assembling = true;
    if (readLimit != 0)
        line.ReadLimit = readLimit;

    size_t fed = 0;
    size_t consumed = 0;
    size_t emitted = 0;
    size_t returns = 0;
    const auto step = [&] {
        driver.ReceiveData();
        const size_t now = fed - line.Waiting();
        Check(now >= consumed);
        returns += static_cast<size_t>(std::count(stream.begin() + consumed, stream.begin() + now, end));
        consumed = now;
        std::string code;
        while (driver.QueueHead(code)) {
            Check(code.size() <= limit);
            Check(std::all_of(code.begin(), code.end(),
                              [&](char c) { return allowed[static_cast<uint8_t>(c)]; }));
            Check(emitted < expected.size() && code == expected[emitted]);
            ++emitted;
            driver.QueueRemoveHead();
        }
        // A code leaves at the very byte that ends it, never before.
        Check(emitted == returns);
    };

    for (size_t i = 0; fed < stream.size(); ++i) {
        const size_t n =
            chunks.empty() ? stream.size() : static_cast<uint8_t>(chunks[i % chunks.size()]) + 1u;
        const std::string_view chunk = stream.substr(fed, n);
        line.Feed(std::string(chunk));
        fed += chunk.size();
        step();
    }
    while (consumed < fed) {
        const size_t before = consumed;
        step();
        Check(consumed > before);
    }
    Check(emitted == expected.size());
    const auto ring = driver.Ring();
    Check(ring.ReadPos == ring.WritePos && !ring.Full);
    return 0;
}
