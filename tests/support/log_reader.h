// Reads back the log files the library writes.
#pragma once

#include <cstddef>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

namespace belvor::test {

// The whole file, bytes as they are; empty when it cannot be read.
std::string ReadAll(const std::filesystem::path& path);

// One record: mark, space, "dd.mm hh:mm:ss" with one separator byte, space,
// text (the 8th group), CR LF.
const std::regex& RecordPattern();

// Each line of a log file: "" for an empty one, the text of a well-formed
// record, or the size of any other line, as "<N bytes>".
std::vector<std::string> LineTexts(const std::filesystem::path& path);

// The log of this test program, named as the library names it beside the host.
std::string HostLogPath();

// The host's log over all its generations, oldest first: each line as
// LineTexts gives it, the empty lines left out.
std::vector<std::string> HostLogTexts();

// The level mark of the first record of the host's current log with this text; 0 when none.
char HostLogMarkOf(const std::string& text);

// Whether the host's log holds a record with this text, or one whose text
// starts so.
bool HasRecord(const std::string& text);
bool HasRecordStarting(const std::string& start);

// How many of the texts are this one.
size_t Count(const std::vector<std::string>& texts, const std::string& text);

} // namespace belvor::test
