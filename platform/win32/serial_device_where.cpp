// Windows names its ports itself (\\.\COMn): a path configured for one is not used.
#include "platform/serial_device.h"

namespace belvor::platform {

OpenedDevice OpenSystemSerialDevice(uint16_t portNumber, const std::string& /*where*/)
{
    return OpenSystemSerialDevice(portNumber);
}

} // namespace belvor::platform
