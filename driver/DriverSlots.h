// A driver and its delivery thread into the table and out again, and a look
// at a live driver from outside its threads.
#pragma once

#include "driver/DriverTable.h"
#include "platform/result.h"

#include <cstdint>
#include <memory>

namespace belvor {

// Puts a driver, made but not yet receiving, in the next slot with a delivery
// thread that re-checks its stop flag every recheckMs, then lets its port hand
// over bytes. Returns the slot, or the system's code when the thread could not
// start (the driver is then destroyed). There must be a free one.
platform::Result<int32_t> AddDriver(std::unique_ptr<TBelvor> driver, uint32_t recheckMs);

// Stops and destroys the newest driver and its delivery thread. There must be one.
void RemoveLastDriver() noexcept;

// Runs read on the live driver with that index, from any thread, while it
// cannot be destroyed; false when there is none. read must be quick: a
// DestroyDriver waits for it.
bool ReadDriver(int32_t index, void (*read)(const TBelvor&, void*), void* context) noexcept;

} // namespace belvor
