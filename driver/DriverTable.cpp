#include "driver/DriverTable.h"

namespace belvor {

TDriverTable DriverTable;

} // namespace belvor
