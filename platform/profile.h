// Configuration values from an INI file, as GetPrivateProfileStringA reads them.
#pragma once

#include <string>
#include <string_view>

namespace belvor::platform {

// The library's configuration file: C:\DEXE\Belvor.ini on Windows, Belvor.ini
// in the system directory elsewhere.
const char* ConfigFilePath();

// The value of key in section of the INI file at path; defaultValue when the
// file, the section or the key is missing. A key present with an empty value
// gives the empty string.
std::string ReadProfileString(const char* path, const char* section, const char* key,
                              const char* defaultValue);

// The same, from INI text already in memory (ANSI, or UTF-8 or UTF-16 after a byte-order
// mark, as Windows reads it); false when the section or key is missing or has no '='.
bool FindProfileString(std::string_view text, std::string_view section, std::string_view key,
                       std::string& value);

// Whether a value read holds what looks like a comment after it ("255   ; the longest"
// reads as all of that): a ';' after a blank, or first, the blanks before it having been
// trimmed. The value counts as read; a host is only told.
inline bool HasTextAfterValue(std::string_view value)
{
    for (size_t i = 0; i < value.size(); ++i)
        if (value[i] == ';' && (i == 0 || value[i - 1] == ' ' || value[i - 1] == '\t'))
            return true;
    return false;
}

} // namespace belvor::platform
