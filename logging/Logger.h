// The library's log file: one line per record, beside the host's executable,
// rotated by size into the generations ".0" (newest) to ".9" (oldest).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace belvor {

// The size a log file may reach before the next record starts a new one.
inline constexpr int32_t kLogSizeLimit = 102400;

inline constexpr const char* kLogSection = "Log";
inline constexpr const char* kLogDirKey = "Dir";

// Sets the log file name from the host's executable, in the directory logDir
// names ([Log] Dir of Belvor.ini as read; relative to the executable's; empty
// or unusable: beside it). Called by each driver as it is created; the first
// call decides the name for the library's life, later ones ignore logDir.
void InitLogger(std::string_view logDir);

// Appends one record at level 0-4 ("-+?!#"); text is written byte for byte.
// Never reports a failure: a record that cannot be written is lost.
void LogMessage(uint8_t level, std::string_view text) noexcept;

// The record for a Belvor.ini value that holds text after it, where ("[Chars] Allow"):
// that text is part of the value, so a comment there changes the setting.
void LogTextAfterValue(std::string_view where) noexcept;

// The record for an exception that reached the library's edge: "Exception: "
// and its message.
void LogException(const char* message) noexcept;

// Moves the log file to generation ".0" (shifting the older ones up and
// dropping ".9") when it is larger than limit bytes.
void RotateLog(int32_t limit) noexcept;

// The same for a log of another writer's (the bridge's own): the rule in one
// place. Whoever calls it keeps others from writing that file meanwhile.
void RotateLogFile(const std::string& name, int32_t limit);

// Clears the log file name: nothing is written afterwards. Runs when the
// library is unloaded.
void ShutdownLogger() noexcept;

// Internal to the library (and its tests).

// The log file name for an executable: its extension replaced by ".sca".
std::string LogFileNameFor(std::string_view executablePath);

// Sets the log file name directly (empty: nothing is written).
void SetLogFileName(std::string name);
std::string LogFileName();

// Back to the state after load: no name, and the next record written is
// preceded by an empty line.
void ResetLoggerForTesting();

} // namespace belvor
