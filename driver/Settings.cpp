#include "driver/Settings.h"

#include "logging/Logger.h"
#include "platform/profile.h"

namespace belvor {

namespace {

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

// The value of a key, or nullopt-like false when the key is absent.
bool Read(const char* path, const char* section, const char* key, std::string& value)
{
    // A default no value can have: the key is absent exactly when it comes back.
    static constexpr const char* kAbsent = "\x01\x02";
    value = platform::ReadProfileString(path, section, key, kAbsent);
    return value != kAbsent;
}

} // namespace

bool ParseValue(std::string_view text, uint32_t lo, uint32_t hi, uint32_t& value)
{
    text = Trim(text);
    unsigned base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty() || text.size() > 8)
        return false;
    uint32_t n = 0;
    for (const char c : text) {
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<unsigned>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = static_cast<unsigned>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = static_cast<unsigned>(c - 'A' + 10);
        else
            return false;
        n = n * base + digit;
    }
    if (n < lo || n > hi)
        return false;
    value = n;
    return true;
}

bool ParseByteSet(std::string_view text, std::array<bool, 256>& set)
{
    std::array<bool, 256> parsed{};
    if (!Trim(text).empty()) {
        for (;;) {
            const size_t comma = text.find(',');
            const std::string_view part = text.substr(0, comma);
            // A dash after the first character separates a range ("0x20-0x7E").
            const size_t dash = part.find('-', part.find_first_not_of(" \t") + 1);
            uint32_t from = 0;
            uint32_t to = 0;
            if (dash == std::string_view::npos) {
                if (!ParseValue(part, 0, 255, from))
                    return false;
                to = from;
            } else if (!ParseValue(part.substr(0, dash), 0, 255, from) ||
                       !ParseValue(part.substr(dash + 1), 0, 255, to) || from > to) {
                return false;
            }
            for (uint32_t b = from; b <= to; ++b)
                parsed[b] = true;
            if (comma == std::string_view::npos)
                break;
            text.remove_prefix(comma + 1);
        }
    }
    for (size_t b = 0; b < parsed.size(); ++b)
        set[b] = set[b] || parsed[b];
    return true;
}

std::string ReadPortPath(const char* path, uint16_t port)
{
    const std::string key = "COM" + std::to_string(port);
    return platform::ReadProfileString(path, kPortsSection, key.c_str(), "");
}

namespace {

// One driver's reading of Belvor.ini: a value that cannot be read counts as
// absent and is listed as ignored; one with text after it is listed as noted.
class TSettingsReader {
public:
    TSettingsReader(const char* path, TDriverSettings& settings) : FPath(path), FSettings(settings) {}

    void Ignore(const char* section, const char* key, const std::string& value)
    {
        FSettings.Ignored.push_back(std::string("[") + section + "] " + key + "=" + value);
    }

    // A comment after a value is part of it, as Windows reads the file: tell
    // the host, whose example or habit put it there. [Log] Dir's is the
    // logger's to tell, once, and [Ports] has never been told.
    void Note(const char* section, const char* key, const std::string& value)
    {
        if (platform::HasTextAfterValue(value))
            FSettings.Notes.push_back(std::string("[") + section + "] " + key);
    }

    bool Get(const char* section, const char* key, std::string& value)
    {
        if (!Read(FPath, section, key, value))
            return false;
        Note(section, key, value);
        return true;
    }

    // A number from lo to hi; false when absent or ignored.
    bool Number(const char* section, const char* key, uint32_t lo, uint32_t hi, uint32_t& n)
    {
        std::string value;
        if (!Get(section, key, value))
            return false;
        if (ParseValue(value, lo, hi, n))
            return true;
        Ignore(section, key, value);
        return false;
    }

    // One of two words: flag says whether it is yes; untouched when absent or ignored.
    void Choice(const char* section, const char* key, const char* yes, const char* no, bool& flag)
    {
        std::string value;
        if (!Get(section, key, value))
            return;
        if (value == yes || value == no)
            flag = value == yes;
        else
            Ignore(section, key, value);
    }

private:
    const char* FPath;
    TDriverSettings& FSettings;
};

} // namespace

TDriverSettings ReadDriverSettings(const char* path, uint16_t port)
{
    TDriverSettings s;
    TSettingsReader reader(path, s);
    s.Allow = platform::ReadProfileString(path, kAllowSection, kAllowKey, kDefaultAllow);
    reader.Note(kAllowSection, kAllowKey, s.Allow);
    for (const char c : s.Allow)
        s.Allowed[static_cast<uint8_t>(c)] = true;
    std::string value;
    if (reader.Get(kAllowSection, kAllowCodesKey, value) && !ParseByteSet(value, s.Allowed))
        reader.Ignore(kAllowSection, kAllowCodesKey, value);
    uint32_t n = 0;
    if (reader.Number(kCodeSection, kMaxLengthKey, 1, kMaxMaxLength, n))
        s.MaxLength = static_cast<uint16_t>(n);
    if (reader.Number(kCodeSection, kEndKey, 0, 255, n))
        s.End = static_cast<uint8_t>(n);
    if (reader.Number(kCodeSection, kQueueLimitKey, 1, kMaxQueueLimit, n))
        s.QueueLimit = n;
    reader.Choice(kPortSection, kReconnectKey, "1", "0", s.Reconnect);
    reader.Choice(kPortSection, kWakeKey, "Event", "Poll", s.WakeOnEvent);
    s.PortPath = ReadPortPath(path, port);
    s.LogDir = platform::ReadProfileString(path, kLogSection, kLogDirKey, "");
    return s;
}

TDriverSettings LoadDriverSettings(uint16_t port) noexcept
{
    try {
        return ReadDriverSettings(platform::ConfigFilePath(), port);
    } catch (...) {
        return {};
    }
}

std::string ConfiguredPortPath(uint16_t port) noexcept
{
    try {
        return ReadPortPath(platform::ConfigFilePath(), port);
    } catch (...) {
        return {};
    }
}

} // namespace belvor
