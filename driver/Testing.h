// What tests and benchmarks reach inside the library: the driver's parts, the
// exports' bodies, the table of live drivers, and the hooks that only a test
// or a benchmark sets. The library itself never calls a hook declared here.
#pragma once

#include "driver/Belvor.h"
#include "driver/DeliveryThread.h"
#include "driver/Driver.h"
#include "driver/DriverTable.h"
#include "logging/Logger.h"
#include "platform/thread.h" // LateThreadStops

#include <cstdint>

namespace belvor {

// How long a delivery thread waits for a wake before it looks at its stop flag
// anyway (1000 ms). Tests make it very long, so that a lost wake shows as a
// hang instead of a delay. Returns the previous value; threads made before
// keep theirs.
uint32_t SetDeliveryRecheckInterval(uint32_t ms);

// How far past what its round may take a worker counts as stuck
// (TBelvor::kReaderStallMs). Returns the previous value.
int64_t SetReaderStallBound(int64_t ms);

} // namespace belvor
