// A scanner's bytes into codes: a code is the allowed bytes before an end
// byte, at most a maximum length of them (those past it counted, not kept).
// Nothing else: no file, lock, thread or log; its driver feeds it the bytes
// it reads and queues what it gives.
#pragma once

#include "driver/QueuedItem.h"

#include <array>
#include <cstdint>
#include <memory>

namespace belvor {

class TCodeAssembler {
public:
    enum class TStep : uint8_t { Collecting, Refused, Complete };

    TCodeAssembler(const std::array<bool, 256>& allowed, uint8_t end, uint16_t maxLength);

    // One byte: kept (or counted past the maximum), refused by the allow-list,
    // or the end of a code, which TakeCode then gives.
    TStep Take(uint8_t byte) noexcept
    {
        if (byte == FEnd)
            return TStep::Complete;
        if (!FAllowed[byte])
            return TStep::Refused;
        if (FLength < FMaxLength)
            FCode[FLength++] = static_cast<char>(byte);
        ++FSeen;
        return TStep::Collecting;
    }

    // The code just completed, as the queue takes it (a cut one carries the
    // length it had); the next one starts empty.
    TQueuedItem TakeCode();

    uint8_t End() const { return FEnd; }
    uint16_t MaxLength() const { return FMaxLength; }

    // The half code is dropped: the rest of it will never come.
    void Reset() noexcept { FLength = FSeen = 0; }

private:
    std::array<bool, 256> FAllowed;
    uint8_t FEnd;
    uint16_t FMaxLength;
    uint16_t FLength = 0;
    uint32_t FSeen = 0;            // allowed bytes of the code, those past the maximum too
    std::unique_ptr<char[]> FCode; // FMaxLength bytes
};

} // namespace belvor
