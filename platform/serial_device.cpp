#include "platform/serial_device.h"
#include "platform/sync.h"

#include <atomic>

namespace belvor::platform {

void SerialDevice::WaitForNews(uint32_t timeoutMs)
{
    SleepMs(timeoutMs < 10 ? timeoutMs : 10);
}

namespace {
std::atomic<SerialOpener> gOpener{&OpenSystemSerialDevice};
}

std::unique_ptr<SerialDevice> OpenSerialDevice(uint16_t portNumber, uint32_t& nativeError)
{
    return gOpener.load()(portNumber, nativeError);
}

SerialOpener ReplaceSerialOpener(SerialOpener opener)
{
    return gOpener.exchange(opener ? opener : &OpenSystemSerialDevice);
}

} // namespace belvor::platform
