#include "driver/Gs1Parse.h"

#include "driver/Gs1Text.h"

#include <algorithm>
#include <bitset>

namespace belvor::gs1 {

namespace {

constexpr size_t kNone = std::string_view::npos;

// ISO 3166-1 numeric country codes and ISO 4217 numeric currency codes, as
// Debian's iso-codes lists them (2024).
constexpr uint16_t kCountries[] = {
    4,   8,   10,  12,  16,  20,  24,  28,  31,  32,  36,  40,  44,  48,  50,  51,  52,  56,  60,  64,  68,
    70,  72,  74,  76,  84,  86,  90,  92,  96,  100, 104, 108, 112, 116, 120, 124, 132, 136, 140, 144, 148,
    152, 156, 158, 162, 166, 170, 174, 175, 178, 180, 184, 188, 191, 192, 196, 203, 204, 208, 212, 214, 218,
    222, 226, 231, 232, 233, 234, 238, 239, 242, 246, 248, 250, 254, 258, 260, 262, 266, 268, 270, 275, 276,
    288, 292, 296, 300, 304, 308, 312, 316, 320, 324, 328, 332, 334, 336, 340, 344, 348, 352, 356, 360, 364,
    368, 372, 376, 380, 384, 388, 392, 398, 400, 404, 408, 410, 414, 417, 418, 422, 426, 428, 430, 434, 438,
    440, 442, 446, 450, 454, 458, 462, 466, 470, 474, 478, 480, 484, 492, 496, 498, 499, 500, 504, 508, 512,
    516, 520, 524, 528, 531, 533, 534, 535, 540, 548, 554, 558, 562, 566, 570, 574, 578, 580, 581, 583, 584,
    585, 586, 591, 598, 600, 604, 608, 612, 616, 620, 624, 626, 630, 634, 638, 642, 643, 646, 652, 654, 659,
    660, 662, 663, 666, 670, 674, 678, 682, 686, 688, 690, 694, 702, 703, 704, 705, 706, 710, 716, 724, 728,
    729, 732, 740, 744, 748, 752, 756, 760, 762, 764, 768, 772, 776, 780, 784, 788, 792, 795, 796, 798, 800,
    804, 807, 818, 826, 831, 832, 833, 834, 840, 850, 854, 858, 860, 862, 876, 882, 887, 894,
};
constexpr uint16_t kCurrencies[] = {
    8,   12,  32,  36,  44,  48,  50,  51,  52,  60,  64,  68,  72,  84,  90,  96,  104, 108, 116, 124, 132,
    136, 144, 152, 156, 170, 174, 188, 191, 192, 203, 208, 214, 222, 230, 232, 238, 242, 262, 270, 292, 320,
    324, 328, 332, 340, 344, 348, 352, 356, 360, 364, 368, 376, 388, 392, 398, 400, 404, 408, 410, 414, 417,
    418, 422, 426, 430, 434, 446, 454, 458, 462, 480, 484, 496, 498, 504, 512, 516, 524, 532, 533, 548, 554,
    558, 566, 578, 586, 590, 598, 600, 604, 608, 634, 643, 646, 654, 682, 690, 694, 702, 704, 706, 710, 728,
    748, 752, 756, 760, 764, 776, 780, 784, 788, 800, 807, 818, 826, 834, 840, 858, 860, 882, 886, 901, 925,
    926, 927, 928, 929, 930, 931, 932, 933, 934, 936, 938, 940, 941, 943, 944, 946, 947, 948, 949, 950, 951,
    952, 953, 955, 956, 957, 958, 959, 960, 961, 962, 963, 964, 965, 967, 968, 969, 970, 971, 972, 973, 975,
    976, 977, 978, 979, 980, 981, 984, 985, 986, 990, 994, 997, 999,
};
constexpr std::string_view kAlpha2 =
    "AD AE AF AG AI AL AM AO AQ AR AS AT AU AW AX AZ BA BB BD BE BF BG BH BI BJ BL BM BN BO BQ BR BS BT BV "
    "BW "
    "BY BZ CA CC CD CF CG CH CI CK CL CM CN CO CR CU CV CW CX CY CZ DE DJ DK DM DO DZ EC EE EG EH ER ES ET "
    "FI FJ "
    "FK FM FO FR GA GB GD GE GF GG GH GI GL GM GN GP GQ GR GS GT GU GW GY HK HM HN HR HT HU ID IE IL IM IN "
    "IO IQ "
    "IR IS IT JE JM JO JP KE KG KH KI KM KN KP KR KW KY KZ LA LB LC LI LK LR LS LT LU LV LY MA MC MD ME MF "
    "MG MH "
    "MK ML MM MN MO MP MQ MR MS MT MU MV MW MX MY MZ NA NC NE NF NG NI NL NO NP NR NU NZ OM PA PE PF PG PH "
    "PK PL "
    "PM PN PR PS PT PW PY QA RE RO RS RU RW SA SB SC SD SE SG SH SI SJ SK SL SM SN SO SR SS ST SV SX SY SZ "
    "TC TD "
    "TF TG TH TJ TK TL TM TN TO TR TT TV TW TZ UA UG UM US UY UZ VA VC VE VG VI VN VU WF WS YE YT ZA ZM ZW";

template <size_t N> constexpr std::bitset<1000> Codes(const uint16_t (&codes)[N])
{
    std::bitset<1000> set;
    for (const uint16_t code : codes)
        set.set(code);
    return set;
}
const std::bitset<1000> kCountrySet = Codes(kCountries);
const std::bitset<1000> kCurrencySet = Codes(kCurrencies);

// GS1's 82 characters in their order (the values csumalpha weighs), and its 32 for the check pair.
constexpr std::string_view kCset82 =
    "!\"%&'()*+,-./0123456789:;<=>?ABCDEFGHIJKLMNOPQRSTUVWXYZ_abcdefghijklmnopqrstuvwxyz";
constexpr std::string_view kCset32 = "23456789ABCDEFGHJKLMNPQRSTUVWXYZ";

bool IsUpper(char c)
{
    return c >= 'A' && c <= 'Z';
}
bool IsAlnum(char c)
{
    return IsDigit(c) || IsUpper(c) || (c >= 'a' && c <= 'z');
}

bool InSet(TCharSet set, char c)
{
    switch (set) {
    case TCharSet::N:
        return IsDigit(c);
    case TCharSet::X:
        return kCset82.find(c) != kNone;
    case TCharSet::Y:
        return IsDigit(c) || IsUpper(c) || c == '#' || c == '-' || c == '/';
    case TCharSet::Z:
        return IsAlnum(c) || c == '-' || c == '_';
    }
    return false;
}

// The first character outside the part's set, or kNone. Base64's padding
// (one or two '=') may end a Z part.
size_t BadCharacterAt(TCharSet set, std::string_view text)
{
    size_t end = text.size();
    if (set == TCharSet::Z)
        for (int pad = 0; pad < 2 && end > 0 && text[end - 1] == '='; ++pad)
            --end;
    for (size_t i = 0; i < end; ++i)
        if (!InSet(set, text[i]))
            return i;
    return end == text.size() || text[end] == '=' ? kNone : end;
}

bool ValidDate(unsigned year, unsigned month, unsigned day, bool dayZeroAllowed)
{
    constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12)
        return false;
    if (day == 0)
        return dayZeroAllowed;
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return day <= kDays[month - 1] + (month == 2 && leap ? 1 : 0);
}

// A two-digit year as GS1 reads it: within 49 years after the current and 50
// before. Every year that window can reach (1976 to 2125 from now) is a leap
// year when divisible by 4, but 2100: only that one needs the window, and it
// lies beyond any label's reach today, so YY is read as 20YY.
unsigned FullYear(std::string_view yy)
{
    return 2000 + DigitsValue(yy);
}

char CsumAlphaAt(std::string_view data, size_t pos)
{
    // The weights are the primes 2, 3, 5, ... 83, the first on the rightmost
    // character before the check pair.
    constexpr unsigned kPrimes[] = {2,  3,  5,  7,  11, 13, 17, 19, 23, 29, 31, 37,
                                    41, 43, 47, 53, 59, 61, 67, 71, 73, 79, 83};
    unsigned sum = 0;
    const size_t n = data.size();
    for (size_t i = 0; i < n; ++i)
        sum += static_cast<unsigned>(kCset82.find(data[i])) * kPrimes[n - 1 - i];
    sum %= 1021;
    return kCset32[pos == 0 ? sum / 32 : sum % 32];
}

bool IsCountryAlpha2(std::string_view text)
{
    const size_t at = kAlpha2.find(text);
    return text.size() == 2 && at != kNone && at % 3 == 0;
}

bool IbanValid(std::string_view text)
{
    if (text.size() < 5 || !IsUpper(text[0]) || !IsUpper(text[1]) || !IsDigit(text[2]) || !IsDigit(text[3]))
        return false;
    if (!IsCountryAlpha2(text.substr(0, 2)))
        return false;
    unsigned remainder = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[(i + 4) % text.size()];
        if (IsDigit(c))
            remainder = (remainder * 10 + static_cast<unsigned>(c - '0')) % 97;
        else if (IsUpper(c))
            remainder = (remainder * 100 + static_cast<unsigned>(c - 'A' + 10)) % 97;
        else
            return false;
    }
    return remainder == 1;
}

