// The GS1 Application Identifiers a scan may carry: one row per AI (or run of
// AIs with one layout), each with its parts and their named checks, laid out
// as GS1's Barcode Syntax Dictionary lays out its own entries. Data only: the
// rows are written in the dictionary's notation and turned into parts when
// compiled, so that a row that does not read stops the build.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

namespace belvor::gs1 {

// N: digits; X: GS1's 82 characters; Y: its 39 (upper case, digits, # - /);
// Z: its 64 (the file-safe base64 alphabet, = only as padding at the end).
enum class TCharSet : uint8_t { N, X, Y, Z };

// The checks of a part, by the names the dictionary gives them.
enum class TCheck : uint8_t {
    None,
    Csum,          // GS1 check digit (mod 10, weights 3 and 1 from the right)
    CsumAlpha,     // the check character pair of a GMN
    Key,           // starts with a GS1 Company Prefix: 4 digits at least
    KeyOff1,       // the same after the first character (an indicator digit)
    Yymmd0,        // date; DD=00 is the month's end
    Yymmdd,        // date with a real day
    Yyyymmd0,      // four-digit year, DD=00 allowed
    Yyyymmdd,      // four-digit year
    Hhmi,          // hours and minutes
    Hh,            // hours
    Mi,            // minutes
    Ss,            // seconds
    Nonzero,       // not all zeros
    Zero,          // "0"
    Winding,       // 0, 1 or 9
    YesNo,         // 0 or 1
    Hyphen,        // "-"
    PieceOfTotal,  // NNMM: piece NN of MM, 1 <= NN <= MM
    NoZeroPrefix,  // no leading zero unless the whole value is "0"
    PosInSeqSlash, // "n/m", 1 <= n <= m
    HasNonDigit,   // at least one character that is not a digit
    Iso3166,       // ISO 3166 numeric country code
    Iso3166Or999,  // the same, or 999
    Iso3166Alpha2, // ISO 3166 two-letter country code
    Iso4217,       // ISO 4217 numeric currency code
    Iso5218,       // 0, 1, 2 or 9
    Iban,          // IBAN: country, check digits (mod 97), account
    PercentEnc,    // each % is followed by two hexadecimal digits
    Latitude,      // 0 to 1800000000 (tenths of a microdegree from -90)
    Longitude,     // 0 to 3600000000 (from -180)
    MediaType,     // AIDC media type: 01 to 10 or 80 to 99
    ImporterIdx,   // one of 0-9 A-Z a-z - _
    // Named by the dictionary, not checked here (the value's length and
    // characters still are): UN/ECE package types and coupon layouts.
    PackageType,
    CouponCode,
    CouponPosOffer,
};

inline constexpr size_t kMaxChecks = 3;
inline constexpr size_t kMaxParts = 5;

struct TPart {
    TCharSet Set = TCharSet::N;
    uint8_t Min = 0; // Min == Max: fixed length
    uint8_t Max = 0;
    bool Optional = false; // may be left out once the data has run out
    std::array<TCheck, kMaxChecks> Checks{};
};

struct TAi {
    std::string_view First; // the AI, or the first of a run of AIs of one length ("3100")
    std::string_view Last;  // the last of the run ("3105"); First when alone
    // Predefined length (GS1's table by the first two digits): no separator follows.
    bool Predefined = false;
    bool DlAttribute = false; // may stand in a Digital Link's query
    // A Digital Link primary key; DlQualifiers are its qualifiers in their
    // order, alternatives split by '|' ("22,10,21|235").
    bool DlKey = false;
    std::string_view DlQualifiers;
    std::array<TPart, kMaxParts> Parts{};
    uint8_t PartCount = 0;
    uint16_t MinLength = 0; // of the whole value
    uint16_t MaxLength = 0;
    std::string_view Title; // GS1's data title
};

// The row of the AI at the start of digits, or nullptr: a known AI needs the
// two to four digits its first two digits call for.
const TAi* FindAi(std::string_view digits) noexcept;

// How many digits an AI starting with these two digits has (2 to 4); 0 when
// no AI of the table starts so.
size_t AiLength(char first, char second) noexcept;

// GS1's predefined length of an element string (AI and value) whose AI starts
// with these two digits, or 0 when it is not predefined. Fixed by GS1 for
// every prefix, AIs assigned or not.
size_t PredefinedLength(char first, char second) noexcept;

// Every row, in the order of their AIs.
std::span<const TAi> AllAis() noexcept;

} // namespace belvor::gs1
