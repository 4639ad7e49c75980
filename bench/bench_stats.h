// What every benchmark shares, on Linux and on Windows alike: the codes they
// send, percentiles and JSON arrays of samples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace belvor::bench {

// Codes are 13 decimal digits, as an EAN-13 has: the sending line's number in
// two digits, then a sequence number in eleven. They pass the default
// allow-list unchanged.
inline constexpr size_t kCodeDigits = 13;
std::string CodeText(unsigned line, uint64_t seq);
// False when text is not such a code.
bool ParseCode(const char* text, size_t size, unsigned& line, uint64_t& seq);

// Percentile (0-100) of unsorted values, nearest rank.
int64_t Percentile(std::vector<int64_t> values, double p);

// The values as a JSON array.
std::string JsonArray(const std::vector<int64_t>& values);

// The "--name value" pairs of argv from first on, each value given to the
// setter of its name; false at a name none takes.
using OptionSetters = std::map<std::string, std::function<void(const char*)>>;
bool ReadOptions(int argc, char** argv, int first, const OptionSetters& setters);

} // namespace belvor::bench
