// monitor --list on Windows (run under Wine): the COM7 <-> COM8 pair that
// tools/wine-run.sh makes must be listed, and a port held open shown in use.
#include "programs/monitor/win32_ports.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace {

// COM1 is the machine's own serial port: the tests never open it.
constexpr unsigned kFirstOpened = 2;

const ListedPort* FindCom(const PortListing& listing, unsigned n)
{
    for (const ListedPort& port : listing.Ports)
        if (port.Coms == std::vector<unsigned>{n})
            return &port;
    return nullptr;
}

HANDLE OpenExclusive(const char* path)
{
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

TEST(MonitorPortsWin32Test, ListsTheNullModemPairOnceEachByNumber)
{
    const PortListing listing = ListSystemPorts(kFirstOpened);
    for (const ListedPort& port : listing.Ports)
        std::printf("%s\n", FormatPort(port).c_str());
    for (const unsigned n : {7u, 8u}) {
        const ListedPort* port = FindCom(listing, n);
        ASSERT_NE(port, nullptr) << "COM" << n;
        EXPECT_EQ(port->Name, "COM" + std::to_string(n));
        EXPECT_EQ(port->Use, PortUse::Free) << port->Note;
    }
    unsigned last = 0;
    for (const ListedPort& port : listing.Ports) {
        if (port.Coms.empty())
            continue;
        EXPECT_GT(port.Coms[0], last) << "listed twice or out of order";
        last = port.Coms[0];
    }
    EXPECT_EQ(FindCom(listing, 200), nullptr);
    std::string note;
    EXPECT_EQ(ProbePort("COM200", note), PortUse::Missing) << note;
}

TEST(MonitorPortsWin32Test, OpenErrorsSayInUseMissingOrUnknown)
{
    EXPECT_EQ(UseOfOpenError(ERROR_ACCESS_DENIED), PortUse::InUse);
    EXPECT_EQ(UseOfOpenError(ERROR_SHARING_VIOLATION), PortUse::InUse);
    EXPECT_EQ(UseOfOpenError(ERROR_FILE_NOT_FOUND), PortUse::Missing);
    EXPECT_EQ(UseOfOpenError(ERROR_PATH_NOT_FOUND), PortUse::Missing);
    EXPECT_EQ(UseOfOpenError(ERROR_GEN_FAILURE), PortUse::Unknown);
    std::string note;
    EXPECT_EQ(ProbePort("COM7\\nothing", note), PortUse::Missing) << note;
}

TEST(MonitorPortsWin32Test, APortHeldOpenIsInUse)
{
    HANDLE held = OpenExclusive("\\\\.\\COM8");
    ASSERT_NE(held, INVALID_HANDLE_VALUE) << GetLastError();
    // Wine 8 lets a second exclusive open of a tty through; where the system
    // does not refuse it, nothing can tell the port is held.
    HANDLE second = OpenExclusive("\\\\.\\COM8");
    if (second != INVALID_HANDLE_VALUE) {
        CloseHandle(second);
        CloseHandle(held);
        GTEST_SKIP() << "this system does not refuse a second exclusive open of a COM port";
    }
    std::string note;
    EXPECT_EQ(ProbePort("COM8", note), PortUse::InUse) << note;
    const ListedPort* port = FindCom(ListSystemPorts(kFirstOpened), 8);
    ASSERT_NE(port, nullptr);
    EXPECT_EQ(port->Use, PortUse::InUse);
    CloseHandle(held);
    EXPECT_EQ(ProbePort("COM8", note), PortUse::Free) << note;
}

} // namespace
