// The symbology identifier reader, the GS1 element-string parser and the
// Digital Link reader, on tables of codes as scanners send them.
#include "driver/DigitalLink.h"
#include "driver/ScanReading.h"

#include <gtest/gtest.h>

using namespace belvor;
using namespace belvor::gs1;

namespace {

// Fields as "ai=value ai=value", errors as "ai@position:kind ...".
std::string Fields(const TGs1Data& data)
{
    std::string text;
    for (const TField& f : data.Fields)
        text += (text.empty() ? "" : " ") + f.Ai + "=" + f.Value;
    return text;
}
std::string Errors(const TGs1Data& data)
{
    std::string text;
    for (const TFieldError& e : data.Errors)
        text +=
            (text.empty() ? "" : " ") + e.Ai + "@" + std::to_string(e.Position) + ":" + ErrorKindName(e.Kind);
    return text;
}

} // namespace

TEST(SymbologyId, IdentifierLabelTypeAndGs1)
{
    const struct {
        std::string code, identifier, label, addOn;
        TScanType type;
        TGs1Content gs1;
    } cases[] = {
        // EAN/UPC as scanners send them: UPC-A and UPC-E as 13 digits with a leading 0.
        {"]E05901234123457", "]E0", "5901234123457", "", TScanType::Ean13, TGs1Content::Gtin},
        {"]E00036000291452", "]E0", "0036000291452", "", TScanType::UpcA, TGs1Content::Gtin},
        {"]E0036000291452", "]E0", "036000291452", "", TScanType::UpcA, TGs1Content::Gtin},
        {"]E004252614", "]E0", "04252614", "", TScanType::UpcE, TGs1Content::Gtin},
        {"]E496385074", "]E4", "96385074", "", TScanType::Ean8, TGs1Content::Gtin},
        // Add-ons: two identifiers in one message, or one combined packet.
        {"]E01101234567891]E112", "]E0", "110123456789112", "12", TScanType::Ean13S, TGs1Content::Gtin},
        {"]E00060992011187]E212345", "]E0", "006099201118712345", "12345", TScanType::UpcAS,
         TGs1Content::Gtin},
        {"]E400210126]E212345", "]E4", "0021012612345", "12345", TScanType::Ean8S, TGs1Content::Gtin},
        {"]E3110123456789112", "]E3", "110123456789112", "12", TScanType::Ean13S, TGs1Content::Gtin},
        {"]E212345", "]E2", "12345", "12345", TScanType::Unknown, TGs1Content::None},
        // GS1 data after FNC1 in the first position.
        {"]C1010952123454321310ABC", "]C1", "010952123454321310ABC", "", TScanType::Gs1128,
         TGs1Content::ElementString},
        {"]d201095212345432131726", "]d2", "01095212345432131726", "", TScanType::Gs1DataMatrix,
         TGs1Content::ElementString},
        {"]Q30109521234543213", "]Q3", "0109521234543213", "", TScanType::Gs1QrCode,
         TGs1Content::ElementString},
        {"]e00109521234543213", "]e0", "0109521234543213", "", TScanType::DataBar,
         TGs1Content::ElementString},
        {"]e009521234543213", "]e0", "09521234543213", "", TScanType::DataBar, TGs1Content::Gtin},
        {"]e0010952123454321310ABC", "]e0", "010952123454321310ABC", "", TScanType::DataBarExpanded,
         TGs1Content::ElementString},
        {"]J101095212345432131726", "]J1", "01095212345432131726", "", TScanType::Unknown,
         TGs1Content::ElementString},
        // Other code characters: no GS1 data.
        {"]C0ABC", "]C0", "ABC", "", TScanType::Code128, TGs1Content::None},
        {"]C4=A1234", "]C4", "=A1234", "", TScanType::Isbt128, TGs1Content::None},
        {"]A0CODE39", "]A0", "CODE39", "", TScanType::Code39, TGs1Content::None},
        {"]A1CODE39W", "]A1", "CODE39W", "", TScanType::Code39Ck, TGs1Content::None},
        {"]I01234", "]I0", "1234", "", TScanType::Itf, TGs1Content::None},
        {"]I112345670", "]I1", "12345670", "", TScanType::ItfCk, TGs1Content::None},
        {"]F0A123B", "]F0", "A123B", "", TScanType::Codabar, TGs1Content::None},
        {"]G0CODE93", "]G0", "CODE93", "", TScanType::Code93, TGs1Content::None},
        {"]L0pdf", "]L0", "pdf", "", TScanType::Pdf417, TGs1Content::None},
        {"]L3micro", "]L3", "micro", "", TScanType::MicroPdf417, TGs1Content::None},
        {"]d1text", "]d1", "text", "", TScanType::DataMatrix, TGs1Content::None},
        {"]Q1https://id.example/01/09521234543213", "]Q1", "https://id.example/01/09521234543213", "",
         TScanType::QrCode, TGs1Content::None},
        {"]z0aztec", "]z0", "aztec", "", TScanType::Aztec, TGs1Content::None},
        {"]U0maxi", "]U0", "maxi", "", TScanType::MaxiCode, TGs1Content::None},
        {"]X0123456789X", "]X0", "123456789X", "", TScanType::Unknown, TGs1Content::None},
    };
    for (const auto& c : cases) {
        const TSymbologyId id = ReadSymbologyId(c.code);
        EXPECT_TRUE(id.Valid) << c.code;
        EXPECT_EQ(id.Identifier, c.identifier) << c.code;
        EXPECT_EQ(id.Label, c.label) << c.code;
        EXPECT_EQ(id.AddOn, c.addOn) << c.code;
        EXPECT_EQ(id.Type, c.type) << c.code;
        EXPECT_EQ(id.Gs1, c.gs1) << c.code;
    }
}

