// GS1 element strings read into fields, each checked against the AI table
// (driver/Gs1Table.h): its length, characters, check digit, date and the
// other named checks. Pure functions, like the code assembler: a scan is never
// dropped; what does not hold is reported beside the fields, and the host
// decides.
#pragma once

#include "driver/Gs1Table.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace belvor::gs1 {

inline constexpr char kGroupSeparator = '\x1D'; // FNC1 as scanners send it

enum class TErrorKind : uint8_t {
    UnknownAi,     // no AI of the table here: what follows up to the next GS is kept under the digits read
    TooShort,      // the value is shorter than its AI allows (or its data ran out)
    TooLong,       // longer than its AI allows (a separator lost, or a bad value)
    BadCharacter,  // outside the part's character set
    BadCheckDigit, // csum, csumalpha, iban
    BadDate,       // yymmd0, yymmdd, yyyymmd0, yyyymmdd
    BadTime,       // hhmi, hh, mi, ss
    BadCountry,    // iso3166, iso3166999, iso3166alpha2
    BadCurrency,   // iso4217
    BadKey,        // key, keyoff1: no GS1 Company Prefix
    BadValue,      // the other named checks
    BadQualifier,  // a Digital Link path AI that is not a qualifier of its key, or out of order
    NotAttribute,  // a Digital Link query AI that may not stand there
    BadUri,        // a Digital Link URI with a bad percent escape or no key
};

// "unknown_ai", "too_short", ...: the kind as hosts see it.
const char* ErrorKindName(TErrorKind kind) noexcept;

struct TField {
    std::string Ai; // "01"; the digits read (or "") for an unknown AI
    std::string Value;
};

struct TFieldError {
    std::string Ai;
    uint32_t Position = 0; // byte offset of the fault in the text read
    TErrorKind Kind = TErrorKind::UnknownAi;
};

struct TGs1Data {
    std::vector<TField> Fields; // in the order scanned
    std::vector<TFieldError> Errors;
};

// The element strings of a scan's data, after its identifier: AIs of two to
// four digits, values split by GS1's predefined lengths and by GS after each
// other field. Leading GS (an FNC1 sent as GS) and stray GS between fields are
// skipped. Data starting with '(' is read in the bracket form "(01)...(10)..."
// that some decoders give. A variable-length field at the end needs no GS; one
// that swallowed a lost separator shows only where its length or characters
// do not hold.
void ParseElementString(std::string_view data, TGs1Data& out);

// An EAN/UPC number as field 01, a GTIN of 14 digits with its check digit
// verified: 8 digits of EAN-8 (or UPC-E when upcE, expanded to its UPC-A), 12
// of UPC-A, 13 of EAN-13 or 14 already. Other lengths or characters are kept
// as they came, with the error.
void GtinFromEanUpc(std::string_view digits, bool upcE, TGs1Data& out);

// One value of an AI checked against its row; errors carry ai and positions from valueAt on.
void CheckValue(const TAi& row, std::string_view ai, std::string_view value, uint32_t valueAt,
                std::vector<TFieldError>& errors);

// GS1's check digit over the digits before it (mod 10, weights 3 and 1 from the right).
char CheckDigit(std::string_view digitsWithoutCheck) noexcept;

// UPC-E's 8 digits (number system, six, check) as UPC-A's 12; "" when not a UPC-E code.
std::string ExpandUpcE(std::string_view upcE);

} // namespace belvor::gs1
