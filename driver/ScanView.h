// A code's reading (driver/ScanReading.h) as the C structs of belvor.h that a
// ScanProc host gets, pointing into the code and the reading.
#pragma once

#include "belvor.h"
#include "driver/ScanReading.h"

#include <cstdint>
#include <optional>
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

// The code read (aimIds: it starts with its identifier); none when memory ran out.
std::optional<TScanReading> TryReadScan(std::string_view code, bool aimIds) noexcept;

// A code's scan handed to proc. However little memory is left the code gets
// there: as received, typed unknown, when there is no reading (null) or its
// view cannot be made.
void CallWithScan(int32_t driver, std::string_view code, const TScanReading* reading, ScanProc proc,
                  void* context);

} // namespace belvor
