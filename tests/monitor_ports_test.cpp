// monitor --list: the line printed for each port.
#include "programs/monitor/ports.h"

#include <gtest/gtest.h>

TEST(MonitorPortsTest, LineNamesComsTargetWhatIsKnownAndUse)
{
    const ListedPort port{
        {3, 12}, "by-id", "/dev/serial/by-id/usb-Scanner", "/dev/ttyACM0", "UART 16550A", PortUse::InUse, {}};
    EXPECT_EQ(FormatPort(port),
              "COM3,COM12 by-id   /dev/serial/by-id/usb-Scanner -> /dev/ttyACM0  (UART 16550A)  IN USE");
}

TEST(MonitorPortsTest, LineWithoutComOrTargetSaysWhyItCannotOpen)
{
    const ListedPort port{{}, "ttyS", "/dev/ttyS4", {}, {}, PortUse::Unknown, "Permission denied"};
    EXPECT_EQ(FormatPort(port), "-       ttyS    /dev/ttyS4  cannot open: Permission denied");
    const ListedPort free{{7}, "opens", "COM7", {}, {}, PortUse::Free, {}};
    EXPECT_EQ(FormatPort(free), "COM7    opens   COM7  free");
    const ListedPort missing{{9}, "link", "/x/com9", {}, "leads nowhere: /dev/ttyUSB9", PortUse::Missing, {}};
    EXPECT_EQ(FormatPort(missing), "COM9    link    /x/com9  (leads nowhere: /dev/ttyUSB9)  missing");
}
