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
    // A default that stands for "absent"; a value may still be the same text
    // (an allow-list of bytes 1 and 2), so when it comes back a second read
    // with another default tells the two apart.
    static constexpr const char* kAbsent = "\x01\x02";
    static constexpr const char* kAbsentToo = "\x02\x01";
    value = platform::ReadProfileString(path, section, key, kAbsent);
    if (value != kAbsent)
        return true;
    value = platform::ReadProfileString(path, section, key, kAbsentToo);
    return value != kAbsentToo;
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
// A key of [Chars], [Code] or [Port] is looked up first in the port's own
// section ([COM3]): a value read there wins.
class TSettingsReader {
public:
    TSettingsReader(const char* path, uint16_t port, TDriverSettings& settings)
        : FPath(path), FPortSection("COM" + std::to_string(port)), FSettings(settings)
    {
    }

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

    // Offers the key's value to take, first from the port's section, then from
    // section, until take accepts one; a refused one is ignored. False when
    // none was taken.
    template <class Take> bool Each(const char* section, const char* key, Take take)
    {
        for (const char* from : {FPortSection.c_str(), section}) {
            std::string value;
            if (!Read(FPath, from, key, value))
                continue;
            Note(from, key, value);
            if (take(value))
                return true;
            Ignore(from, key, value);
        }
        return false;
    }

    bool Get(const char* section, const char* key, std::string& value)
    {
        return Each(section, key, [&value](const std::string& read) {
            value = read;
            return true;
        });
    }

    // A number from lo to hi; false when absent or ignored.
    bool Number(const char* section, const char* key, uint32_t lo, uint32_t hi, uint32_t& n)
    {
        return Each(section, key, [&](const std::string& value) { return ParseValue(value, lo, hi, n); });
    }

    // One of the words; index says which; untouched when absent or ignored.
    template <class T>
    void Choice(const char* section, const char* key, std::initializer_list<const char*> words, T& index)
    {
        (void)Each(section, key, [&](const std::string& value) {
            int i = 0;
            for (const char* word : words) {
                if (value == word) {
                    index = static_cast<T>(i);
                    return true;
                }
                ++i;
            }
            return false;
        });
    }

private:
    const char* FPath;
    std::string FPortSection;
    TDriverSettings& FSettings;
};

// The rates a scanner's line may be set to.
bool StandardBaudRate(uint32_t rate)
{
    for (const uint32_t standard : {1200u, 2400u, 4800u, 9600u, 19200u, 38400u, 57600u, 115200u, 230400u})
        if (rate == standard)
            return true;
    return false;
}

// [Port]'s line keys, or the port's own.
void ReadLineSettings(TSettingsReader& reader, TDriverSettings& s)
{
    (void)reader.Each(kPortSection, kBaudKey, [&s](const std::string& value) {
        uint32_t rate = 0;
        if (!ParseValue(value, 1200, 230400, rate) || !StandardBaudRate(rate))
            return false;
        s.BaudRate = rate;
        return true;
    });
    uint32_t n = 0;
    if (reader.Number(kPortSection, kDataBitsKey, 7, 8, n))
        s.DataBits = static_cast<uint8_t>(n);
    // Numbered as the port numbers them: none, odd, even.
    reader.Choice(kPortSection, kParityKey, {"None", "Odd", "Even"}, s.Parity);
    if (reader.Number(kPortSection, kStopBitsKey, 1, 2, n))
        s.StopBits = static_cast<uint8_t>(n);
}

} // namespace

TDriverSettings ReadDriverSettings(const char* path, uint16_t port)
{
    TDriverSettings s;
    TSettingsReader reader(path, port, s);
    if (!reader.Get(kAllowSection, kAllowKey, s.Allow))
        s.Allow = kDefaultAllow;
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
    reader.Choice(kCodeSection, kSymbologyIdKey, {"None", "Aim"}, s.AimIds);
    reader.Choice(kPortSection, kReconnectKey, {"0", "1"}, s.Reconnect);
    reader.Choice(kPortSection, kWakeKey, {"Poll", "Event"}, s.WakeOnEvent);
    ReadLineSettings(reader, s);
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
