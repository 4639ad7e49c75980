// Linux only: ports named in [Ports] of Belvor.ini, and a port that another
// program holds when the scanner comes back.
#include "driver/Testing.h"
#include "platform/sync.h"
#include "support/device_faults.h"
#include "support/driver_fixture.h"
#include "support/test_line.h"

#include <cerrno>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

using namespace belvor;
using namespace belvor::test;

namespace {

class NamedPorts : public DriverTest {
protected:
    NamedPorts() : DriverTest({.ReopenMs = 100}) {}
};

} // namespace

TEST_F(NamedPorts, AnEntryComesBeforeTheLinkAndAMissingPathIsAMissingPort)
{
    auto linked = MakeRealLine(); // COMn's link points elsewhere
    const std::string com = "COM" + std::to_string(linked->PortNumber());
    Pty named; // a pty of the test's own, not linked anywhere: a device named only by path
    WriteConfig("[Ports]\r\n" + com + "=" + named.SlavePath() + "\r\n");
    ASSERT_EQ(InitDriverImpl(linked->PortNumber(), &OnCode), 0);
    ASSERT_TRUE(linked->Send("1\r"));
    ASSERT_TRUE(named.Send("2\r"));
    ASSERT_TRUE(WaitCodes(1));
    EXPECT_EQ(gCodes.Codes(), std::vector<std::string>{"2"}) << "only the named device is the port";
    EXPECT_EQ(DestroyDriverImpl(), 0);

    WriteConfig("[Ports]\r\n" + com + "=/dev/serial/by-id/no-such-scanner\r\n");
    errno = 0;
    EXPECT_EQ(InitDriverImpl(linked->PortNumber(), &OnCode), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(DriverTable.DriverCount, 0);
}

TEST_F(NamedPorts, ScannerBackOnAPortHeldElsewhereIsTriedUntilFree)
{
    DeviceFaults opens; // counts the reopens, fails none
    auto line = MakeRealLine();
    const uint16_t port = line->PortNumber();
    ASSERT_EQ(InitDriverImpl(port, &OnCode), 0);
    ASSERT_TRUE(line->PullCable());
    const std::string lost = Lost(port) + "Input/output error";
    ASSERT_TRUE(Eventually([&] { return HasRecord(lost); }, 10000));

    // The scanner is back under another name, which another program holds.
    Pty back;
    const int holder = open(back.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
    opens.Arm(1000000, FaultScope::Setup, "Open");
    WriteConfig("[Ports]\r\nCOM" + std::to_string(port) + "=" + back.SlavePath() + "\r\n");
    ASSERT_TRUE(Eventually([&] { return opens.Counted() >= 3; }, 10000)) << "it keeps trying";
    EXPECT_FALSE(HasRecord(Back(port)));
    close(holder);
    ASSERT_TRUE(Eventually([&] { return HasRecord(Back(port)); }, 10000));
    ASSERT_TRUE(back.Send("42\r"));
    ASSERT_TRUE(WaitCodes(1));
    EXPECT_EQ(gCodes.Codes(), std::vector<std::string>{"42"});
    EXPECT_EQ(DestroyDriverImpl(), 0);
}
