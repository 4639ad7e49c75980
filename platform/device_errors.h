// The last failure of a serial device's calls. Like GetLastError the code is
// kept per thread, so that a failure on one thread never stands in for
// another's; a thread that has not failed on this device itself sees the
// device's latest failure.
#pragma once

#include <atomic>
#include <cstdint>

namespace belvor::platform {

class DeviceErrors {
public:
    // Records code as the calling thread's failure; false, for the caller to return.
    bool Fail(uint32_t code);
    uint32_t Last() const;

private:
    std::atomic<uint32_t> FLatest{0};
};

} // namespace belvor::platform
