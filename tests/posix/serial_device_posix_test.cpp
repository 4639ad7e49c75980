// What only the Linux serial device has: COMn links, flock-based exclusion,
// termios mappings, hung-up ptys, looks that are one poll.
#include "platform/serial_device.h"
#include "platform/sync.h"
#include "support/test_line.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

using namespace belvor::platform;
using namespace belvor::test;

namespace {

using Clock = std::chrono::steady_clock;

std::unique_ptr<SerialDevice> OpenPort(uint16_t port)
{
    auto device = OpenSystemSerialDevice(port);
    EXPECT_TRUE(device) << "COM" << port << ": " << std::strerror(static_cast<int>(device.Error()));
    return device ? std::move(*device) : nullptr;
}

uint32_t OpenError(uint16_t port)
{
    return OpenSystemSerialDevice(port).Error();
}

bool IsInUseError(uint32_t error)
{
    return error == EWOULDBLOCK || error == EBUSY;
}

uint32_t Waiting(SerialDevice& device)
{
    uint32_t waiting = 0;
    for (const auto end = Clock::now() + std::chrono::seconds(5); Clock::now() < end; SleepMs(5)) {
        waiting = device.Status().ValueOr({}).Waiting;
        if (waiting > 0)
            break;
    }
    return waiting;
}

// The slave's termios as another opener sees it (root passes TIOCEXCL and
// takes no lock, so this open does not compete with the device's).
bool PeekTermios(const std::string& path, termios& t)
{
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = tcgetattr(fd, &t) == 0;
    (void)close(fd);
    return ok;
}

TEST(PosixSerialDevice, ComNIsTheTtyItsLinkNames)
{
    auto near = MakeRealLine();
    auto other = MakeRealLine();
    auto device = OpenPort(near->PortNumber());
    ASSERT_NE(device, nullptr);

    ASSERT_TRUE(other->Send("wrong line"));
    ASSERT_TRUE(near->Send("right"));
    ASSERT_EQ(Waiting(*device), 5u);
    uint8_t buffer[32];
    ASSERT_EQ(device->Read(buffer, sizeof buffer).ValueOr(0), 5u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 5), "right");
}

TEST(PosixSerialDevice, AMissingPortFailsWithENOENT)
{
    // A link that leads nowhere: the port is configured but absent.
    const uint16_t dangling = FreshTestPort();
    ASSERT_EQ(symlink("/nonexistent/belvor-tty", PortLinkPath(dangling).c_str()), 0);
    EXPECT_EQ(OpenError(dangling), static_cast<uint32_t>(ENOENT));
    (void)unlink(PortLinkPath(dangling).c_str());

    EXPECT_EQ(OpenError(0), static_cast<uint32_t>(ENOENT)) << "there is no COM0";

    // No link: the port falls back to /dev/ttyS<n-1>.
    const uint16_t unlinked = FreshTestPort();
    const std::string fallback = "/dev/ttyS" + std::to_string(unlinked - 1);
    if (access(fallback.c_str(), F_OK) != 0) {
        EXPECT_EQ(OpenError(unlinked), static_cast<uint32_t>(ENOENT)) << fallback;
    }
}

TEST(PosixSerialDevice, SomethingThatIsNoTtyIsRefusedAndLeftFree)
{
    const uint16_t port = FreshTestPort();
    ASSERT_EQ(symlink("/dev/null", PortLinkPath(port).c_str()), 0);
    EXPECT_EQ(OpenError(port), static_cast<uint32_t>(ENOTTY));
    // Had the failed open kept its descriptor (and its lock), this would say
    // "in use" instead.
    EXPECT_EQ(OpenError(port), static_cast<uint32_t>(ENOTTY));
    (void)unlink(PortLinkPath(port).c_str());
}

