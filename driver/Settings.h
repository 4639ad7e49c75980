// What Belvor.ini says about a driver: which bytes a code may hold, which byte
// ends it, how long it may be, the line's speed and format, whether a lost
// device is opened again, where its port's device is and where the log goes.
// The port's own section ([COM3]) may hold any key of [Chars], [Code] and [Port]. Read once per driver, with
// the rules of GetPrivateProfileStringA on both platforms.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace belvor {

inline constexpr const char* kAllowSection = "Chars";
inline constexpr const char* kAllowKey = "Allow";
inline constexpr const char* kAllowCodesKey = "AllowCodes";
inline constexpr const char* kDefaultAllow = "0123456789ABCDEF";
inline constexpr const char* kCodeSection = "Code";
inline constexpr const char* kMaxLengthKey = "MaxLength";
inline constexpr const char* kEndKey = "End";
inline constexpr const char* kQueueLimitKey = "QueueLimit";
inline constexpr const char* kSymbologyIdKey = "SymbologyId"; // None, the default, or Aim
inline constexpr const char* kPortSection = "Port";
inline constexpr const char* kReconnectKey = "Reconnect";
inline constexpr const char* kWakeKey = "Wake";
inline constexpr const char* kBaudKey = "Baud";
inline constexpr const char* kDataBitsKey = "DataBits";
inline constexpr const char* kParityKey = "Parity";
inline constexpr const char* kStopBitsKey = "StopBits";
inline constexpr const char* kPortsSection = "Ports"; // COMn=path

inline constexpr uint16_t kDefaultMaxLength = 104;
// Room for the longest 2D code (a QR code holds up to 7,089 digits).
inline constexpr uint16_t kMaxMaxLength = 8192;
inline constexpr uint32_t kDefaultQueueLimit = 65536;
inline constexpr uint32_t kMaxQueueLimit = 1000000;
inline constexpr uint8_t kDefaultEnd = 13; // carriage return

struct TDriverSettings {
    std::string Allow;               // [Chars] Allow as read; empty when it could not be read
    std::array<bool, 256> Allowed{}; // Allow's characters and AllowCodes' bytes
    uint8_t End = kDefaultEnd;
    uint16_t MaxLength = kDefaultMaxLength;
    uint32_t QueueLimit = kDefaultQueueLimit; // codes waiting for delivery, at most
    bool AimIds = false; // [Code] SymbologyId=Aim: each code starts with its AIM symbology identifier
    bool Reconnect = true;
    bool WakeOnEvent = false; // [Port] Wake=Event; Poll, the default, looks every 10 ms
    uint32_t BaudRate = 9600; // [Port] Baud, DataBits, Parity, StopBits: 9600 8N1 unless set
    uint8_t DataBits = 8;
    uint8_t Parity = 0; // 0 none, 1 odd, 2 even
    uint8_t StopBits = 1;
    std::string PortPath; // [Ports] COMn of the driver's port; empty: the system's own name
    std::string LogDir;   // [Log] Dir, as read; the logger uses the first driver's
    // "[Section] Key=value" of each value that could not be read and so
    // counts as absent.
    std::vector<std::string> Ignored;
    // "[Section] Key" of each value with text after it that looks like a comment
    // (HasTextAfterValue): part of the value, read or ignored as such.
    std::vector<std::string> Notes;
};

// The settings for a driver on COMport.
TDriverSettings ReadDriverSettings(const char* path, uint16_t port);

// [Ports] COMport: the path of the port's device; empty when not named.
std::string ReadPortPath(const char* path, uint16_t port);

// What Belvor.ini says for a driver on port now; unreadable: the defaults,
// with no character allowed, as with an empty list.
TDriverSettings LoadDriverSettings(uint16_t port) noexcept;

// [Ports] COMn as Belvor.ini says it at each reopen: a scanner may come back
// under a name written there while it was away.
std::string ConfiguredPortPath(uint16_t port) noexcept;

// One value: decimal, or hexadecimal after 0x, from lo to hi, nothing else
// around it but blanks.
bool ParseValue(std::string_view text, uint32_t lo, uint32_t hi, uint32_t& value);
// Byte values and ranges, "29, 32-126"; false (set untouched) when any part
// cannot be read. An empty text is an empty set.
bool ParseByteSet(std::string_view text, std::array<bool, 256>& set);

} // namespace belvor
