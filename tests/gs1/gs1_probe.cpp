// What the scan reading makes of codes, for the oracle scripts: one code per
// line of standard input, in hexadecimal; one JSON object per line out.
#include "driver/ScanReading.h"

#include <cstdio>
#include <iostream>
#include <string>

using namespace belvor;

namespace {

std::string Json(std::string_view text)
{
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || byte >= 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", byte);
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

const char* DataName(TScanData data)
{
    switch (data) {
    case TScanData::ElementString:
        return "element_string";
    case TScanData::Gtin:
        return "gtin";
    case TScanData::DigitalLink:
        return "digital_link";
    case TScanData::None:
        break;
    }
    return "none";
}

} // namespace

int main()
{
    std::string line;
    while (std::getline(std::cin, line)) {
        std::string code;
        for (size_t i = 0; i + 1 < line.size(); i += 2)
            code += static_cast<char>(std::stoi(line.substr(i, 2), nullptr, 16));
        const TScanReading r = ReadScan(code);
        std::string out = "{\"valid\":" + std::string(r.Symbology.Valid ? "true" : "false") +
                          ",\"aim\":" + Json(r.Symbology.Identifier) +
                          ",\"type\":" + std::to_string(static_cast<int>(r.Symbology.Type)) +
                          ",\"label\":" + Json(r.Symbology.Label) + ",\"data\":\"" + DataName(r.Data) +
                          "\",\"fields\":[";
        for (size_t i = 0; i < r.Gs1.Fields.size(); ++i)
            out += (i ? ",[" : "[") + Json(r.Gs1.Fields[i].Ai) + "," + Json(r.Gs1.Fields[i].Value) + "]";
        out += "],\"errors\":[";
        for (size_t i = 0; i < r.Gs1.Errors.size(); ++i)
            out += (i ? ",[" : "[") + Json(r.Gs1.Errors[i].Ai) + "," +
                   std::to_string(r.Gs1.Errors[i].Position) + ",\"" +
                   gs1::ErrorKindName(r.Gs1.Errors[i].Kind) + "\"]";
        std::cout << out << "]}\n";
    }
    return 0;
}
