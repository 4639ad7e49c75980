// What goes from a driver's port worker to its delivery thread.
#pragma once

#include <cstdint>
#include <string>

namespace belvor {

// What the delivery thread hands on, in the order it happened: a code, or a
// report of the line (lost, back, gone for good) or of the queue (codes
// dropped while full).
struct TQueuedItem {
    enum Kind : uint8_t { Code, Lost, Back, Dropped, Gone };
    Kind What = Code;
    bool Cut = false;   // a code cut to MaxLength
    uint32_t Value = 0; // Lost, Gone: the system's error code; Dropped: how many codes;
                        // a cut Code: its length as received
    std::string Text;   // a code's bytes
};

} // namespace belvor
