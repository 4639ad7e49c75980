// The code assembler alone: bytes in, steps and codes out.
#include "driver/CodeAssembler.h"
#include "driver/Settings.h"

#include <gtest/gtest.h>

using namespace belvor;

namespace {

std::array<bool, 256> Allowing(std::string_view bytes)
{
    std::array<bool, 256> allowed{};
    for (const char c : bytes)
        allowed[static_cast<uint8_t>(c)] = true;
    return allowed;
}

// Each byte value once, in order, but the one given.
std::string EveryByteBut(uint8_t left)
{
    std::string every;
    for (int b = 0; b < 256; ++b)
        if (b != left)
            every.push_back(static_cast<char>(b));
    return every;
}

// What the assembler made of a stream: each code (a cut one as "text/cut:seen"),
// and how many bytes it refused.
std::pair<std::vector<std::string>, int> Assemble(TCodeAssembler& assembler, std::string_view stream)
{
    std::vector<std::string> codes;
    int refused = 0;
    for (const char c : stream) {
        switch (assembler.Take(static_cast<uint8_t>(c))) {
        case TCodeAssembler::TStep::Complete: {
            const TQueuedItem code = assembler.TakeCode();
            EXPECT_EQ(code.What, TQueuedItem::Code);
            codes.push_back(code.Cut ? code.Text + "/cut:" + std::to_string(code.Value) : code.Text);
            break;
        }
        case TCodeAssembler::TStep::Refused:
            ++refused;
            break;
        case TCodeAssembler::TStep::Collecting:
            break;
        }
    }
    return {codes, refused};
}

} // namespace

TEST(CodeAssembler, BytesInCodesOut)
{
    const std::string hex = kDefaultAllow;
    const std::string spread("\0\tAB\x7F\x80\x81\xFF", 8);
    const struct {
        std::string allow;
        uint8_t end;
        uint16_t maxLength;
        std::string stream;
        std::vector<std::string> codes;
        int refused;
    } cases[] = {
        // Filtered, and cut at each end byte; an LF after a CR is refused, not a code.
        {hex, 13, 104, "12AB\r12ab\r123\r\n456\r\n789\r\r\r", {"12AB", "12", "123", "456", "789", "", ""}, 4},
        {hex, 13, 104, "12", {}, 0}, // no end byte, no code
        {"", 13, 104, "123\r\r", {"", ""}, 3},
        {"AB", 13, 104, "A1B2\rab\r", {"AB", ""}, 4},
        // Past the maximum: cut, with the length it had; the next code starts clean.
        {hex, 13, 4, "123456\r42\r", {"1234/cut:6", "42"}, 0},
        {hex, 13, 4, "1234\r", {"1234"}, 0},
        {hex, 13, 1, "Z12\r", {"1/cut:2"}, 1},
        // Another end byte: CR is then refused like any byte not allowed.
        {hex, 0x1D, 104, "12\r3\x1D", {"123"}, 1},
        {hex, '\t', 104, "56\t78\r\n\t", {"56", "78"}, 2},
        // An allowed byte that is also the end byte ends the code; the other allowed ones are kept.
        {"12\r", 13, 104, "1\r2\r", {"1", "2"}, 0},
        {hex + "\t\n\r", '\n', 104, "12\r\n34\t\n", {"12\r", "34\t"}, 0},
        // Exactly the allowed bytes, whatever their value: every byte but the end one comes.
        {spread, 13, 104, EveryByteBut(13) + "\r", {spread}, 255 - 8},
    };
    for (const auto& c : cases) {
        TCodeAssembler assembler(Allowing(c.allow), c.end, c.maxLength);
        const auto [codes, refused] = Assemble(assembler, c.stream);
        EXPECT_EQ(codes, c.codes) << c.stream;
        EXPECT_EQ(refused, c.refused) << c.stream;
    }
}

TEST(CodeAssembler, KeepsSymbologyIdentifiersWhateverTheAllowList)
{
    const std::string digits = "0123456789";
    const struct {
        bool aimIds;
        std::string stream;
        std::vector<std::string> codes;
        int refused;
    } cases[] = {
        {false, "]E04006381333931\r", {"04006381333931"}, 2},
        {true,
         "]E04006381333931\r]d2010950\x1d"
         "10AB\r",
         {"]E04006381333931", "]d201095010"},
         3},
        // An EAN/UPC code's add-on comes with its own identifier after the digits.
        {true, "]E04006381333931]E212\r", {"]E04006381333931]E212"}, 0},
        // Only at the start (or in an EAN code): a ']' in a label is the allow-list's.
        {true, "]C1A]B1\r", {"]C11"}, 3},
        {true, "12]E0\r", {"120"}, 2},
        // The two bytes after ']' are printable, or not an identifier's.
        {true,
         "]\x01\x02"
         "34\r",
         {"]34"},
         2},
    };
    for (const auto& c : cases) {
        TCodeAssembler assembler(Allowing(digits), 13, 104, c.aimIds);
        const auto [codes, refused] = Assemble(assembler, c.stream);
        EXPECT_EQ(codes, c.codes) << c.stream;
        EXPECT_EQ(refused, c.refused) << c.stream;
    }
}

TEST(CodeAssembler, ResetDropsTheHalfCodeOnly)
{
    TCodeAssembler assembler(Allowing(kDefaultAllow), 13, 3);
    Assemble(assembler, "12345");
    assembler.Reset();
    EXPECT_EQ(Assemble(assembler, "9\r").first, std::vector<std::string>{"9"}) << "neither kept nor cut";
}
