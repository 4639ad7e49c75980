// Any bytes as an element string: errors point into it, and what parsed clean
// (a scanner's form, not brackets) is parsed the same again once written back
// with a GS after every field of no predefined length.
#include "driver/Gs1Parse.h"
#include "fuzz/fuzz_input.h"

#include <cstdint>
#include <string_view>

using namespace belvor::gs1;
using belvor::fuzz::Check;
using belvor::fuzz::Text;

namespace {

bool SameFields(const TGs1Data& a, const TGs1Data& b)
{
    if (a.Fields.size() != b.Fields.size())
        return false;
    for (size_t i = 0; i < a.Fields.size(); ++i)
        if (a.Fields[i].Ai != b.Fields[i].Ai || a.Fields[i].Value != b.Fields[i].Value)
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view input = Text(data, size);
    TGs1Data out;
    ParseElementString(input, out);
    size_t taken = 0;
    for (const TField& f : out.Fields)
        taken += f.Ai.size() + f.Value.size();
    Check(taken <= input.size());
    for (const TFieldError& e : out.Errors)
        Check(e.Position <= input.size());
    if (!out.Errors.empty() || input.find_first_not_of(kGroupSeparator) == std::string_view::npos ||
        input[input.find_first_not_of(kGroupSeparator)] == '(')
        return 0;
    std::string written;
    for (const TField& f : out.Fields) {
        written += f.Ai + f.Value;
        if (!FindAi(f.Ai)->Predefined)
            written += kGroupSeparator;
    }
    TGs1Data again;
    ParseElementString(written, again);
    Check(again.Errors.empty() && SameFields(out, again));
    return 0;
}
