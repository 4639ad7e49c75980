#include "platform/device_loss.h"

namespace belvor::platform {

void DeviceLossWatch::Failed(DeviceCall call, uint32_t code, bool cancelledHere)
{
    switch (FCodes(code)) {
    case CodeMeaning::Gone:
        Mark(code);
        return;
    case CodeMeaning::Nothing:
        return;
    case CodeMeaning::Ambiguous:
        break;
    }
    if (cancelledHere || call == DeviceCall::WaitEnd)
        return; // says nothing about the device
    if (FAmbiguousInARow.fetch_add(1) + 1 >= kAmbiguousInARow)
        Mark(code);
}

bool DeviceLossWatch::Lost(uint32_t& code) const
{
    const uint32_t lost = FLostCode.load();
    if (lost == 0)
        return false;
    code = lost;
    return true;
}

void DeviceLossWatch::Mark(uint32_t code)
{
    uint32_t none = 0;
    (void)FLostCode.compare_exchange_strong(none, code);
}

} // namespace belvor::platform
