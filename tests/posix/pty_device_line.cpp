#include "posix/pty_device_line.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <sys/stat.h>
#include <unistd.h>

namespace belvor::test {

namespace {

void MakeDirectories(const std::string& path)
{
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        (void)mkdir(path.substr(0, slash).c_str(), 0755);
        if (slash == std::string::npos)
            break;
    }
}

} // namespace

std::string PortLinkPath(uint16_t portNumber)
{
    return std::string(BELVOR_SYSTEM_DIR) + "/com" + std::to_string(portNumber);
}

uint16_t FreshTestPort()
{
    static uint16_t next = kFirstTestPort;
    const uint16_t port = next;
    next = next == kLastTestPort ? kFirstTestPort : static_cast<uint16_t>(next + 1);
    MakeDirectories(BELVOR_SYSTEM_DIR);
    (void)unlink(PortLinkPath(port).c_str());
    return port;
}

PtyDeviceLine::~PtyDeviceLine()
{
    HangUp();
    if (!FLink.empty())
        (void)unlink(FLink.c_str());
}

bool PtyDeviceLine::Make(std::string& why)
{
    int slave = -1;
    char name[256] = {};
    if (openpty(&FMaster, &slave, name, nullptr, nullptr) != 0) {
        why = std::string("openpty: ") + std::strerror(errno);
        return false;
    }
    // The device under test opens the slave itself; keeping this descriptor
    // would make a second opener of the line.
    (void)close(slave);
    FSlavePath = name;
    FPort = FreshTestPort();
    FLink = PortLinkPath(FPort);
    if (symlink(FSlavePath.c_str(), FLink.c_str()) != 0) {
        why = "symlink " + FLink + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool PtyDeviceLine::Send(const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(FMaster, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void PtyDeviceLine::HangUp()
{
    if (FMaster >= 0)
        (void)close(FMaster);
    FMaster = -1;
}

std::unique_ptr<DeviceLine> MakeDeviceLine()
{
    auto line = std::make_unique<PtyDeviceLine>();
    std::string why;
    if (!line->Make(why)) {
        ADD_FAILURE() << "no pty line: " << why;
        return nullptr;
    }
    return line;
}

bool SecondOpenRefused(std::string& /*why*/)
{
    return true;
}

} // namespace belvor::test