TEST(SymbologyId, WithoutAValidIdentifierTheCodeComesWhole)
{
    // No ']', an unknown code character, a modifier the code character does not
    // have, or too short to hold one.
    for (const std::string& code :
         std::vector<std::string>{"5901234123457", "]W0abc", "]C9abc", "]Q7abc", "]E", "]", "", "]d",
                                  "\x1D"
                                  "0109521234543213"}) {
        const TSymbologyId id = ReadSymbologyId(code);
        EXPECT_FALSE(id.Valid) << code;
        EXPECT_EQ(id.Identifier, "") << code;
        EXPECT_EQ(id.Label, code) << code;
        EXPECT_EQ(id.Type, TScanType::Unknown) << code;
        EXPECT_EQ(id.Gs1, TGs1Content::None) << code;
    }
}

TEST(Gs1Table, PrefixesGiveLengthsAsGs1Does)
{
    // Three-digit AIs are not read as two, nor four as three.
    const struct {
        std::string digits, ai;
    } lookups[] = {{"0109", "01"},  {"2401", "240"}, {"3103000", "3103"}, {"3106000", ""}, {"7003", "7003"},
                   {"7101", "710"}, {"9999", "99"},  {"2350", "235"},     {"04", ""},      {"8", ""}};
    for (const auto& l : lookups) {
        const TAi* row = FindAi(l.digits);
        EXPECT_EQ(row ? std::string(row->First.substr(0, 0)) + l.digits.substr(0, row->First.size()) : "",
                  l.ai)
            << l.digits;
    }
    EXPECT_EQ(PredefinedLength('0', '1'), 16u);
    EXPECT_EQ(PredefinedLength('0', '4'), 18u); // predefined though no AI is assigned yet
    EXPECT_EQ(PredefinedLength('2', '3'), 0u);  // 235 needs its separator
    EXPECT_EQ(PredefinedLength('4', '1'), 16u);
    EXPECT_EQ(PredefinedLength('1', '0'), 0u);
    EXPECT_GT(AllAis().size(), 200u);
}

