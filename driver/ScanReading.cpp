#include "driver/ScanReading.h"

#include "driver/DigitalLink.h"

namespace belvor {

TScanReading ReadScan(std::string_view code, bool readIdentifier)
{
    TScanReading reading;
    if (readIdentifier)
        reading.Symbology = ReadSymbologyId(code);
    else
        reading.Symbology.Label.assign(code);
    const TSymbologyId& id = reading.Symbology;
    const std::string_view label = id.Label;
    switch (id.Gs1) {
    case TGs1Content::ElementString:
        reading.Data = TScanData::ElementString;
        gs1::ParseElementString(label, reading.Gs1);
        return reading;
    case TGs1Content::Gtin: {
        reading.Data = TScanData::Gtin;
        const bool upcE = id.Type == TScanType::UpcE || id.Type == TScanType::UpcES;
        gs1::GtinFromEanUpc(label.substr(0, label.size() - id.AddOn.size()), upcE, reading.Gs1);
        return reading;
    }
    case TGs1Content::None:
        break;
    }
    // Without an identifier, a leading GS (FNC1 sent as GS) says GS1 data follows.
    if (!id.Valid && label.starts_with(gs1::kGroupSeparator)) {
        reading.Data = TScanData::ElementString;
        gs1::ParseElementString(label, reading.Gs1);
    } else if (gs1::ParseDigitalLink(label, reading.Gs1)) {
        reading.Data = TScanData::DigitalLink;
    }
    return reading;
}

} // namespace belvor
