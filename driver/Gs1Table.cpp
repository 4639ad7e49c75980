#include "driver/Gs1Table.h"

#include "driver/Gs1Text.h"

#include <algorithm>

namespace belvor::gs1 {

namespace {

// A row as written: the AI or run "3100-3105", its flags ("*": predefined
// length, "?": allowed as a Digital Link attribute), its parts, the Digital
// Link key ("key", or "key=" with its qualifiers), and GS1's data title.
struct TRowText {
    std::string_view Ai;
    std::string_view Flags;
    std::string_view Parts;
    std::string_view Dl;
    std::string_view Title;
};

// Written from GS1's published AI table and its Barcode Syntax Dictionary
// (release of 2025): lengths, character sets, checks, flags and titles.
// clang-format off
constexpr TRowText kRows[] = {
    {"00",        "*?", "N18,csum,keyoff1",              "key",                "SSCC"},
    {"01",        "*?", "N14,csum,keyoff1",              "key=22,10,21|235",   "GTIN"},
    {"02",        "*?", "N14,csum,keyoff1",              "",                   "CONTENT"},
    {"03",        "*",  "N14,csum,keyoff1",              "",                   "MTO GTIN"},
    {"10",        "?",  "X..20",                         "",                   "BATCH/LOT"},
    {"11",        "*?", "N6,yymmd0",                     "",                   "PROD DATE"},
    {"12",        "*?", "N6,yymmd0",                     "",                   "DUE DATE"},
    {"13",        "*?", "N6,yymmd0",                     "",                   "PACK DATE"},
    {"15",        "*?", "N6,yymmd0",                     "",                   "BEST BEFORE or BEST BY"},
    {"16",        "*?", "N6,yymmd0",                     "",                   "SELL BY"},
    {"17",        "*?", "N6,yymmd0",                     "",                   "USE BY or EXPIRY"},
    {"20",        "*?", "N2",                            "",                   "VARIANT"},
    {"21",        "",   "X..20",                         "",                   "SERIAL"},
    {"22",        "",   "X..20",                         "",                   "CPV"},
    {"235",       "",   "X..28",                         "",                   "TPX"},
    {"240",       "?",  "X..30",                         "",                   "ADDITIONAL ID"},
    {"241",       "?",  "X..30",                         "",                   "CUST. PART No."},
    {"242",       "?",  "N..6",                          "",                   "MTO VARIANT"},
    {"243",       "?",  "X..20",                         "",                   "PCN"},
    {"250",       "?",  "X..30",                         "",                   "SECONDARY SERIAL"},
    {"251",       "?",  "X..30",                         "",                   "REF. TO SOURCE"},
    {"253",       "?",  "N13,csum,key [X..17]",          "key",                "GDTI"},
    {"254",       "",   "X..20",                         "",                   "GLN EXTENSION COMPONENT"},
    {"255",       "?",  "N13,csum,key [N..12]",          "key",                "GCN"},
    {"30",        "?",  "N..8",                          "",                   "VAR. COUNT"},
    {"3100-3105", "*?", "N6",                            "",                   "NET WEIGHT (kg)"},
    {"3110-3115", "*?", "N6",                            "",                   "LENGTH (m)"},
    {"3120-3125", "*?", "N6",                            "",                   "WIDTH (m)"},
    {"3130-3135", "*?", "N6",                            "",                   "HEIGHT (m)"},
    {"3140-3145", "*?", "N6",                            "",                   "AREA (m2)"},
    {"3150-3155", "*?", "N6",                            "",                   "NET VOLUME (l)"},
    {"3160-3165", "*?", "N6",                            "",                   "NET VOLUME (m3)"},
    {"3200-3205", "*?", "N6",                            "",                   "NET WEIGHT (lb)"},
    {"3210-3215", "*?", "N6",                            "",                   "LENGTH (in)"},
    {"3220-3225", "*?", "N6",                            "",                   "LENGTH (ft)"},
    {"3230-3235", "*?", "N6",                            "",                   "LENGTH (yd)"},
    {"3240-3245", "*?", "N6",                            "",                   "WIDTH (in)"},
    {"3250-3255", "*?", "N6",                            "",                   "WIDTH (ft)"},
    {"3260-3265", "*?", "N6",                            "",                   "WIDTH (yd)"},
    {"3270-3275", "*?", "N6",                            "",                   "HEIGHT (in)"},
    {"3280-3285", "*?", "N6",                            "",                   "HEIGHT (ft)"},
    {"3290-3295", "*?", "N6",                            "",                   "HEIGHT (yd)"},
    {"3300-3305", "*?", "N6",                            "",                   "GROSS WEIGHT (kg)"},
    {"3310-3315", "*?", "N6",                            "",                   "LENGTH (m), log"},
    {"3320-3325", "*?", "N6",                            "",                   "WIDTH (m), log"},
    {"3330-3335", "*?", "N6",                            "",                   "HEIGHT (m), log"},
    {"3340-3345", "*?", "N6",                            "",                   "AREA (m2), log"},
    {"3350-3355", "*?", "N6",                            "",                   "VOLUME (l), log"},
    {"3360-3365", "*?", "N6",                            "",                   "VOLUME (m3), log"},
    {"3370-3375", "*?", "N6",                            "",                   "KG PER m2"},
    {"3400-3405", "*?", "N6",                            "",                   "GROSS WEIGHT (lb)"},
    {"3410-3415", "*?", "N6",                            "",                   "LENGTH (in), log"},
    {"3420-3425", "*?", "N6",                            "",                   "LENGTH (ft), log"},
    {"3430-3435", "*?", "N6",                            "",                   "LENGTH (yd), log"},
    {"3440-3445", "*?", "N6",                            "",                   "WIDTH (in), log"},
    {"3450-3455", "*?", "N6",                            "",                   "WIDTH (ft), log"},
    {"3460-3465", "*?", "N6",                            "",                   "WIDTH (yd), log"},
    {"3470-3475", "*?", "N6",                            "",                   "HEIGHT (in), log"},
    {"3480-3485", "*?", "N6",                            "",                   "HEIGHT (ft), log"},
    {"3490-3495", "*?", "N6",                            "",                   "HEIGHT (yd), log"},
    {"3500-3505", "*?", "N6",                            "",                   "AREA (in2)"},
    {"3510-3515", "*?", "N6",                            "",                   "AREA (ft2)"},
    {"3520-3525", "*?", "N6",                            "",                   "AREA (yd2)"},
    {"3530-3535", "*?", "N6",                            "",                   "AREA (in2), log"},
    {"3540-3545", "*?", "N6",                            "",                   "AREA (ft2), log"},
    {"3550-3555", "*?", "N6",                            "",                   "AREA (yd2), log"},
    {"3560-3565", "*?", "N6",                            "",                   "NET WEIGHT (t oz)"},
    {"3570-3575", "*?", "N6",                            "",                   "NET VOLUME (oz)"},
    {"3600-3605", "*?", "N6",                            "",                   "NET VOLUME (qt)"},
    {"3610-3615", "*?", "N6",                            "",                   "NET VOLUME (gal.)"},
    {"3620-3625", "*?", "N6",                            "",                   "VOLUME (qt), log"},
    {"3630-3635", "*?", "N6",                            "",                   "VOLUME (gal.), log"},
    {"3640-3645", "*?", "N6",                            "",                   "VOLUME (in3)"},
    {"3650-3655", "*?", "N6",                            "",                   "VOLUME (ft3)"},
    {"3660-3665", "*?", "N6",                            "",                   "VOLUME (yd3)"},
    {"3670-3675", "*?", "N6",                            "",                   "VOLUME (in3), log"},
    {"3680-3685", "*?", "N6",                            "",                   "VOLUME (ft3), log"},
    {"3690-3695", "*?", "N6",                            "",                   "VOLUME (yd3), log"},
    {"37",        "?",  "N..8",                          "",                   "COUNT"},
    {"3900-3909", "?",  "N..15",                         "",                   "AMOUNT"},
    {"3910-3919", "?",  "N3,iso4217 N..15",              "",                   "AMOUNT"},
    {"3920-3929", "?",  "N..15",                         "",                   "PRICE"},
    {"3930-3939", "?",  "N3,iso4217 N..15",              "",                   "PRICE"},
    {"3940-3943", "?",  "N4",                            "",                   "PRCNT OFF"},
    {"3950-3955", "?",  "N6",                            "",                   "PRICE/UoM"},
    {"400",       "?",  "X..30",                         "",                   "ORDER NUMBER"},
    {"401",       "?",  "X..30,key",                     "key",                "GINC"},
    {"402",       "?",  "N17,csum,key",                  "key",                "GSIN"},
    {"403",       "?",  "X..30",                         "",                   "ROUTE"},
    {"410",       "*?", "N13,csum,key",                  "",                   "SHIP TO LOC"},
    {"411",       "*?", "N13,csum,key",                  "",                   "BILL TO"},
    {"412",       "*?", "N13,csum,key",                  "",                   "PURCHASE FROM"},
    {"413",       "*?", "N13,csum,key",                  "",                   "SHIP FOR LOC"},
    {"414",       "*?", "N13,csum,key",                  "key=254|7040",       "LOC No."},
    {"415",       "*?", "N13,csum,key",                  "key=8020",           "PAY TO"},
    {"416",       "*?", "N13,csum,key",                  "",                   "PROD/SERV LOC"},
    {"417",       "*?", "N13,csum,key",                  "key=7040",           "PARTY"},
    {"420",       "?",  "X..20",                         "",                   "SHIP TO POST"},
    {"421",       "?",  "N3,iso3166 X..9",               "",                   "SHIP TO POST"},
    {"422",       "?",  "N3,iso3166",                    "",                   "ORIGIN"},
    {"423",       "?",  "N3,iso3166 [N3],iso3166 [N3],iso3166 [N3],iso3166 [N3],iso3166", "", "COUNTRY - INITIAL PROCESS"},
    {"424",       "?",  "N3,iso3166",                    "",                   "COUNTRY - PROCESS"},
    {"425",       "?",  "N3,iso3166 [N3],iso3166 [N3],iso3166 [N3],iso3166 [N3],iso3166", "", "COUNTRY - DISASSEMBLY"},
    {"426",       "?",  "N3,iso3166",                    "",                   "COUNTRY - FULL PROCESS"},
    {"427",       "?",  "X..3",                          "",                   "ORIGIN SUBDIVISION"},
    {"4300",      "?",  "X..35,pcenc",                   "",                   "SHIP TO COMP"},
    {"4301",      "?",  "X..35,pcenc",                   "",                   "SHIP TO NAME"},
    {"4302",      "?",  "X..70,pcenc",                   "",                   "SHIP TO ADD1"},
    {"4303",      "?",  "X..70,pcenc",                   "",                   "SHIP TO ADD2"},
    {"4304",      "?",  "X..70,pcenc",                   "",                   "SHIP TO SUB"},
    {"4305",      "?",  "X..70,pcenc",                   "",                   "SHIP TO LOC"},
    {"4306",      "?",  "X..70,pcenc",                   "",                   "SHIP TO REG"},
    {"4307",      "?",  "X2,iso3166alpha2",              "",                   "SHIP TO COUNTRY"},
    {"4308",      "?",  "X..30",                         "",                   "SHIP TO PHONE"},
    {"4309",      "?",  "N10,latitude N10,longitude",    "",                   "SHIP TO GEO"},
    {"4310",      "?",  "X..35,pcenc",                   "",                   "RTN TO COMP"},
    {"4311",      "?",  "X..35,pcenc",                   "",                   "RTN TO NAME"},
    {"4312",      "?",  "X..70,pcenc",                   "",                   "RTN TO ADD1"},
    {"4313",      "?",  "X..70,pcenc",                   "",                   "RTN TO ADD2"},
    {"4314",      "?",  "X..70,pcenc",                   "",                   "RTN TO SUB"},
    {"4315",      "?",  "X..70,pcenc",                   "",                   "RTN TO LOC"},
    {"4316",      "?",  "X..70,pcenc",                   "",                   "RTN TO REG"},
    {"4317",      "?",  "X2,iso3166alpha2",              "",                   "RTN TO COUNTRY"},
    {"4318",      "?",  "X..20",                         "",                   "RTN TO POST"},
    {"4319",      "?",  "X..30",                         "",                   "RTN TO PHONE"},
    {"4320",      "?",  "X..35,pcenc",                   "",                   "SRV DESCRIPTION"},
    {"4321",      "?",  "N1,yesno",                      "",                   "DANGEROUS GOODS"},
    {"4322",      "?",  "N1,yesno",                      "",                   "AUTH TO LEAVE"},
    {"4323",      "?",  "N1,yesno",                      "",                   "SIG REQUIRED"},
    {"4324",      "?",  "N6,yymmd0 N4,hhmi",             "",                   "NOT BEF DEL DT"},
    {"4325",      "?",  "N6,yymmd0 N4,hhmi",             "",                   "NOT AFT DEL DT"},
    {"4326",      "?",  "N6,yymmdd",                     "",                   "REL DATE"},
    {"4330",      "?",  "N6 [X1],hyphen",                "",                   "MAX TEMP F."},
    {"4331",      "?",  "N6 [X1],hyphen",                "",                   "MAX TEMP C."},
    {"4332",      "?",  "N6 [X1],hyphen",                "",                   "MIN TEMP F."},
    {"4333",      "?",  "N6 [X1],hyphen",                "",                   "MIN TEMP C."},
    {"7001",      "?",  "N13",                           "",                   "NSN"},
    {"7002",      "?",  "X..30",                         "",                   "MEAT CUT"},
    {"7003",      "?",  "N6,yymmdd N4,hhmi",             "",                   "EXPIRY TIME"},
    {"7004",      "?",  "N..4",                          "",                   "ACTIVE POTENCY"},
    {"7005",      "?",  "X..12",                         "",                   "CATCH AREA"},
    {"7006",      "?",  "N6,yymmdd",                     "",                   "FIRST FREEZE DATE"},
    {"7007",      "?",  "N6,yymmdd [N6],yymmdd",         "",                   "HARVEST DATE"},
    {"7008",      "?",  "X..3",                          "",                   "AQUATIC SPECIES"},
    {"7009",      "?",  "X..10",                         "",                   "FISHING GEAR TYPE"},
    {"7010",      "?",  "X..2",                          "",                   "PROD METHOD"},
    {"7011",      "?",  "N6,yymmdd [N4],hhmi",           "",                   "TEST BY DATE"},
    {"7020",      "?",  "X..20",                         "",                   "REFURB LOT"},
    {"7021",      "?",  "X..20",                         "",                   "FUNC STAT"},
    {"7022",      "?",  "X..20",                         "",                   "REV STAT"},
    {"7023",      "?",  "X..30,key",                     "",                   "GIAI - ASSEMBLY"},
    {"7030",      "?",  "N3,iso3166999 X..27",           "",                   "PROCESSOR # 0"},
    {"7031",      "?",  "N3,iso3166999 X..27",           "",                   "PROCESSOR # 1"},
    {"7032",      "?",  "N3,iso3166999 X..27",           "",                   "PROCESSOR # 2"},
    {"7033",      "?",  "N3,iso3166999 X..27",           "",                   "PROCESSOR # 3"},
    {"7034",      "?",  "N3,iso3166999 X..27",           "",                   "PROCESSOR # 4"},
    {"7035",      "?",  "N3,iso3166999 X..27",           "",                   "PROCESSOR # 5"},
    {"7036",      "?",  "N3,iso3166999 X..27",           "",                   "PROCESSOR # 6"},
    {"7037",      "?",  "N3,iso3166999 X..27",           "",                   "PROCESSOR # 7"},
    {"7038",      "?",  "N3,iso3166999 X..27",           "",                   "PROCESSOR # 8"},
    {"7039",      "?",  "N3,iso3166999 X..27",           "",                   "PROCESSOR # 9"},
    {"7040",      "",   "N1 X1 X1 X1,importeridx",       "",                   "UIC+EXT"},
    {"7041",      "",   "X..4,packagetype",              "",                   "UFRGT UNIT TYPE"},
    {"710",       "?",  "X..20",                         "",                   "NHRN PZN"},
    {"711",       "?",  "X..20",                         "",                   "NHRN CIP"},
    {"712",       "?",  "X..20",                         "",                   "NHRN CN"},
    {"713",       "?",  "X..20",                         "",                   "NHRN DRN"},
    {"714",       "?",  "X..20",                         "",                   "NHRN AIM"},
    {"715",       "?",  "X..20",                         "",                   "NHRN NDC"},
    {"716",       "?",  "X..20",                         "",                   "NHRN AIC"},
    {"7230-7239", "?",  "X2 X..28",                      "",                   "CERT # 1-10"},
    {"7240",      "?",  "X..20",                         "",                   "PROTOCOL"},
    {"7241",      "?",  "N2,mediatype",                  "",                   "AIDC MEDIA TYPE"},
    {"7242",      "?",  "X..25",                         "",                   "VCN"},
    {"7250",      "?",  "N8,yyyymmdd",                   "",                   "DOB"},
    {"7251",      "?",  "N8,yyyymmdd N4,hhmi",           "",                   "DOB TIME"},
    {"7252",      "?",  "N1,iso5218",                    "",                   "BIO SEX"},
    {"7253",      "?",  "X..40,pcenc",                   "",                   "FAMILY NAME"},
    {"7254",      "?",  "X..40,pcenc",                   "",                   "GIVEN NAME"},
    {"7255",      "?",  "X..10",                         "",                   "SUFFIX"},
    {"7256",      "?",  "X..90,pcenc",                   "",                   "FULL NAME"},
    {"7257",      "?",  "X..70,pcenc",                   "",                   "PERSON ADDR"},
    {"7258",      "?",  "X3,posinseqslash",              "",                   "BIRTH SEQUENCE"},
    {"7259",      "?",  "X..40,pcenc",                   "",                   "BABY"},
    {"8001",      "?",  "N4,nonzero N5,nonzero N3,nonzero N1,winding N1", "",  "DIMENSIONS"},
    {"8002",      "?",  "X..20",                         "",                   "CMT No."},
    {"8003",      "?",  "N1,zero N13,csum,key [X..16]",  "key",                "GRAI"},
    {"8004",      "?",  "X..30,key",                     "key=7040",           "GIAI"},
    {"8005",      "?",  "N6",                            "",                   "PRICE PER UNIT"},
    {"8006",      "?",  "N14,csum,keyoff1 N4,pieceoftotal", "key=22,10,21",    "ITIP"},
    {"8007",      "?",  "X..34,iban",                    "",                   "IBAN"},
    {"8008",      "?",  "N6,yymmdd N2,hh [N2],mi [N2],ss", "",                 "PROD TIME"},
    {"8009",      "?",  "X..50",                         "",                   "OPTSEN"},
    {"8010",      "?",  "Y..30,key",                     "key=8011",           "CPID"},
    {"8011",      "",   "N..12,nozeroprefix",            "",                   "CPID SERIAL"},
    {"8012",      "?",  "X..20",                         "",                   "VERSION"},
    {"8013",      "?",  "X..25,csumalpha,key",           "key",                "GMN"},
    {"8014",      "",   "X..25,csumalpha,key,hasnondigit", "",                 "MUDI"},
    {"8017",      "?",  "N18,csum,key",                  "key=8019",           "GSRN - PROVIDER"},
    {"8018",      "?",  "N18,csum,key",                  "key=8019",           "GSRN - RECIPIENT"},
    {"8019",      "",   "N..10",                         "",                   "SRIN"},
    {"8020",      "",   "X..25",                         "",                   "REF No."},
    {"8026",      "?",  "N14,csum,keyoff1 N4,pieceoftotal", "",                "ITIP CONTENT"},
    {"8030",      "?",  "Z..90",                         "",                   "DIGSIG"},
    {"8110",      "?",  "X..70,couponcode",              "",                   "COUPON"},
    {"8111",      "?",  "N4",                            "",                   "POINTS"},
    {"8112",      "?",  "X..70,couponposoffer",          "",                   "COUPON"},
    {"8200",      "",   "X..70",                         "",                   "PRODUCT URL"},
    {"90",        "?",  "X..30",                         "",                   "INTERNAL"},
    {"91-99",     "?",  "X..90",                         "",                   "INTERNAL"},
};
// clang-format on

// GS1's predefined lengths (AI and value) by the AI's first two digits.
struct TPredefined {
    std::string_view Prefix;
    uint8_t Length;
};
constexpr TPredefined kPredefined[] = {
    {"00", 20}, {"01", 16}, {"02", 16}, {"03", 16}, {"04", 18}, {"11", 8},  {"12", 8}, {"13", 8},
    {"14", 8},  {"15", 8},  {"16", 8},  {"17", 8},  {"18", 8},  {"19", 8},  {"20", 4}, {"31", 10},
    {"32", 10}, {"33", 10}, {"34", 10}, {"35", 10}, {"36", 10}, {"41", 16},
};

struct TCheckName {
    std::string_view Name;
    TCheck Check;
};
constexpr TCheckName kCheckNames[] = {
    {"csum", TCheck::Csum},
    {"csumalpha", TCheck::CsumAlpha},
    {"key", TCheck::Key},
    {"keyoff1", TCheck::KeyOff1},
    {"yymmd0", TCheck::Yymmd0},
    {"yymmdd", TCheck::Yymmdd},
    {"yyyymmd0", TCheck::Yyyymmd0},
    {"yyyymmdd", TCheck::Yyyymmdd},
    {"hhmi", TCheck::Hhmi},
    {"hh", TCheck::Hh},
    {"mi", TCheck::Mi},
    {"ss", TCheck::Ss},
    {"nonzero", TCheck::Nonzero},
    {"zero", TCheck::Zero},
    {"winding", TCheck::Winding},
    {"yesno", TCheck::YesNo},
    {"hyphen", TCheck::Hyphen},
    {"pieceoftotal", TCheck::PieceOfTotal},
    {"nozeroprefix", TCheck::NoZeroPrefix},
    {"posinseqslash", TCheck::PosInSeqSlash},
    {"hasnondigit", TCheck::HasNonDigit},
    {"iso3166", TCheck::Iso3166},
    {"iso3166999", TCheck::Iso3166Or999},
    {"iso3166alpha2", TCheck::Iso3166Alpha2},
    {"iso4217", TCheck::Iso4217},
    {"iso5218", TCheck::Iso5218},
    {"iban", TCheck::Iban},
    {"pcenc", TCheck::PercentEnc},
    {"latitude", TCheck::Latitude},
    {"longitude", TCheck::Longitude},
    {"mediatype", TCheck::MediaType},
    {"importeridx", TCheck::ImporterIdx},
    {"packagetype", TCheck::PackageType},
    {"couponcode", TCheck::CouponCode},
    {"couponposoffer", TCheck::CouponPosOffer},
};

// A row that does not read throws here, which fails the compilation: these run only at compile time.
consteval void Require(bool ok, const char* what)
{
    if (!ok)
        throw what;
}

consteval uint8_t ReadLength(std::string_view& text)
{
    Require(!text.empty() && IsDigit(text.front()), "a length must be a number");
    unsigned value = 0;
    while (!text.empty() && IsDigit(text.front())) {
        value = value * 10 + static_cast<unsigned>(text.front() - '0');
        text.remove_prefix(1);
    }
    Require(value >= 1 && value <= 99, "a length must be 1 to 99");
    return static_cast<uint8_t>(value);
}

// One part: "N13,csum,key", "[X..17]", "[N4],hhmi".
consteval TPart ReadPart(std::string_view text)
{
    TPart part;
    if (text.front() == '[') {
        part.Optional = true;
        text.remove_prefix(1);
    }
    switch (text.front()) {
    case 'N':
        part.Set = TCharSet::N;
        break;
    case 'X':
        part.Set = TCharSet::X;
        break;
    case 'Y':
        part.Set = TCharSet::Y;
        break;
    case 'Z':
        part.Set = TCharSet::Z;
        break;
    default:
        Require(false, "a part starts with N, X, Y or Z");
    }
    text.remove_prefix(1);
    if (text.starts_with("..")) {
        text.remove_prefix(2);
        part.Min = 1;
        part.Max = ReadLength(text);
    } else {
        part.Min = part.Max = ReadLength(text);
    }
    if (part.Optional) {
        Require(text.starts_with("]"), "an optional part ends with ]");
        text.remove_prefix(1);
    }
    size_t checks = 0;
    while (!text.empty()) {
        Require(text.front() == ',', "checks follow a comma");
        text.remove_prefix(1);
        const std::string_view name = text.substr(0, text.find(','));
        text.remove_prefix(name.size());
        bool known = false;
        for (const TCheckName& check : kCheckNames)
            if (check.Name == name) {
                Require(checks < kMaxChecks, "too many checks on a part");
                part.Checks[checks++] = check.Check;
                known = true;
            }
        Require(known, "a check of unknown name");
    }
    return part;
}

consteval TAi ReadRow(const TRowText& row)
{
    TAi ai;
    const size_t dash = row.Ai.find('-');
    ai.First = row.Ai.substr(0, dash);
    ai.Last = dash == std::string_view::npos ? ai.First : row.Ai.substr(dash + 1);
    Require(ai.First.size() >= 2 && ai.First.size() <= 4 && ai.Last.size() == ai.First.size() &&
                ai.First <= ai.Last,
            "an AI or run of AIs of one length");
    for (const char c : row.Ai)
        Require(IsDigit(c) || c == '-', "an AI is digits");
    for (const char c : row.Flags) {
        Require(c == '*' || c == '?', "flags are * and ?");
        (c == '*' ? ai.Predefined : ai.DlAttribute) = true;
    }
    if (row.Dl.starts_with("key")) {
        ai.DlKey = true;
        ai.DlQualifiers = row.Dl.size() > 3 ? row.Dl.substr(4) : std::string_view();
        Require(row.Dl.size() == 3 || row.Dl[3] == '=', "key or key=qualifiers");
    } else {
        Require(row.Dl.empty(), "key or key=qualifiers");
    }
    std::string_view parts = row.Parts;
    bool optional = false;
    while (!parts.empty()) {
        const std::string_view text = parts.substr(0, parts.find(' '));
        parts.remove_prefix(text.size());
        while (parts.starts_with(' '))
            parts.remove_prefix(1);
        Require(ai.PartCount < kMaxParts, "too many parts");
        const TPart part = ReadPart(text);
        Require(part.Optional || !optional, "no required part after an optional one");
        Require(ai.PartCount == 0 || ai.Parts[ai.PartCount - 1].Min == ai.Parts[ai.PartCount - 1].Max,
                "only the last part may vary in length");
        optional = part.Optional;
        ai.Parts[ai.PartCount++] = part;
        ai.MinLength = static_cast<uint16_t>(ai.MinLength + (part.Optional ? 0 : part.Min));
        ai.MaxLength = static_cast<uint16_t>(ai.MaxLength + part.Max);
    }
    Require(ai.PartCount > 0, "an AI has a value");
    ai.Title = row.Title;
    return ai;
}

constexpr size_t PrefixOf(std::string_view ai)
{
    return static_cast<size_t>((ai[0] - '0') * 10 + (ai[1] - '0'));
}

consteval size_t PredefinedOf(std::string_view prefix)
{
    for (const TPredefined& p : kPredefined)
        if (p.Prefix == prefix)
            return p.Length;
    return 0;
}

consteval auto Compile()
{
    std::array<TAi, std::size(kRows)> table{};
    std::array<size_t, 100> lengths{};
    for (size_t i = 0; i < std::size(kRows); ++i) {
        table[i] = ReadRow(kRows[i]);
        const TAi& ai = table[i];
        Require(i == 0 || table[i - 1].Last < ai.First, "rows in the order of their AIs, not overlapping");
        // GS1's rule: the first two digits give the AI's length, and the
        // predefined table the whole string's length.
        for (size_t prefix = PrefixOf(ai.First); prefix <= PrefixOf(ai.Last); ++prefix) {
            Require(lengths[prefix] == 0 || lengths[prefix] == ai.First.size(),
                    "the first two digits give the AI's length");
            lengths[prefix] = ai.First.size();
        }
        const size_t predefined = PredefinedOf(ai.First.substr(0, 2));
        Require(ai.Predefined == (predefined != 0), "* exactly for the predefined prefixes");
        Require(!ai.Predefined ||
                    (ai.MinLength == ai.MaxLength && ai.First.size() + ai.MaxLength == predefined),
                "a predefined length is the row's length");
    }
    return table;
}

constexpr auto kTable = Compile();

consteval auto LengthsByPrefix()
{
    std::array<uint8_t, 100> lengths{};
    for (const TAi& ai : kTable)
        for (size_t prefix = PrefixOf(ai.First); prefix <= PrefixOf(ai.Last); ++prefix)
            lengths[prefix] = static_cast<uint8_t>(ai.First.size());
    for (const TPredefined& p : kPredefined) {
        uint8_t& length = lengths[static_cast<size_t>((p.Prefix[0] - '0') * 10 + (p.Prefix[1] - '0'))];
        if (length == 0)
            length = 2; // a predefined prefix no AI has yet: two digits, as every predefined AI has
    }
    return lengths;
}

constexpr auto kAiLengths = LengthsByPrefix();

consteval auto PredefinedByPrefix()
{
    std::array<uint8_t, 100> lengths{};
    for (const TPredefined& p : kPredefined)
        lengths[static_cast<size_t>((p.Prefix[0] - '0') * 10 + (p.Prefix[1] - '0'))] = p.Length;
    return lengths;
}

constexpr auto kPredefinedLengths = PredefinedByPrefix();

size_t PrefixIndex(char first, char second)
{
    return static_cast<size_t>((first - '0') * 10 + (second - '0'));
}

} // namespace

size_t AiLength(char first, char second) noexcept
{
    if (!IsDigit(first) || !IsDigit(second))
        return 0;
    return kAiLengths[PrefixIndex(first, second)];
}

size_t PredefinedLength(char first, char second) noexcept
{
    if (!IsDigit(first) || !IsDigit(second))
        return 0;
    return kPredefinedLengths[PrefixIndex(first, second)];
}

const TAi* FindAi(std::string_view digits) noexcept
{
    if (digits.size() < 2)
        return nullptr;
    const size_t length = AiLength(digits[0], digits[1]);
    if (length == 0 || digits.size() < length)
        return nullptr;
    const std::string_view ai = digits.substr(0, length);
    if (!AllDigits(ai))
        return nullptr;
    // The last row starting at or before the AI, if its run holds it.
    const auto after = std::upper_bound(kTable.begin(), kTable.end(), ai,
                                        [](std::string_view key, const TAi& row) { return key < row.First; });
    if (after == kTable.begin())
        return nullptr;
    const TAi& row = *(after - 1);
    return row.First.size() == length && ai <= row.Last ? &row : nullptr;
}

std::span<const TAi> AllAis() noexcept
{
    return kTable;
}

} // namespace belvor::gs1
