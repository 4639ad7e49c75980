#include "platform/serial_device.h"
#include "platform/sync.h"

#include <atomic>

namespace belvor::platform {

void SerialDevice::WaitForNews(uint32_t timeoutMs)
{
    SleepMs(timeoutMs < 10 ? timeoutMs : 10);
}

namespace {
constexpr SerialOpener kSystemOpener = &OpenSystemSerialDevice;
std::atomic<SerialOpener> gOpener{kSystemOpener};
} // namespace

OpenedDevice OpenSerialDevice(uint16_t portNumber, const std::string& where)
{
    return gOpener.load()(portNumber, where);
}

SerialOpener ReplaceSerialOpener(SerialOpener opener)
{
    return gOpener.exchange(opener ? opener : kSystemOpener);
}

} // namespace belvor::platform
