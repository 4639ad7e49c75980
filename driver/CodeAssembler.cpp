#include "driver/CodeAssembler.h"

namespace belvor {

TCodeAssembler::TCodeAssembler(const std::array<bool, 256>& allowed, uint8_t end, uint16_t maxLength,
                               bool aimIds)
    : FAllowed(allowed), FEnd(end), FMaxLength(maxLength), FAimIds(aimIds),
      FCode(std::make_unique_for_overwrite<char[]>(maxLength))
{
}

TQueuedItem TCodeAssembler::TakeCode()
{
    const bool cut = FSeen > FLength;
    TQueuedItem code{TQueuedItem::Code, cut, cut ? FSeen : 0, std::string(FCode.get(), FLength)};
    Reset();
    return code;
}

} // namespace belvor
