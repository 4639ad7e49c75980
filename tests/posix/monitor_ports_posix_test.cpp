// monitor --list on Linux: a made-up system directory, Belvor.ini and /dev
// with ptys standing in for the serial devices.
#include "programs/monitor/posix_ports.h"

#include "support/posix/pty.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/file.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

class MonitorPortsPosixTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* base = std::getenv("BELVOR_TEST_TMP");
        fs::create_directories(base ? base : "/tmp");
        std::string pattern = std::string(base ? base : "/tmp") + "/ports-XXXXXX";
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        Root = pattern;
        Places = {Root + "/system", Root + "/system/Belvor.ini", Root + "/dev"};
        fs::create_directories(Places.SystemDir);
        fs::create_directories(Places.DevDir + "/serial/by-id");
    }
    void TearDown() override { fs::remove_all(Root); }

    const ListedPort* Find(const PortListing& listing, const std::string& kind, const std::string& name)
    {
        for (const ListedPort& port : listing.Ports)
            if (port.Kind == kind && port.Name == name)
                return &port;
        return nullptr;
    }

    std::string Root;
    PortPlaces Places;
    // Held open here as well: devices that are there, whoever else opens them.
    belvor::test::Pty Usb{true}, Uart0{true}, Uart1{true}, Linked{true}, Elsewhere{true};
};

using Coms = std::vector<unsigned>;

TEST_F(MonitorPortsPosixTest, ListsEntriesLinksByIdAndDevicesWithTheComTheDriverReachesThemBy)
{
    const std::string dev = Places.DevDir;
    fs::create_symlink(Usb.SlavePath(), dev + "/ttyUSB0");
    fs::create_symlink(Uart0.SlavePath(), dev + "/ttyS0");
    fs::create_symlink(Uart1.SlavePath(), dev + "/ttyS1");
    fs::create_symlink("../../ttyUSB0", dev + "/serial/by-id/usb-Shop_Scanner-if00");
    // The key is case-insensitive; COM4 names a device that is not there.
    std::ofstream(Places.ConfigPath) << "[Ports]\ncom3=" << dev << "/ttyUSB0\nCOM4=" << dev << "/ttyUSB7\n";
    fs::create_symlink(Linked.SlavePath(), Places.SystemDir + "/com32");
    fs::create_symlink(Elsewhere.SlavePath(), Places.SystemDir + "/com2"); // takes COM2 from ttyS1
    fs::create_symlink(Elsewhere.SlavePath(), Places.SystemDir + "/com3"); // [Ports] COM3 wins
    fs::create_symlink(dev + "/ttyUSB9", Places.SystemDir + "/com9");
    for (const char* ignored : {"com0", "com256", "com07", "comX"})
        fs::create_symlink(Linked.SlavePath(), Places.SystemDir + "/" + ignored);

    const PortListing listing = ListPorts(Places);
    for (const ListedPort& port : listing.Ports)
        std::printf("%s\n", FormatPort(port).c_str());

    const ListedPort* entry = Find(listing, "[Ports]", dev + "/ttyUSB0");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->Coms, Coms{3});
    EXPECT_EQ(entry->Target, Usb.SlavePath());
    EXPECT_EQ(entry->Use, PortUse::Free);
    const ListedPort* absent = Find(listing, "[Ports]", dev + "/ttyUSB7");
    ASSERT_NE(absent, nullptr);
    EXPECT_EQ(absent->Coms, Coms{4});
    EXPECT_EQ(absent->Use, PortUse::Missing);

    const ListedPort* link = Find(listing, "link", Places.SystemDir + "/com32");
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(link->Coms, Coms{32});
    EXPECT_EQ(link->Target, Linked.SlavePath());
    const ListedPort* shadowed = Find(listing, "link", Places.SystemDir + "/com3");
    ASSERT_NE(shadowed, nullptr);
    EXPECT_NE(shadowed->About.find("[Ports] COM3 comes first"), std::string::npos) << shadowed->About;
    const ListedPort* dangling = Find(listing, "link", Places.SystemDir + "/com9");
    ASSERT_NE(dangling, nullptr);
    EXPECT_EQ(dangling->Use, PortUse::Missing);
    EXPECT_NE(dangling->About.find(dev + "/ttyUSB9"), std::string::npos) << dangling->About;
    for (const char* ignored : {"com0", "com256", "com07", "comX"})
        EXPECT_EQ(Find(listing, "link", Places.SystemDir + "/" + ignored), nullptr) << ignored;

    const ListedPort* byId = Find(listing, "by-id", dev + "/serial/by-id/usb-Shop_Scanner-if00");
    ASSERT_NE(byId, nullptr);
    EXPECT_EQ(byId->Target, Usb.SlavePath());
    EXPECT_EQ(byId->Coms, Coms{3});

    const ListedPort* usb = Find(listing, "ttyUSB", dev + "/ttyUSB0");
    ASSERT_NE(usb, nullptr);
    EXPECT_EQ(usb->Coms, Coms{3});
    // A pty says nothing of a UART: shown, and said so.
    const ListedPort* s0 = Find(listing, "ttyS", dev + "/ttyS0");
    ASSERT_NE(s0, nullptr);
    EXPECT_EQ(s0->Coms, Coms{1});
    EXPECT_NE(s0->About.find("cannot tell"), std::string::npos) << s0->About;
    const ListedPort* s1 = Find(listing, "ttyS", dev + "/ttyS1");
    ASSERT_NE(s1, nullptr);
    EXPECT_EQ(s1->Coms, Coms{}) << "COM2 is the link com2";
    ASSERT_FALSE(listing.Notes.empty());
    EXPECT_NE(listing.Notes.back().find("2 shown"), std::string::npos) << listing.Notes.back();
}

TEST_F(MonitorPortsPosixTest, APortHeldElsewhereIsInUseAndFreeOnceLetGo)
{
    fs::create_symlink(Linked.SlavePath(), Places.SystemDir + "/com32");
    std::string note;
    EXPECT_EQ(ProbePort(Linked.SlavePath(), note), PortUse::Free) << note;

    // Held as the driver holds a port: flock on a descriptor of its own.
    const int held = open(Linked.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(ProbePort(Linked.SlavePath(), note), PortUse::InUse) << note;
    const PortListing listing = ListPorts(Places); // Find points into it
    const ListedPort* link = Find(listing, "link", Places.SystemDir + "/com32");
    ASSERT_NE(link, nullptr);
    EXPECT_EQ(link->Use, PortUse::InUse);

    close(held);
    EXPECT_EQ(ProbePort(Linked.SlavePath(), note), PortUse::Free) << note;
    EXPECT_EQ(ProbePort(Places.DevDir + "/ttyUSB5", note), PortUse::Missing);
}

} // namespace
