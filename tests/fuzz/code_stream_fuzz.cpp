// A scanner's byte stream through the code assembler alone, against a plain
// model: every byte's step, every code with its cut and length, and the half
// code a lost line drops.
//
// Input: [n] [n bytes allowed] [end byte] [max length: 2 bytes, 1 to the
//        largest a driver takes] [lost: the line is lost after this many
//        bytes, 0 = never] stream...
#include "driver/CodeAssembler.h"
#include "driver/Settings.h"
#include "fuzz/fuzz_input.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

using namespace belvor;
using belvor::fuzz::Check;
using belvor::fuzz::Text;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view input = Text(data, size);
    size_t at = 0;
    const auto next = [&]() -> uint8_t { return at < input.size() ? static_cast<uint8_t>(input[at++]) : 0; };
    std::array<bool, 256> allowed{};
    for (uint8_t n = next(); n > 0 && at < input.size(); --n)
        allowed[next()] = true;
    const uint8_t end = next();
    const uint16_t hi = next();
    const auto maxLength = static_cast<uint16_t>(1 + (hi << 8 | next()) % kMaxMaxLength);
    const size_t lostAfter = next();
    const std::string_view stream = input.substr(at);

    TCodeAssembler assembler(allowed, end, maxLength);
    std::string model; // the allowed bytes of the code so far, all of them
    for (size_t i = 0; i < stream.size(); ++i) {
        if (i == lostAfter && lostAfter != 0) {
            assembler.Reset();
            model.clear();
        }
        const auto byte = static_cast<uint8_t>(stream[i]);
        const TCodeAssembler::TStep step = assembler.Take(byte);
        if (byte == end) {
            Check(step == TCodeAssembler::TStep::Complete);
            const TQueuedItem code = assembler.TakeCode();
            const bool cut = model.size() > maxLength;
            Check(code.What == TQueuedItem::Code && code.Cut == cut);
            Check(code.Value == (cut ? model.size() : 0));
            Check(code.Text == std::string_view(model).substr(0, maxLength));
            model.clear();
        } else if (allowed[byte]) {
            Check(step == TCodeAssembler::TStep::Collecting);
            model.push_back(static_cast<char>(byte));
        } else {
            Check(step == TCodeAssembler::TStep::Refused);
        }
    }
    // What is left is a half code, given once its end byte comes.
    Check(assembler.Take(end) == TCodeAssembler::TStep::Complete);
    Check(assembler.TakeCode().Text == std::string_view(model).substr(0, maxLength));
    return 0;
}
