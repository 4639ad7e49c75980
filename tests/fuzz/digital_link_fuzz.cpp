// Any bytes as a Digital Link URI: nothing added unless it is one, its fields'
// AIs are digits (or none, for a segment that is no AI), and errors point into it.
#include "driver/DigitalLink.h"
#include "fuzz/fuzz_input.h"

#include <cstdint>
#include <string_view>

using namespace belvor::gs1;
using belvor::fuzz::Check;
using belvor::fuzz::Text;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view uri = Text(data, size);
    TGs1Data out;
    const bool link = ParseDigitalLink(uri, out);
    Check(link || (out.Fields.empty() && out.Errors.empty()));
    Check(!link || !out.Fields.empty());
    for (const TField& f : out.Fields)
        Check(f.Ai.find_first_not_of("0123456789") == std::string_view::npos && f.Value.size() <= uri.size());
    for (const TFieldError& e : out.Errors)
        Check(e.Position <= uri.size()); // an empty value at the end points at the end
    return 0;
}