bool IsHex(char c)
{
    return IsDigit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

struct TFault {
    TErrorKind Kind;
    size_t Offset; // within the part
};

// One named check on one part of a value; the part's characters are already in its set.
bool Check(TCheck check, std::string_view text, TFault& fault)
{
    const auto fail = [&](TErrorKind kind, size_t offset = 0) {
        fault = {kind, offset};
        return false;
    };
    switch (check) {
    case TCheck::None:
    case TCheck::PackageType:
    case TCheck::CouponCode:
    case TCheck::CouponPosOffer:
        return true;
    case TCheck::Csum:
        if (text.empty() || !AllDigits(text) || CheckDigit(text.substr(0, text.size() - 1)) != text.back())
            return fail(TErrorKind::BadCheckDigit, text.empty() ? 0 : text.size() - 1);
        return true;
    case TCheck::CsumAlpha: {
        const size_t n = text.size();
        if (n < 3 || n - 2 > 23)
            return fail(TErrorKind::BadCheckDigit);
        for (size_t i = 0; i < 2; ++i)
            if (text[n - 2 + i] != CsumAlphaAt(text.substr(0, n - 2), i))
                return fail(TErrorKind::BadCheckDigit, n - 2 + i);
        return true;
    }
    case TCheck::Key:
    case TCheck::KeyOff1: {
        const size_t from = check == TCheck::KeyOff1 ? 1 : 0;
        for (size_t i = from; i < from + 4; ++i)
            if (i >= text.size() || !IsDigit(text[i]))
                return fail(TErrorKind::BadKey, std::min(i, text.size()));
        return true;
    }
    case TCheck::Yymmd0:
    case TCheck::Yymmdd:
        if (text.size() != 6 || !ValidDate(FullYear(text.substr(0, 2)), DigitsValue(text.substr(2, 2)),
                                           DigitsValue(text.substr(4, 2)), check == TCheck::Yymmd0))
            return fail(TErrorKind::BadDate);
        return true;
    case TCheck::Yyyymmd0:
    case TCheck::Yyyymmdd:
        if (text.size() != 8 || !ValidDate(DigitsValue(text.substr(0, 4)), DigitsValue(text.substr(4, 2)),
                                           DigitsValue(text.substr(6, 2)), check == TCheck::Yyyymmd0))
            return fail(TErrorKind::BadDate);
        return true;
    case TCheck::Hhmi:
        if (text.size() != 4 || DigitsValue(text.substr(0, 2)) > 23 || DigitsValue(text.substr(2, 2)) > 59)
            return fail(TErrorKind::BadTime);
        return true;
    case TCheck::Hh:
        return text.size() == 2 && DigitsValue(text) <= 23 ? true : fail(TErrorKind::BadTime);
    case TCheck::Mi:
    case TCheck::Ss:
        return text.size() == 2 && DigitsValue(text) <= 59 ? true : fail(TErrorKind::BadTime);
    case TCheck::Nonzero:
        return text.find_first_not_of('0') != kNone ? true : fail(TErrorKind::BadValue);
    case TCheck::Zero:
        return text == "0" ? true : fail(TErrorKind::BadValue);
    case TCheck::Winding:
        return text == "0" || text == "1" || text == "9" ? true : fail(TErrorKind::BadValue);
    case TCheck::YesNo:
        return text == "0" || text == "1" ? true : fail(TErrorKind::BadValue);
    case TCheck::Hyphen:
        return text == "-" ? true : fail(TErrorKind::BadValue);
    case TCheck::Iso5218:
        return text == "0" || text == "1" || text == "2" || text == "9" ? true : fail(TErrorKind::BadValue);
    case TCheck::PieceOfTotal: {
        if (text.size() != 4)
            return fail(TErrorKind::BadValue);
        const unsigned piece = DigitsValue(text.substr(0, 2));
        const unsigned total = DigitsValue(text.substr(2, 2));
        return piece >= 1 && total >= 1 && piece <= total ? true : fail(TErrorKind::BadValue);
    }
    case TCheck::NoZeroPrefix:
        return text.size() > 1 && text[0] == '0' ? fail(TErrorKind::BadValue) : true;
    case TCheck::PosInSeqSlash: {
        const size_t slash = text.find('/');
        const std::string_view n = text.substr(0, slash);
        const std::string_view m = slash == kNone ? std::string_view() : text.substr(slash + 1);
        if (n.empty() || m.empty() || !AllDigits(n) || !AllDigits(m) || DigitsValue(n) < 1 ||
            DigitsValue(n) > DigitsValue(m))
            return fail(TErrorKind::BadValue);
        return true;
    }
    case TCheck::HasNonDigit:
        return AllDigits(text) ? fail(TErrorKind::BadValue) : true;
    case TCheck::Iso3166:
    case TCheck::Iso3166Or999:
        if (text.size() == 3 &&
            (kCountrySet.test(DigitsValue(text)) || (check == TCheck::Iso3166Or999 && text == "999")))
            return true;
        return fail(TErrorKind::BadCountry);
    case TCheck::Iso3166Alpha2:
        return IsCountryAlpha2(text) ? true : fail(TErrorKind::BadCountry);
    case TCheck::Iso4217:
        return text.size() == 3 && kCurrencySet.test(DigitsValue(text)) ? true
                                                                        : fail(TErrorKind::BadCurrency);
    case TCheck::Iban:
        return IbanValid(text) ? true : fail(TErrorKind::BadCheckDigit);
    case TCheck::PercentEnc:
        for (size_t i = 0; i < text.size(); ++i)
            if (text[i] == '%' && (i + 2 >= text.size() || !IsHex(text[i + 1]) || !IsHex(text[i + 2])))
                return fail(TErrorKind::BadValue, i);
        return true;
    case TCheck::Latitude:
        return text.size() == 10 && DigitsValue(text) <= 1800000000u ? true : fail(TErrorKind::BadValue);
    case TCheck::Longitude:
        return text.size() == 10 && DigitsValue(text) <= 3600000000u ? true : fail(TErrorKind::BadValue);
    case TCheck::MediaType: {
        const unsigned type = DigitsValue(text);
        return text.size() == 2 && ((type >= 1 && type <= 10) || type >= 80) ? true
                                                                             : fail(TErrorKind::BadValue);
    }
    case TCheck::ImporterIdx:
        return text.size() == 1 && (IsAlnum(text[0]) || text[0] == '-' || text[0] == '_')
                   ? true
                   : fail(TErrorKind::BadValue);
    }
    return true;
}

size_t NextSeparator(std::string_view data, size_t from)
{
    const size_t gs = data.find(kGroupSeparator, from);
    return gs == kNone ? data.size() : gs;
}

uint32_t At(size_t position)
{
    return static_cast<uint32_t>(position);
}

// The AI and value at `at` that the table does not know: a predefined prefix
// still gives their length; otherwise the value runs to the next GS.
size_t TakeUnknown(std::string_view data, size_t at, TGs1Data& out)
{
    size_t aiLength = AiLength(data[at], at + 1 < data.size() ? data[at + 1] : '\0');
    const size_t predefined = PredefinedLength(data[at], at + 1 < data.size() ? data[at + 1] : '\0');
    if (aiLength == 0 || at + aiLength > data.size() || !AllDigits(data.substr(at, aiLength)))
        aiLength = 0;
    const std::string_view ai = data.substr(at, aiLength);
    const size_t end = predefined != 0 ? std::min(at + predefined, NextSeparator(data, at))
                                       : NextSeparator(data, at + aiLength);
    out.Fields.push_back({std::string(ai), std::string(data.substr(at + aiLength, end - at - aiLength))});
    out.Errors.push_back({std::string(ai), At(at), TErrorKind::UnknownAi});
    return end;
}

// "(01)...": the AI in brackets at `at` that the table knows, or nullptr.
const TAi* BracketedAi(std::string_view data, size_t at, size_t& aiLength)
{
    if (at >= data.size() || data[at] != '(')
        return nullptr;
    const TAi* row = FindAi(data.substr(at + 1));
    if (row == nullptr || at + 1 + row->First.size() >= data.size() ||
        data[at + 1 + row->First.size()] != ')')
        return nullptr;
    aiLength = row->First.size();
    return row;
}

void ParseBrackets(std::string_view data, TGs1Data& out)
{
    size_t at = 0;
    while (at < data.size()) {
        size_t aiLength = 0;
        const TAi* row = BracketedAi(data, at, aiLength);
        const size_t valueAt = row != nullptr ? at + aiLength + 2 : at;
        // The value runs to the next bracketed AI the table knows.
        size_t end = valueAt;
        for (size_t dummy = 0; end < data.size(); ++end) {
            end = data.find('(', end);
            if (end == kNone || BracketedAi(data, end, dummy) != nullptr)
                break;
        }
        end = std::min(end, data.size());
        if (row == nullptr) {
            const size_t close = data.find(')', at);
            const std::string_view ai =
                close != kNone && close < end ? data.substr(at + 1, close - at - 1) : std::string_view();
            const size_t from = ai.empty() ? at : close + 1;
            out.Fields.push_back({std::string(ai), std::string(data.substr(from, end - from))});
            out.Errors.push_back({std::string(ai), At(at), TErrorKind::UnknownAi});
        } else {
            const std::string_view ai = data.substr(at + 1, aiLength);
            const std::string_view value = data.substr(valueAt, end - valueAt);
            out.Fields.push_back({std::string(ai), std::string(value)});
            CheckValue(*row, ai, value, At(valueAt), out.Errors);
        }
        at = end;
    }
}

} // namespace

