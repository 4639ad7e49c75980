#include "driver/SymbologyId.h"

#include "driver/Gs1Text.h"

#include <algorithm>

namespace belvor {

using gs1::AllDigits;

namespace {

constexpr std::string_view kDigits = "0123456789";
constexpr std::string_view kAlnum = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";

// One code character of ISO/IEC 15424 as scanners send it: the modifiers it
// may carry, the type for each (Special: worked out from the modifier or the
// data below), and the modifiers after which GS1 element strings follow
// (FNC1 in the first position).
struct TCodeChar {
    char Code;
    std::string_view Modifiers;
    TScanType Type;
    std::string_view Gs1Modifiers;
};

constexpr TScanType kSpecial = static_cast<TScanType>(-1);

constexpr TCodeChar kCodeChars[] = {
    {'A', "013457", kSpecial, ""},           // Code 39: 1, 5 check character verified and sent
    {'B', kDigits, TScanType::Telepen, ""},  //
    {'C', "0124", kSpecial, "1"},            // Code 128: 1 GS1-128, 4 ISBT 128 concatenation
    {'D', kDigits, TScanType::Unknown, ""},  // Code One
    {'E', "01234", kSpecial, ""},            // EAN/UPC, below
    {'F', "01234", TScanType::Codabar, ""},  //
    {'G', kAlnum, TScanType::Code93, ""},    //
    {'H', kDigits, TScanType::Code11, ""},   //
    {'I', "0123", kSpecial, ""},             // ITF: 1 check digit verified and sent
    {'J', kDigits, TScanType::Unknown, "1"}, // DotCode: 1 GS1 DotCode
    {'K', kDigits, TScanType::Code16K, ""},  //
    {'L', "012345", kSpecial, ""},           // PDF417 0-2, MicroPDF417 3-5
    {'M', kDigits, TScanType::Msi, ""},      //
    {'N', kDigits, TScanType::Unknown, ""},  // Anker
    {'O', kDigits, kSpecial, ""},            // Codablock: 4, 5 Codablock F
    {'P', kDigits, TScanType::Plessey, ""},  //
    {'Q', "0123456", kSpecial, "34"},        // QR Code: 3, 4 GS1 QR Code
    {'R', kDigits, TScanType::Tf, ""},       // straight 2 of 5, two-bar start and stop
    {'S', kDigits, TScanType::Tf, ""},       // straight 2 of 5, three-bar start and stop
    {'T', kDigits, TScanType::Code49, ""},   //
    {'U', "0123", TScanType::MaxiCode, ""},  //
    {'X', kAlnum, TScanType::Unknown, ""},   // other symbologies, no code character of their own
    {'Z', kAlnum, TScanType::Unknown, ""},   // not from a bar code (keyboard, magnetic stripe)
    {'c', kDigits, TScanType::Unknown, ""},  // Channel Code
    {'d', "0123456", kSpecial, "25"},        // Data Matrix: 2, 5 GS1 DataMatrix
    {'e', "0123", kSpecial, "0"},            // GS1 DataBar
    {'g', kDigits, TScanType::Unknown, ""},  // Grid Matrix
    {'h', "01", TScanType::HanXin, ""},      //
    {'o', kDigits, TScanType::Unknown, ""},  // OCR
    {'p', kDigits, TScanType::Unknown, ""},  // PosiCode
    {'s', kDigits, TScanType::Unknown, ""},  // SuperCode
    {'z', kAlnum, TScanType::Aztec, "14"},   // Aztec: 1, 4 FNC1 in first position
};

const TCodeChar* FindCodeChar(std::string_view code)
{
    if (code.size() < 3 || code[0] != ']')
        return nullptr;
    for (const TCodeChar& c : kCodeChars)
        if (c.Code == code[1])
            return c.Modifiers.find(code[2]) != std::string_view::npos ? &c : nullptr;
    return nullptr;
}

// EAN/UPC: the main number and an add-on, sent together (]E3, or ]E0 / ]E4
// with a second identifier ]E1 or ]E2 before the add-on), or alone.
void ReadEanUpc(char modifier, std::string_view data, TSymbologyId& id)
{
    std::string_view main = data;
    std::string_view addOn;
    if (modifier == '0' || modifier == '4') {
        const size_t second = data.find("]E");
        if (second != std::string_view::npos && second + 3 <= data.size() &&
            (data[second + 2] == '1' || data[second + 2] == '2')) {
            main = data.substr(0, second);
            addOn = data.substr(second + 3);
        }
    } else if (modifier == '3' && (data.size() == 15 || data.size() == 18)) {
        main = data.substr(0, 13);
        addOn = data.substr(13);
    }
    id.Label.assign(main);
    id.Label.append(addOn);
    id.AddOn.assign(addOn);
    const bool withAddOn = !addOn.empty();
    switch (modifier) {
    case '1':
    case '2': // an add-on alone: no main number to type or read
        id.Label.assign(data);
        id.AddOn.assign(data);
        return;
    case '4':
        id.Type = withAddOn ? TScanType::Ean8S : TScanType::Ean8;
        break;
    default:
        // Scanners send UPC-A (and UPC-E) as 13 digits with a leading 0, the
        // same bars as such an EAN-13; some decoders send 12, or UPC-E's own 8.
        if (main.size() == 8 && modifier == '0')
            id.Type = withAddOn ? TScanType::UpcES : TScanType::UpcE;
        else if (main.size() == 12 || (main.size() == 13 && main[0] == '0'))
            id.Type = withAddOn ? TScanType::UpcAS : TScanType::UpcA;
        else
            id.Type = withAddOn ? TScanType::Ean13S : TScanType::Ean13;
        break;
    }
    id.Gs1 = TGs1Content::Gtin;
}

TScanType SpecialType(char code, char modifier, std::string_view label)
{
    switch (code) {
    case 'A':
        return modifier == '1' || modifier == '5' ? TScanType::Code39Ck : TScanType::Code39;
    case 'C':
        return modifier == '1'   ? TScanType::Gs1128
               : modifier == '4' ? TScanType::Isbt128
                                 : TScanType::Code128;
    case 'I':
        return modifier == '1' ? TScanType::ItfCk : TScanType::Itf;
    case 'L':
        return modifier >= '3' ? TScanType::MicroPdf417 : TScanType::Pdf417;
    case 'O':
        return modifier == '4' || modifier == '5' ? TScanType::CodablockF : TScanType::CodablockA;
    case 'Q':
        return modifier == '3' || modifier == '4' ? TScanType::Gs1QrCode : TScanType::QrCode;
    case 'd':
        return modifier == '2' || modifier == '5' ? TScanType::Gs1DataMatrix : TScanType::DataMatrix;
    case 'e':
        // Omnidirectional, stacked and limited carry a GTIN alone; expanded more.
        return (label.size() == 16 && label.starts_with("01") && AllDigits(label)) ||
                       (label.size() == 14 && AllDigits(label))
                   ? TScanType::DataBar
                   : TScanType::DataBarExpanded;
    default:
        return TScanType::Unknown;
    }
}

} // namespace

TSymbologyId ReadSymbologyId(std::string_view code)
{
    TSymbologyId id;
    const TCodeChar* codeChar = FindCodeChar(code);
    if (codeChar == nullptr) {
        id.Label.assign(code);
        return id;
    }
    id.Valid = true;
    id.Identifier.assign(code.substr(0, 3));
    const char modifier = code[2];
    const std::string_view data = code.substr(3);
    if (codeChar->Code == 'E') {
        ReadEanUpc(modifier, data, id);
        return id;
    }
    id.Label.assign(data);
    id.Type = codeChar->Type == kSpecial ? SpecialType(codeChar->Code, modifier, data) : codeChar->Type;
    if (codeChar->Gs1Modifiers.find(modifier) != std::string_view::npos) {
        // DataBar's GTIN alone comes from some decoders without its AI (01).
        id.Gs1 = codeChar->Code == 'e' && data.size() == 14 && AllDigits(data) ? TGs1Content::Gtin
                                                                               : TGs1Content::ElementString;
    }
    return id;
}

} // namespace belvor
