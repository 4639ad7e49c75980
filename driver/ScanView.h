// A code's reading (driver/ScanReading.h) as the C structs of belvor.h that a
// ScanProc host gets, pointing into the code and the reading.
#pragma once

#include "belvor.h"
#include "driver/ScanReading.h"

#include <cstdint>
#include <string_view>
#include <vector>

namespace belvor {

// Valid while the view, its reading and the code live.
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

// Whether the code starts with a valid symbology identifier.
bool StartsWithSymbologyId(std::string_view code) noexcept;

// A code's scan handed to proc; aimIds: the code starts with its identifier.
// However little memory is left the code gets there: as received, typed
// unknown, when its reading cannot be made.
void CallWithScan(int32_t driver, std::string_view code, bool aimIds, ScanProc proc, void* context);

} // namespace belvor