const char* ErrorKindName(TErrorKind kind) noexcept
{
    switch (kind) {
    case TErrorKind::UnknownAi:
        return "unknown_ai";
    case TErrorKind::TooShort:
        return "too_short";
    case TErrorKind::TooLong:
        return "too_long";
    case TErrorKind::BadCharacter:
        return "bad_character";
    case TErrorKind::BadCheckDigit:
        return "bad_check_digit";
    case TErrorKind::BadDate:
        return "bad_date";
    case TErrorKind::BadTime:
        return "bad_time";
    case TErrorKind::BadCountry:
        return "bad_country";
    case TErrorKind::BadCurrency:
        return "bad_currency";
    case TErrorKind::BadKey:
        return "bad_key";
    case TErrorKind::BadValue:
        return "bad_value";
    case TErrorKind::BadQualifier:
        return "bad_qualifier";
    case TErrorKind::NotAttribute:
        return "not_attribute";
    case TErrorKind::BadUri:
        return "bad_uri";
    }
    return "unknown";
}

char CheckDigit(std::string_view digits) noexcept
{
    unsigned sum = 0;
    bool three = true; // the digit next to the check digit weighs 3
    for (size_t i = digits.size(); i-- > 0;) {
        sum += static_cast<unsigned>(digits[i] - '0') * (three ? 3 : 1);
        three = !three;
    }
    return static_cast<char>('0' + (10 - sum % 10) % 10);
}