TEST(PosixSerialDevice, OnlyOneOpenerAcrossProcesses)
{
    auto line = MakeRealLine();
    const uint16_t port = line->PortNumber();
    auto device = OpenPort(port);
    ASSERT_NE(device, nullptr);

    // The device's own slave path is refused too: the lock is on the tty.
    const uint16_t alias = FreshTestPort();
    ASSERT_EQ(symlink(line->DevicePath().c_str(), PortLinkPath(alias).c_str()), 0);
    EXPECT_TRUE(IsInUseError(OpenError(alias))) << OpenError(alias);
    (void)unlink(PortLinkPath(alias).c_str());

    const auto openInChild = [port] {
        const pid_t child = fork();
        if (child == 0)
            _exit(static_cast<int>(OpenError(port) & 0x7F));
        int status = 0;
        EXPECT_EQ(waitpid(child, &status, 0), child);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    EXPECT_TRUE(IsInUseError(static_cast<uint32_t>(openInChild()))) << "another process opened a port in use";

    device.reset();
    EXPECT_EQ(openInChild(), 0) << "closing the port must free it";

    // And the other way round: held by another process, refused here.
    int ready[2];
    int release[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(release), 0);
    const pid_t holder = fork();
    if (holder == 0) {
        (void)close(ready[0]);
        (void)close(release[1]);
        const OpenedDevice held = OpenSystemSerialDevice(port);
        const char ok = held ? 'y' : 'n';
        (void)!write(ready[1], &ok, 1);
        char ignored;
        (void)!read(release[0], &ignored, 1); // returns when the parent closes its end
        _exit(0);
    }
    (void)close(ready[1]);
    (void)close(release[0]);
    char ok = 0;
    ASSERT_EQ(read(ready[0], &ok, 1), 1);
    EXPECT_EQ(ok, 'y');
    EXPECT_TRUE(IsInUseError(OpenError(port)));
    (void)close(release[1]);
    int status = 0;
    EXPECT_EQ(waitpid(holder, &status, 0), holder);
    (void)close(ready[0]);
    EXPECT_NE(OpenPort(port), nullptr);
}

TEST(PosixSerialDevice, TheTtyIsRawAndTheSettingsReachTermiosFlowControlUntouched)
{
    auto line = MakeRealLine();
    auto device = OpenPort(line->PortNumber());
    ASSERT_NE(device, nullptr);

    termios t{};
    ASSERT_TRUE(PeekTermios(line->DevicePath(), t)) << std::strerror(errno);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | IXON | BRKINT | PARMRK), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);

    // Flow control set by someone else stays as it is.
    const int other = open(line->DevicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(other, 0);
    t.c_cflag |= CRTSCTS;
    t.c_iflag |= INPCK | IXOFF;
    ASSERT_EQ(tcsetattr(other, TCSANOW, &t), 0);
    (void)close(other);

    // Mark and space parity need CMSPAR (the pty itself drops PARENB: it
    // has no wire to put a parity bit on).
    for (const uint8_t parity : {uint8_t(3), uint8_t(4)}) {
        ASSERT_TRUE(device->Configure({9600, 8, parity, 2}));
        ASSERT_TRUE(PeekTermios(line->DevicePath(), t));
        EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR), tcflag_t(parity == 3 ? PARODD | CMSPAR : CMSPAR));
        EXPECT_EQ(t.c_cflag & CSTOPB, tcflag_t(CSTOPB));
        EXPECT_EQ(t.c_cflag & CRTSCTS, tcflag_t(CRTSCTS));
        EXPECT_EQ(t.c_iflag & (INPCK | IXOFF | IXON), tcflag_t(INPCK | IXOFF));
        const Result<LineConfig> got = device->Settings();
        ASSERT_TRUE(got);
        EXPECT_EQ(got->Parity, parity);
    }
}

TEST(PosixSerialDevice, APtyTakesRatesThatHaveNoBaudConstant)
{
    auto line = MakeRealLine();
    auto device = OpenPort(line->PortNumber());
    ASSERT_NE(device, nullptr);
    for (const uint32_t rate : {5760u, 250000u, 9600u, 31250u, 115200u}) {
        EXPECT_TRUE(device->Configure({.BaudRate = rate})) << rate;
        const Result<LineConfig> got = device->Settings();
        ASSERT_TRUE(got);
        EXPECT_EQ(got->BaudRate, rate);
    }
    termios t{};
    ASSERT_TRUE(PeekTermios(line->DevicePath(), t));
    EXPECT_EQ(cfgetospeed(&t), speed_t(B115200)) << "a standard rate goes in as its Bxxx constant";
}

TEST(PosixSerialDevice, WhatTermiosCannotDoIsRefusedAndChangesNothing)
{
    auto line = MakeRealLine();
    auto device = OpenPort(line->PortNumber());
    ASSERT_NE(device, nullptr);
    const LineConfig good{9600, 8, 0, 1};
    ASSERT_TRUE(device->Configure(good));

    const struct {
        LineConfig Asked;
        const char* What;
    } cases[] = {
        {{.StopBits = 0}, "stop bits 0"},
        {{.StopBits = 3}, "stop bits 3"},
        {{.BaudRate = 0}, "rate 0 (would hang the line up)"},
        {{.DataBits = 4}, "4 data bits"},
        {{.Parity = 5}, "parity 5"},
    };
    for (const auto& c : cases) {
        const Result<> set = device->Configure(c.Asked);
        EXPECT_FALSE(set) << c.What;
        EXPECT_EQ(set.Error(), static_cast<uint32_t>(EINVAL)) << c.What;
        const Result<LineConfig> now = device->Settings();
        ASSERT_TRUE(now);
        EXPECT_TRUE(now->BaudRate == good.BaudRate && now->StopBits == good.StopBits) << c.What;
    }
}

TEST(PosixSerialDevice, AHungUpLineIsLostNeitherBlocksNorSpins)
{
    auto line = MakeRealLine();
    auto device = OpenPort(line->PortNumber());
    ASSERT_NE(device, nullptr);
    device->Arm({});
    ASSERT_TRUE(line->Send("lost"));
    ASSERT_EQ(Waiting(*device), 4u);
    // Closing the master hangs the slave up; what it held is gone with it.
    line->HangUp();

    const auto start = Clock::now();
    uint8_t buffer[16];
    int reported = 0;
    int trouble = 0;
    uint32_t code = 0;
    for (int i = 0; i < 200; ++i) {
        const Result<LineSighting> look = device->Look();
        ASSERT_TRUE(look) << look.Error();
        if (look->News) {
            ++reported;
            trouble += look->News->LineTrouble ? 1 : 0;
            EXPECT_FALSE(look->News->BytesArrived);
        }
        EXPECT_TRUE(code == 0 || look->Lost == code) << "a loss, once told, stays";
        code = look->Lost;
        EXPECT_EQ(device->Read(buffer, sizeof buffer).ValueOr(0), 0u);
    }
    EXPECT_EQ(trouble, 1) << "the hang-up is one error, reported once";
    EXPECT_LE(reported, 1) << "a dead line must look quiet, or the worker never rests";
    EXPECT_EQ(code, uint32_t{EIO}) << "the look tells the loss";

    // The rest fails or reports nothing, but returns.
    EXPECT_EQ(device->Status().ValueOr({}).Waiting, 0u);
    (void)device->DropInput();
    (void)device->Settings();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
}

} // namespace
