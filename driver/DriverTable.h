// The live drivers, in the order the host made them: the exported functions
// add and remove them, and the port workers and delivery threads look their
// partners up here.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

namespace belvor {

inline constexpr int32_t kMaxDrivers = 10;

class TBelvor;
class TBelvorThread;

// A slot holds its driver and delivery thread from AddDriver to
// RemoveLastDriver. It has no destructor that would stop them: a host that
// exits with a driver still live must not have its threads joined behind its back.
struct TDriverTable {
    std::array<std::atomic<TBelvor*>, kMaxDrivers> Drivers{};
    std::array<std::atomic<TBelvorThread*>, kMaxDrivers> Threads{};
    int32_t DriverCount = 0; // the host's thread only
};

extern TDriverTable DriverTable;

// Puts a driver, made but not yet receiving, in the next slot with a delivery
// thread that re-checks its stop flag every recheckMs, then lets its port hand
// over bytes. Returns the slot. There must be a free one.
int32_t AddDriver(std::unique_ptr<TBelvor> driver, uint32_t recheckMs);

// Stops and destroys the newest driver and its delivery thread. There must be one.
void RemoveLastDriver() noexcept;

// Runs read on the live driver with that index, from any thread, while it
// cannot be destroyed; false when there is none. read must be quick: a
// DestroyDriver waits for it.
bool ReadDriver(int32_t index, void (*read)(const TBelvor&, void*), void* context) noexcept;

} // namespace belvor
