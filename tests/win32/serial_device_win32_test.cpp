// What only the Windows serial device has.
#include "platform/serial_device.h"

#include <gtest/gtest.h>
#include <windows.h>

using namespace belvor::platform;

namespace {

TEST(Win32SerialDevice, APortWithoutADeviceFailsWithTheSystemsError)
{
    // No COM49 exists under the test runner; COM0 never does.
    for (const uint16_t port : {uint16_t(49), uint16_t(0)}) {
        uint32_t error = 0;
        EXPECT_EQ(OpenSystemSerialDevice(port, error), nullptr) << "COM" << port;
        EXPECT_TRUE(error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            << "COM" << port << ": error " << error;
    }
}

} // namespace
