// A GS1 Digital Link URI read into the same fields as element strings: the
// primary key in its path (/01/{gtin}), the key's qualifiers after it (/22,
// /10, /21 for a GTIN), and the AIs of its query, percent-decoded, with any
// domain and path before the key. Never fetched. A pure function.
#pragma once

#include "driver/Gs1Parse.h"

#include <string_view>

namespace belvor::gs1 {

// Reads uri when it is an http or https URI whose path carries a GS1 primary
// key, adding its fields and their errors; false (nothing added) otherwise.
// GTIN-8, -12 and -13 in the path are padded to 14 digits. Query parameters
// whose names are not digits (linkType, ...) are left out.
bool ParseDigitalLink(std::string_view uri, TGs1Data& out);

} // namespace belvor::gs1
