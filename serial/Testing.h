// What tests and benchmarks reach inside the port: its ring and the receive
// step, run on the caller's thread. The library itself never calls these.
#pragma once

#include "serial/ComCom.h"

#include <cstdint>

namespace belvor {

struct PortTesting {
    static ReceiveRing::Positions Ring(TComPort& port)
    {
        platform::LockGuard guard(port.FLock);
        return port.FRing.Snapshot();
    }
    static const uint8_t* RxBuffer(const TComPort& port) { return port.FRing.Data(); }
    // Reads without consuming, 1 for the oldest unread byte.
    static uint8_t Peek(TComPort& port, uint16_t index)
    {
        platform::LockGuard guard(port.FLock);
        return port.PeekChar(index);
    }
    // False when a device call failed; throws what DataReceived throws.
    static bool ReceiveData(TComPort& port) { return port.ReceiveData(); }
};

} // namespace belvor
