// Fault simulation at the device seam: while a DeviceFaults exists, every port
// is opened through it (on top of whatever opener was in place: the fake
// device or the system's), and the Nth counted call fails as the system would
// fail it. Thread starts count as calls too, through the thread seam, and
// event creations in a scope of their own, through the event seam.
#pragma once

#include "platform/no_copy.h"
#include "platform/seams.h"
#include "platform/serial_device.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

namespace belvor::test {

enum class FaultScope : unsigned {
    Setup = 1,     // every call (open and thread starts included) but looks and reads
    Reception = 2, // the receive cycle's calls: Look, Status and Read
    Events = 4,    // event creations ("EventCreate"), which only their owner checks
};

class DeviceFaults : platform::NoCopy {
public:
    DeviceFaults();
    ~DeviceFaults();

    // Counting starts afresh; call n (from 1) of the scope fails, 0: none.
    // With a name, only the calls of that name count ("Read", "ThreadStart").
    void Arm(uint32_t n, FaultScope scope, std::string only = {});
    // No more faults; what was failed stays on record.
    void Disarm() { FTarget = 0; }
    // Calls of the armed scope seen since Arm.
    uint32_t Counted() const { return FCounted.load(); }
    // The call that was failed, empty when none was.
    std::string Failed();

    // Called by the wrapped device for each call with the scopes it counts
    // in; true when this one must fail.
    bool ShouldFail(const char* call, unsigned scopes);

private:
    std::atomic<uint32_t> FTarget{0};
    std::atomic<uint32_t> FCounted{0};
    std::atomic<unsigned> FScope{0};
    std::mutex FMutex;
    std::string FFailed;
    std::string FOnly;
    platform::Seams FPrevious;
};

} // namespace belvor::test
