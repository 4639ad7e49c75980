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

} // namespace belvor::platform