std::string ExpandUpcE(std::string_view upcE)
{
    if (upcE.size() != 8 || !AllDigits(upcE) || (upcE[0] != '0' && upcE[0] != '1'))
        return {};
    const std::string_view d = upcE.substr(1, 6);
    std::string a(1, upcE[0]);
    switch (d[5]) {
    case '0':
    case '1':
    case '2':
        a.append(d.substr(0, 2)).append(1, d[5]).append("0000").append(d.substr(2, 3));
        break;
    case '3':
        a.append(d.substr(0, 3)).append("00000").append(d.substr(3, 2));
        break;
    case '4':
        a.append(d.substr(0, 4)).append("00000").append(1, d[4]);
        break;
    default:
        a.append(d.substr(0, 5)).append("0000").append(1, d[5]);
        break;
    }
    return a.append(1, upcE[7]);
}

void CheckValue(const TAi& row, std::string_view ai, std::string_view value, uint32_t valueAt,
                std::vector<TFieldError>& errors)
{
    const auto report = [&](TErrorKind kind, size_t offset) {
        errors.push_back({std::string(ai), At(valueAt + offset), kind});
    };
    if (value.size() < row.MinLength) {
        report(TErrorKind::TooShort, 0);
        return;
    }
    if (value.size() > row.MaxLength) {
        report(TErrorKind::TooLong, row.MaxLength);
        return;
    }
    size_t offset = 0;
    for (size_t p = 0; p < row.PartCount; ++p) {
        const TPart& part = row.Parts[p];
        const size_t left = value.size() - offset;
        if (left == 0 && part.Optional)
            break;
        if (left < part.Min) { // an optional fixed part cut short
            report(TErrorKind::TooShort, offset);
            return;
        }
        const std::string_view text = value.substr(offset, part.Min == part.Max ? part.Max : left);
        if (const size_t bad = BadCharacterAt(part.Set, text); bad != kNone) {
            report(TErrorKind::BadCharacter, offset + bad);
        } else {
            for (const TCheck check : part.Checks) {
                TFault fault{};
                if (!Check(check, text, fault)) {
                    report(fault.Kind, offset + fault.Offset);
                    break;
                }
            }
        }
        offset += text.size();
    }
    if (offset < value.size()) // fixed parts only, and more data than they take
        report(TErrorKind::TooLong, offset);
}

