// What the process holds, to prove that a failed or finished operation left
// nothing behind: its threads, and its open descriptors (Linux) or handles
// (Windows).
#pragma once

#include <cstdint>

namespace belvor::test {

struct Census {
    int Threads = 0;
    int Handles = 0;
    bool operator==(const Census&) const = default;
};

Census TakeCensus();

// The code a simulated device failure reports: EIO, or ERROR_GEN_FAILURE.
uint32_t InjectedDeviceError();

} // namespace belvor::test
