#include "support/log_reader.h"

#include "logging/Logger.h"
#include "platform/process.h"

#include <algorithm>
#include <fstream>
#include <iterator>

namespace belvor::test {

namespace {

constexpr const char* kEmptyLine = "\r\n";

// Calls `line` with each line of the file, its CR LF included (the last one
// may lack it).
template <class Fn> void ForEachLine(const std::filesystem::path& path, Fn line)
{
    const std::string content = ReadAll(path);
    for (size_t start = 0, end; start < content.size(); start = end) {
        end = content.find("\r\n", start);
        end = end == std::string::npos ? content.size() : end + 2;
        line(content.substr(start, end - start));
    }
}

// The record's head ("! dd.mm hh:mm:ss "): the pattern is matched against it
// alone, since the regex engine recurses once per character and a long code's
// record would overflow the stack.
constexpr size_t kHeadSize = 17;

bool IsRecord(const std::string& line)
{
    return line.size() >= kHeadSize + 2 && line.ends_with("\r\n") &&
           line.find_first_of("\r\n", kHeadSize) == line.size() - 2 &&
           std::regex_match(line.substr(0, kHeadSize) + "\r\n", RecordPattern());
}

// A record's text, or the size of a line that is no record.
std::string TextOf(const std::string& line)
{
    return IsRecord(line) ? line.substr(kHeadSize, line.size() - kHeadSize - 2)
                          : "<" + std::to_string(line.size()) + " bytes>";
}

} // namespace

std::string ReadAll(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

const std::regex& RecordPattern()
{
    static const std::regex pattern(
        R"(([-+?!#]) (\d\d)\.(\d\d) (\d\d)([^\d ])(\d\d)\5(\d\d) ([^\r\n]*)\r\n)");
    return pattern;
}

std::vector<std::string> LineTexts(const std::filesystem::path& path)
{
    std::vector<std::string> texts;
    ForEachLine(path,
                [&](const std::string& line) { texts.push_back(line == kEmptyLine ? "" : TextOf(line)); });
    return texts;
}

std::string HostLogPath()
{
    return LogFileNameFor(platform::HostExecutablePath());
}

std::vector<std::string> HostLogTexts()
{
    const std::string name = HostLogPath();
    std::vector<std::string> texts;
    for (int generation = 9; generation >= -1; --generation) {
        ForEachLine(generation < 0 ? name : name + "." + std::to_string(generation),
                    [&](const std::string& line) {
                        if (line != kEmptyLine)
                            texts.push_back(TextOf(line));
                    });
    }
    return texts;
}

char HostLogMarkOf(const std::string& text)
{
    char mark = 0;
    ForEachLine(HostLogPath(), [&](const std::string& line) {
        if (mark == 0 && IsRecord(line) && TextOf(line) == text)
            mark = line[0];
    });
    return mark;
}

bool HasRecord(const std::string& text)
{
    return Count(HostLogTexts(), text) > 0;
}

bool HasRecordStarting(const std::string& start)
{
    const auto texts = HostLogTexts();
    return std::any_of(texts.begin(), texts.end(),
                       [&](const std::string& t) { return t.starts_with(start); });
}

size_t Count(const std::vector<std::string>& texts, const std::string& text)
{
    return static_cast<size_t>(std::count(texts.begin(), texts.end(), text));
}

} // namespace belvor::test
