// Every Belvor.ini example the project shows, read by the driver's own reader:
// each must set what its text says. The examples are the ```ini blocks of the
// Markdown files and the sample packaging/Belvor.ini; a block that shows a
// mistake on purpose has the line <!-- ini: wrong --> right before it, and
// must then draw a record in the log.
#include "driver/Settings.h"
#include "logging/Logger.h"
#include "platform/profile.h"
#include "support/file_bytes.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>

using namespace belvor;
namespace fs = std::filesystem;

namespace {

const fs::path kSource = fs::path(BELVOR_SOURCE_DIR).lexically_normal();

struct Example {
    std::string Where; // file:line of its first line
    std::string Text;
    bool Wrong = false;
};

// One key=value line of an example, as a reader of the text takes it.
struct Entry {
    std::string Section, Key, Value;
};

std::string Trim(std::string s)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!s.empty() && blank(s.back()))
        s.pop_back();
    size_t i = 0;
    while (i < s.size() && blank(s[i]))
        ++i;
    return s.substr(i);
}

std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::vector<Example> MarkdownExamples(const fs::path& file)
{
    std::vector<Example> found;
    const std::vector<std::string> lines = Lines(test::ReadBytes(file.string()));
    const std::string name = file.lexically_relative(kSource).generic_string();
    for (size_t i = 0; i < lines.size(); ++i) {
        if (Trim(lines[i]) != "```ini")
            continue;
        Example example{name + ":" + std::to_string(i + 2), "",
                        i > 0 && Trim(lines[i - 1]) == "<!-- ini: wrong -->"};
        for (++i; i < lines.size() && Trim(lines[i]) != "```"; ++i)
            example.Text += lines[i] + "\n";
        found.push_back(example);
    }
    return found;
}

std::vector<Example> AllExamples()
{
    std::vector<Example> all{
        {"packaging/Belvor.ini", test::ReadBytes((kSource / "packaging/Belvor.ini").string())}};
    for (auto it = fs::recursive_directory_iterator(kSource); it != fs::recursive_directory_iterator();
         ++it) {
        const std::string name = it->path().filename().string();
        if (it->is_directory() && (name.starts_with(".") || name == "build"))
            it.disable_recursion_pending();
        else if (it->is_regular_file() && it->path().extension() == ".md")
            for (Example& e : MarkdownExamples(it->path()))
                all.push_back(e);
    }
    return all;
}

std::vector<Entry> Entries(const std::string& text)
{
    std::vector<Entry> entries;
    std::string section;
    for (const std::string& raw : Lines(text)) {
        const std::string line = Trim(raw);
        if (line.starts_with("[") && line.ends_with("]"))
            section = line.substr(1, line.size() - 2);
        else if (!line.empty() && line[0] != ';' && line.find('=') != std::string::npos)
            entries.push_back(
                {section, Trim(line.substr(0, line.find('='))), Trim(line.substr(line.find('=') + 1))});
    }
    return entries;
}

// A number as the examples write them: decimal, or hexadecimal after 0x.
unsigned long Number(const std::string& text)
{
    const bool hex = text.starts_with("0x") || text.starts_with("0X");
    return std::strtoul(text.c_str() + (hex ? 2 : 0), nullptr, hex ? 16 : 10);
}

// The section of [Chars], [Code] or [Port] that has the key, for a port's own section.
std::string SectionOfKey(const std::string& key)
{
    for (const char* k : {kAllowKey, kAllowCodesKey})
        if (key == k)
            return kAllowSection;
    for (const char* k : {kMaxLengthKey, kEndKey, kQueueLimitKey, kSymbologyIdKey})
        if (key == k)
            return kCodeSection;
    return kPortSection;
}