void ParseElementString(std::string_view data, TGs1Data& out)
{
    size_t at = 0;
    while (at < data.size() && data[at] == kGroupSeparator)
        ++at;
    if (at < data.size() && data[at] == '(') {
        ParseBrackets(data.substr(at), out);
        return;
    }
    while (at < data.size()) {
        if (data[at] == kGroupSeparator) {
            ++at;
            continue;
        }
        const TAi* row = FindAi(data.substr(at));
        if (row == nullptr) {
            at = TakeUnknown(data, at, out);
            continue;
        }
        const std::string_view ai = data.substr(at, row->First.size());
        const size_t valueAt = at + ai.size();
        // A predefined length ends the value, as does a GS within it (the value is then short).
        size_t end = NextSeparator(data, valueAt);
        if (row->Predefined)
            end = std::min(end, valueAt + row->MaxLength);
        const std::string_view value = data.substr(valueAt, end - valueAt);
        out.Fields.push_back({std::string(ai), std::string(value)});
        CheckValue(*row, ai, value, At(valueAt), out.Errors);
        at = end;
    }
}

void GtinFromEanUpc(std::string_view digits, bool upcE, TGs1Data& out)
{
    std::string gtin;
    if (upcE && digits.size() == 8)
        gtin = ExpandUpcE(digits);
    else
        gtin.assign(digits);
    const auto fail = [&](TErrorKind kind, size_t position) {
        out.Fields.push_back({"01", std::string(digits)});
        out.Errors.push_back({"01", At(position), kind});
    };
    if (const size_t bad = BadCharacterAt(TCharSet::N, digits); bad != kNone)
        return fail(TErrorKind::BadCharacter, bad);
    if (upcE && gtin.empty())
        return fail(TErrorKind::BadValue, 0);
    if (gtin.size() != 8 && gtin.size() != 12 && gtin.size() != 13 && gtin.size() != 14)
        return fail(gtin.size() < 14 ? TErrorKind::TooShort : TErrorKind::TooLong, 0);
    gtin.insert(0, 14 - gtin.size(), '0');
    if (CheckDigit(std::string_view(gtin).substr(0, 13)) != gtin[13])
        out.Errors.push_back({"01", At(digits.size() - 1), TErrorKind::BadCheckDigit});
    out.Fields.push_back({"01", std::move(gtin)});
}

} // namespace belvor::gs1
