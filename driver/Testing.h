// What tests and benchmarks reach inside the library: the driver's parts, the
// exports' bodies, the table of live drivers, and the hooks that only a test
// or a benchmark sets. The library itself never calls a hook declared here.
#pragma once

#include "driver/Belvor.h"
#include "driver/DeliveryThread.h"
#include "driver/Driver.h"
#include "driver/DriverSlots.h"
#include "driver/DriverTable.h"
#include "logging/Logger.h"
#include "platform/seams.h"
#include "platform/thread.h" // LateThreadStops
#include "serial/Testing.h"  // the port's ring and receive step

#include <cstdint>

namespace belvor {

// The seams and the times tests set: platform/seams.h.

} // namespace belvor