// Whether s holds what section's key=value says; false for a key the driver does not know.
bool ChecksSetting(const TDriverSettings& s, const std::string& section, const std::string& key,
                   const std::string& value)
{
    const std::string where = "[" + section + "] " + key + "=" + value;
    const auto is = [&](const char* sec, const char* k) { return section == sec && key == k; };
    if (is(kAllowSection, kAllowKey))
        EXPECT_EQ(s.Allow, value) << where;
    else if (is(kCodeSection, kMaxLengthKey))
        EXPECT_EQ(s.MaxLength, Number(value)) << where;
    else if (is(kCodeSection, kEndKey))
        EXPECT_EQ(s.End, Number(value)) << where;
    else if (is(kCodeSection, kQueueLimitKey))
        EXPECT_EQ(s.QueueLimit, Number(value)) << where;
    else if (is(kCodeSection, kSymbologyIdKey))
        EXPECT_EQ(s.AimIds, value == "Aim") << where;
    else if (is(kPortSection, kReconnectKey))
        EXPECT_EQ(s.Reconnect, value == "1") << where;
    else if (is(kPortSection, kWakeKey))
        EXPECT_EQ(s.WakeOnEvent, value == "Event") << where;
    else if (is(kPortSection, kBaudKey))
        EXPECT_EQ(s.BaudRate, Number(value)) << where;
    else if (is(kPortSection, kDataBitsKey))
        EXPECT_EQ(s.DataBits, Number(value)) << where;
    else if (is(kPortSection, kParityKey))
        EXPECT_EQ((std::array<std::string, 3>{"None", "Odd", "Even"}.at(s.Parity)), value) << where;
    else if (is(kPortSection, kStopBitsKey))
        EXPECT_EQ(s.StopBits, Number(value)) << where;
    else if (is(kLogSection, kLogDirKey))
        EXPECT_EQ(s.LogDir, value) << where;
    else
        return is(kAllowSection, kAllowCodesKey);
    return true;
}

} // namespace

TEST(DocumentedIni, EveryExampleSetsWhatItSays)
{
    const char* tmp = std::getenv("BELVOR_TEST_TMP");
    const fs::path dir = tmp ? fs::path(tmp) : fs::temp_directory_path();
    fs::create_directories(dir);
    const std::string path = (dir / "docs_ini_example.ini").string();

    const std::vector<Example> examples = AllExamples();
    EXPECT_GE(std::count_if(examples.begin(), examples.end(),
                            [](const Example& e) { return e.Where.starts_with("README.md:"); }),
              5)
        << "the README's examples are found";
    for (const Example& example : examples) {
        SCOPED_TRACE(example.Where + "\n" + example.Text);
        std::ofstream(path, std::ios::binary | std::ios::trunc) << example.Text;
        const TDriverSettings s = ReadDriverSettings(path.c_str(), 0);
        if (example.Wrong) {
            EXPECT_FALSE(s.Ignored.empty() && s.Notes.empty()) << "marked wrong, yet it draws no record";
            continue;
        }
        for (const std::string& ignored : s.Ignored)
            ADD_FAILURE() << ignored << " ignored";
        for (const std::string& note : s.Notes)
            ADD_FAILURE() << note << " has text after its value";
        for (const Entry& e : Entries(example.Text)) {
            const std::string where = "[" + e.Section + "] " + e.Key + "=" + e.Value;
            EXPECT_EQ(platform::ReadProfileString(path.c_str(), e.Section.c_str(), e.Key.c_str(), "\x01"),
                      e.Value)
                << where << ": not the value read";
            EXPECT_FALSE(platform::HasTextAfterValue(e.Value)) << where;
            if (std::regex_match(e.Section, std::regex("COM[1-9][0-9]*"))) {
                // A port's own section: the key of [Chars], [Code] or [Port] for that port alone.
                const auto port = static_cast<uint16_t>(Number(e.Section.substr(3)));
                const TDriverSettings own = ReadDriverSettings(path.c_str(), port);
                EXPECT_EQ(own.Ignored, std::vector<std::string>{}) << where;
                EXPECT_EQ(own.Notes, std::vector<std::string>{}) << where;
                EXPECT_TRUE(ChecksSetting(own, SectionOfKey(e.Key), e.Key, e.Value))
                    << where << ": no such key";
            } else if (e.Section == kPortsSection && std::regex_match(e.Key, std::regex("COM[1-9][0-9]*")))
                EXPECT_EQ(
                    ReadDriverSettings(path.c_str(), static_cast<uint16_t>(Number(e.Key.substr(3)))).PortPath,
                    e.Value)
                    << where;
            else
                EXPECT_TRUE(ChecksSetting(s, e.Section, e.Key, e.Value)) << where << ": no such key";
        }
    }
    fs::remove(path);
}
