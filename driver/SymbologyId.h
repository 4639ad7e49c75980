// What a code's symbology identifier says: the AIM identifier a scanner may
// send before each code (ISO/IEC 15424: ']', a code character, a modifier),
// read into the point-of-sale standard's type number, the label (the code
// without its identifiers) and whether GS1 data follows. A pure function over
// one code's bytes: no file, lock, thread or log.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace belvor {

// The point-of-sale standard's ScanDataType numbers.
enum class TScanType : int32_t {
    Unknown = 0,
    UpcA = 101,
    UpcE = 102,
    Ean8 = 103,
    Ean13 = 104,
    Tf = 105, // straight (discrete) 2 of 5
    Itf = 106,
    Codabar = 107,
    Code39 = 108,
    Code93 = 109,
    Code128 = 110,
    UpcAS = 111, // with an add-on
    UpcES = 112,
    Ean8S = 118,
    Ean13S = 119,
    Gs1128 = 120, // EAN 128
    DataBar = 131,
    DataBarExpanded = 132,
    ItfCk = 133,    // check digit verified and sent
    Code39Ck = 137, // check character verified and sent
    Isbt128 = 141,
    Code11 = 142,
    Msi = 143,
    Plessey = 144,
    Telepen = 145,
    Pdf417 = 201,
    MaxiCode = 202,
    DataMatrix = 203,
    QrCode = 204,
    Aztec = 206,
    MicroPdf417 = 207,
    Gs1DataMatrix = 208,
    Gs1QrCode = 209,
    Code49 = 210,
    Code16K = 211,
    CodablockA = 212,
    CodablockF = 213,
    HanXin = 215,
};

// What the label holds for GS1's purposes.
enum class TGs1Content : uint8_t {
    None,
    ElementString, // GS1 element strings (FNC1 in first position)
    Gtin,          // an EAN/UPC number (8, 12 or 13 digits; UPC-E as its 8), or DataBar's bare 14
};

struct TSymbologyId {
    // The code starts with an identifier of a known code character and modifier.
    bool Valid = false;
    // e.g. "]d2"; the first when a code has two (EAN-13 and its add-on); "" when not Valid.
    std::string Identifier;
    // The code without its identifiers; the whole code when not Valid. An
    // EAN/UPC add-on sent as a second identified part follows the main digits.
    std::string Label;
    std::string AddOn; // an EAN/UPC add-on's digits (2 or 5), also at the end of Label
    TScanType Type = TScanType::Unknown;
    TGs1Content Gs1 = TGs1Content::None;
};

// Reads the identifier at the start of one code. Never fails: a code without
// a valid identifier comes back whole as its label, typed Unknown, not Valid.
TSymbologyId ReadSymbologyId(std::string_view code);

} // namespace belvor
