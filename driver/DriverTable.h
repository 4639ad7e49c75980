// The live drivers, in the order the host made them: the exported functions
// add and remove them (DriverSlots.h), and each delivery thread looks its
// driver up here by index.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

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

} // namespace belvor
