#include "platform/serial_device.h"
#include "platform/seams.h"
#include "platform/sync.h"

namespace belvor::platform {

void SerialDevice::WaitForNews(uint32_t timeoutMs)
{
    SleepMs(timeoutMs < 10 ? timeoutMs : 10);
}

OpenedDevice OpenSerialDevice(uint16_t portNumber, const std::string& where)
{
    const SerialOpener opener = CurrentSeams().Opener;
    return opener ? opener(portNumber, where) : OpenSystemSerialDevice(portNumber, where);
}

} // namespace belvor::platform
