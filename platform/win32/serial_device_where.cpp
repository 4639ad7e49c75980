// Windows names its ports itself (\\.\COMn): a path configured for one is not used.
#include "platform/serial_device.h"

namespace belvor::platform {

std::unique_ptr<SerialDevice> OpenSystemSerialDevice(uint16_t portNumber, const std::string& /*where*/,
                                                     uint32_t& nativeError)
{
    return OpenSystemSerialDevice(portNumber, nativeError);
}

} // namespace belvor::platform
