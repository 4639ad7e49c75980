// A scanner's bytes into codes: a code is the allowed bytes before an end
// byte, at most a maximum length of them (those past it counted, not kept).
// Nothing else: no file, lock, thread or log; its driver feeds it the bytes
// it reads and queues what it gives.
#pragma once

#include "driver/QueuedItem.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>

namespace belvor {

class TCodeAssembler {
public:
    enum class TStep : uint8_t { Collecting, Refused, Complete };

    // aimIds: codes start with a symbology identifier (']', a code character,
    // a modifier), whose bytes are kept whatever the allow-list says, so that
    // "]d2" survives a list of digits; so is the add-on's own identifier that
    // an EAN/UPC code ("]E...") may carry after its digits.
    TCodeAssembler(const std::array<bool, 256>& allowed, uint8_t end, uint16_t maxLength,
                   bool aimIds = false);

    // One byte: kept (or counted past the maximum), refused by the allow-list,
    // or the end of a code, which TakeCode then gives.
    TStep Take(uint8_t byte) noexcept
    {
        if (byte == FEnd)
            return TStep::Complete;
        if (!FAllowed[byte] && !(FAimIds && Identifier(byte)))
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
    bool AimIds() const { return FAimIds; }
    uint16_t MaxLength() const { return FMaxLength; }

    // The half code is dropped: the rest of it will never come.
    void Reset() noexcept { FLength = FSeen = 0; }

private:
    // Whether a refused byte is part of an identifier: a ']' that starts the
    // code, or one in a code that began "]E", and the two bytes after either.
    bool Identifier(uint8_t byte) const noexcept
    {
        if (FSeen == 0)
            return byte == ']';
        const uint32_t last = std::min<uint32_t>(FSeen, FLength);
        for (uint32_t back = 1; back <= 2 && back <= last; ++back)
            if (FCode[last - back] == ']' && (last - back == 0 || EanCode()))
                return byte >= 0x21 && byte <= 0x7E;
        return byte == ']' && EanCode();
    }
    bool EanCode() const noexcept { return FLength >= 2 && FCode[0] == ']' && FCode[1] == 'E'; }

    std::array<bool, 256> FAllowed;
    uint8_t FEnd;
    uint16_t FMaxLength;
    bool FAimIds;
    uint16_t FLength = 0;
    uint32_t FSeen = 0;            // allowed bytes of the code, those past the maximum too
    std::unique_ptr<char[]> FCode; // FMaxLength bytes
};

} // namespace belvor
