// Any bytes as one code through the identifier reader and the whole scan
// reading: the label is the code without its identifiers, a code without a
// valid one comes back whole and untyped, and every error points into the label.
#include "driver/ScanReading.h"
#include "fuzz/fuzz_input.h"

#include <cstdint>
#include <string_view>

using namespace belvor;
using belvor::fuzz::Check;
using belvor::fuzz::Text;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view code = Text(data, size);
    const TScanReading reading = ReadScan(code);
    const TSymbologyId& id = reading.Symbology;
    if (!id.Valid) {
        Check(id.Label == code && id.Identifier.empty() && id.Type == TScanType::Unknown &&
              id.Gs1 == TGs1Content::None);
    } else {
        Check(id.Identifier == code.substr(0, 3));
        if (code[1] != 'E')
            Check(id.Label == code.substr(3) && id.AddOn.empty());
        else
            Check(id.Label.size() + 3 <= code.size() && id.Label.ends_with(id.AddOn));
    }
    for (const gs1::TFieldError& e : reading.Gs1.Errors)
        Check(e.Position <= id.Label.size());
    Check(reading.Data != TScanData::None || reading.Gs1.Fields.empty());
    return 0;
}
