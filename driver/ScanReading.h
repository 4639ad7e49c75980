// One code read whole: its symbology identifier, and the GS1 fields its label
// carries (element strings, an EAN/UPC number as its GTIN, or a GS1 Digital
// Link URI). What the scan callback gives beside the bytes. A pure function.
#pragma once

#include "driver/Gs1Parse.h"
#include "driver/SymbologyId.h"

#include <cstdint>
#include <string_view>

namespace belvor {

enum class TScanData : uint8_t {
    None,          // no GS1 data found: Gs1 is empty
    ElementString, // ]C1, ]e0, ]d2, ]Q3, ]J1, ]z1 ..., or no identifier and a leading GS
    Gtin,          // EAN/UPC (or DataBar's bare 14 digits): field 01
    DigitalLink,   // an http(s) URI with a GS1 key in its path, under no GS1 identifier
};

struct TScanReading {
    TSymbologyId Symbology;
    TScanData Data = TScanData::None;
    gs1::TGs1Data Gs1; // positions are byte offsets in Symbology.Label
};

// readIdentifier false: the code is taken as it came, its label itself, as a
// scanner set to send no identifier sends it; its GS1 data is still read
// where the data itself says so (a Digital Link, a leading GS).
TScanReading ReadScan(std::string_view code, bool readIdentifier = true);

} // namespace belvor