TEST(Gs1Parse, FieldsAndErrors)
{
    const std::string gs = "\x1D";
    const struct {
        std::string data, fields, errors;
    } cases[] = {
        // Predefined lengths need no GS; a variable field ends at GS or at the end.
        {"0109521234543213"
         "17260100"
         "10ABC123" +
             gs + "21XYZ",
         "01=09521234543213 17=260100 10=ABC123 21=XYZ", ""},
        {gs +
             "0109521234543213"
             "10ABC" +
             gs,
         "01=09521234543213 10=ABC", ""},                         // FNC1 as GS first and last
        {"10ABC" + gs + gs + "11240229", "10=ABC 11=240229", ""}, // a stray GS
        {"3103000123"
         "3922"
         "1234" +
             gs +
             "7003"
             "2601011230",
         "3103=000123 3922=1234 7003=2601011230", ""},
        {"2401X" + gs + "235ABC", "240=1X 235=ABC", ""},
        {"0109521234543214", "01=09521234543214", "01@15:bad_check_digit"},
        {"00123456789012345675", "00=123456789012345675", ""},
        {"17261301", "17=261301", "17@2:bad_date"},
        {"17260231", "17=260231", "17@2:bad_date"},
        {"17240229"
         "15250229",
         "17=240229 15=250229", "15@10:bad_date"},
        {"010952123454321", "01=0952123454321", "01@2:too_short"},
        {"01095212" + gs + "10A", "01=095212 10=A", "01@2:too_short"},
        {"10ABCDEFGHIJKLMNOPQRSTU", "10=ABCDEFGHIJKLMNOPQRSTU", "10@22:too_long"},
        {"10AB\x7F"
         "C",
         "10=AB\x7F"
         "C",
         "10@4:bad_character"},
        {"21A B", "21=A B", "21@3:bad_character"},
        {"30ABC", "30=ABC", "30@2:bad_character"},
        {"8010ABC" + gs + "8011012", "8010=ABC 8011=012", "8010@4:bad_key 8011@12:bad_value"},
        {"80101234ab", "8010=1234ab", "8010@8:bad_character"},
        {"422276" + gs + "4220", "422=276 422=0", "422@10:too_short"},
        {"422999", "422=999", "422@3:bad_country"},
        {"4307DE" + gs + "4317XX" + gs + "4307de", "4307=DE 4317=XX 4307=de",
         "4317@11:bad_country 4307@18:bad_country"},
        {"7030999ABC" + gs + "3912978120", "7030=999ABC 3912=978120", ""},
        {"3912000120", "3912=000120", "3912@4:bad_currency"},
        {"8001000100000001", "8001=000100000001", "8001@4:too_short"},
        {"800100000000100101", "8001=00000000100101", "8001@4:bad_value"},
        {"800100010000100121", "8001=00010000100121", "8001@16:bad_value"},
        {"80060952123454321301020", "8006=0952123454321301020", "8006@22:too_long"},
        {"800609521234543213"
         "0302",
         "8006=095212345432130302", "8006@18:bad_value"},
        {"8007GB82WEST12345698765432", "8007=GB82WEST12345698765432", ""},
        {"8007GB82WEST12345698765431", "8007=GB82WEST12345698765431", "8007@4:bad_check_digit"},
        {"80081903311259", "8008=1903311259", ""},
        {"80081903312459", "8008=1903312459", "8008@10:bad_time"},
        {"4330001234-", "4330=001234-", ""},
        {"4330001234+", "4330=001234+", "4330@10:bad_value"},
        {"4309"
         "1800000000"
         "3600000001",
         "4309=18000000003600000001", "4309@14:bad_value"},
        {"4300ABC%2", "4300=ABC%2", "4300@7:bad_value"},
        {"8030AbC-_==", "8030=AbC-_==", ""},
        {"8030A=b", "8030=A=b", "8030@5:bad_character"},
        {"8013"
         "1987654Ad4X4bL5ttr2310c2K",
         "8013=1987654Ad4X4bL5ttr2310c2K", ""},
        {"8013"
         "1987654Ad4X4bL5ttr2310c2L",
         "8013=1987654Ad4X4bL5ttr2310c2L", "8013@28:bad_check_digit"},
        {"8004ABC", "8004=ABC", "8004@4:bad_key"},
        {"7250"
         "20240229",
         "7250=20240229", ""},
        {"7250"
         "21000229",
         "7250=21000229", "7250@4:bad_date"},
        // Unknown AIs: a predefined prefix still gives the length; otherwise up to the next GS.
        {"04123456789012345610A", "04=1234567890123456 10=A", "04@0:unknown_ai"},
        {"5512345" + gs + "10A", "=5512345 10=A", "@0:unknown_ai"},
        {"7199ABC" + gs + "10A", "719=9ABC 10=A", "719@0:unknown_ai"},
        {"0", "=0", "@0:unknown_ai"},
        // The bracket form some decoders give for DataBar Expanded.
        {"(01)09521234543213(3103)000123(10)AB(C)", "01=09521234543213 3103=000123 10=AB(C)", ""},
        {"(01)09521234543213(99)X(55)Y", "01=09521234543213 99=X(55)Y", ""},
        {"(55)Y(01)09521234543213", "55=Y 01=09521234543213", "55@0:unknown_ai"},
    };
    for (const auto& c : cases) {
        TGs1Data out;
        ParseElementString(c.data, out);
        EXPECT_EQ(Fields(out), c.fields) << c.data;
        EXPECT_EQ(Errors(out), c.errors) << c.data;
    }
}

TEST(Gs1Parse, GtinOfEanUpc)
{
    const struct {
        std::string digits;
        bool upcE;
        std::string fields, errors;
    } cases[] = {
        {"5901234123457", false, "01=05901234123457", ""},
        {"0036000291452", false, "01=00036000291452", ""},
        {"036000291452", false, "01=00036000291452", ""},
        {"96385074", false, "01=00000096385074", ""},
        {"04252614", true, "01=00042100005264", ""}, // 0425261 -> 042100005264
        {"01234558", true, "01=00012345000058", ""},
        {"01234565", true, "01=00012345000065", ""},
        {"01234531", true, "01=00012300000451", ""},
        {"01234532", true, "01=00012300000452", "01@7:bad_check_digit"},
        {"5901234123458", false, "01=05901234123458", "01@12:bad_check_digit"},
        {"59012341234", false, "01=59012341234", "01@0:too_short"},
        {"590123412345A", false, "01=590123412345A", "01@12:bad_character"},
        {"21234565", true, "01=21234565", "01@0:bad_value"},
    };
    for (const auto& c : cases) {
        TGs1Data out;
        GtinFromEanUpc(c.digits, c.upcE, out);
        EXPECT_EQ(Fields(out), c.fields) << c.digits;
        EXPECT_EQ(Errors(out), c.errors) << c.digits;
    }
}

