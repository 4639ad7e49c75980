// What a code is, as a ScanProc host gets it: its symbology identifier, type
// and label, and a GS1 code's fields with what is wrong with them. Reading it
// is pure (no file, lock, thread or log); TScanView lays a reading out as the
// C structs of belvor.h, pointing into the code and the reading.
#pragma once

#include "belvor.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace belvor {

struct TScanField {
    std::string Ai;
    std::string Value;
};

struct TScanError {
    std::string Ai; // empty when none could be read
    uint32_t Kind;  // BELVOR_GS1_*
    uint32_t Position;
};

struct TScanReading {
    std::string Aim; // "]d2"; empty when none was read
    uint32_t Type = BELVOR_SCAN_UNKNOWN;
    std::string Label;  // the code without its identifier(s)
    uint32_t Flags = 0; // BELVOR_SCAN_*
    std::vector<TScanField> Fields;
    std::vector<TScanError> Errors;
};

// The code read; aimIds: it starts with its identifier ([Code] SymbologyId=Aim).
// Never fails but for memory: a code it cannot make sense of comes back typed
// unknown, its label the code itself.
TScanReading ReadScan(std::string_view code, bool aimIds);

// Whether the code starts with a valid symbology identifier; cheap, for the count.
bool StartsWithSymbologyId(std::string_view code) noexcept;

// A reading as the C structs: valid while the view, its reading and the code live.
class TScanView {
public:
    TScanView(int32_t driver, std::string_view code, const TScanReading& reading);
    TScanView(const TScanView&) = delete;
    TScanView& operator=(const TScanView&) = delete;
    const BelvorScan* Get() const { return &FScan; }

private:
    std::vector<BelvorGs1Field> FFields;
    std::vector<BelvorGs1Error> FErrors;
    BelvorScan FScan{};
};

// A code's scan handed to proc, however little memory is left: the bytes as
// received, typed unknown, when the reading itself cannot be made.
void CallWithScan(int32_t driver, std::string_view code, bool aimIds, ScanProc proc, void* context);

} // namespace belvor