TEST(DigitalLink, PathAndQueryIntoFields)
{
    const struct {
        std::string uri;
        bool link;
        std::string fields, errors;
    } cases[] = {
        {"https://id.gs1.org/01/09521234543213/10/ABC%2F1/21/S1?17=260131&3103=000500&linkType=gs1:pip", true,
         "01=09521234543213 10=ABC/1 21=S1 17=260131 3103=000500", ""},
        {"HTTP://shop.example.com/a/b/01/9521234543213/22/V1", true, "01=09521234543213 22=V1", ""},
        {"https://x.example/01/96385074", true, "01=00000096385074", ""},
        {"https://x.example/01/09521234543214?10=A", true, "01=09521234543214 10=A", "01@34:bad_check_digit"},
        {"https://x.example/01/09521234543213/21/S/10/L", true, "01=09521234543213 21=S 10=L",
         "10@41:bad_qualifier"},
        {"https://x.example/00/123456789012345675?21=X&99=%zz", true, "00=123456789012345675 21=X 99=%zz",
         "21@40:not_attribute 99@48:bad_uri"},
        {"https://x.example/414/9521234543213/254/A", true, "414=9521234543213 254=A", ""},
        {"https://x.example/01/09521234543213#17=991399", true, "01=09521234543213", ""},
        {"https://x.example/01/09521234543213?17=261399", true, "01=09521234543213 17=261399",
         "17@39:bad_date"},
        // A parameter without '=', a segment that is no AI, a padded GTIN's fault: positions stay in the URI.
        {"https://x.example/01/09521234543213?17", true, "01=09521234543213 17=", "17@38:too_short"},
        {"https://x.example/01/09521234543213/$x/A", true, "01=09521234543213 =A", "@36:unknown_ai"},
        {"https://x.example/01/9521234543214", true, "01=09521234543214", "01@21:bad_check_digit"},
        // Not a Digital Link: no key in the path, or not http(s).
        {"https://example.com/products/123", false, "", ""},
        {"https://example.com/10/ABC", false, "", ""},
        {"ftp://x.example/01/09521234543213", false, "", ""},
        {"https://x.example/01", false, "", ""},
    };
    for (const auto& c : cases) {
        TGs1Data out;
        EXPECT_EQ(ParseDigitalLink(c.uri, out), c.link) << c.uri;
        EXPECT_EQ(Fields(out), c.fields) << c.uri;
        EXPECT_EQ(Errors(out), c.errors) << c.uri;
    }
}

TEST(ScanReading, EachSymbologyReachesTheSameFields)
{
    const std::string gs = "\x1D";
    const struct {
        std::string code;
        TScanData data;
        std::string fields, errors;
    } cases[] = {
        {"]E05901234123457", TScanData::Gtin, "01=05901234123457", ""},
        {"]E00060992011187]E212345", TScanData::Gtin, "01=00060992011187", ""},
        {"]E004252614", TScanData::Gtin, "01=00042100005264", ""},
        {"]e009521234543213", TScanData::Gtin, "01=09521234543213", ""},
        {"]d20109521234543213"
         "17260100"
         "10AB" +
             gs + "21C",
         TScanData::ElementString, "01=09521234543213 17=260100 10=AB 21=C", ""},
        {"]e0(01)09521234543213(10)ABC", TScanData::ElementString, "01=09521234543213 10=ABC", ""},
        {gs + "0109521234543213", TScanData::ElementString, "01=09521234543213", ""},
        {"]Q1https://d.example/01/09521234543213/10/A", TScanData::DigitalLink, "01=09521234543213 10=A", ""},
        {"https://d.example/01/09521234543213", TScanData::DigitalLink, "01=09521234543213", ""},
        {"]Q1https://example.com/", TScanData::None, "", ""},
        {"0109521234543213", TScanData::None, "", ""}, // digits without an identifier: not known to be GS1
        {"]C0https://d.example/01/09521234543213", TScanData::DigitalLink, "01=09521234543213", ""},
    };
    for (const auto& c : cases) {
        const TScanReading reading = ReadScan(c.code);
        EXPECT_EQ(reading.Data, c.data) << c.code;
        EXPECT_EQ(Fields(reading.Gs1), c.fields) << c.code;
        EXPECT_EQ(Errors(reading.Gs1), c.errors) << c.code;
    }
}
