#include "support/posix/pty.h"

#include <cerrno>
#include <cstring>
#include <pty.h>
#include <stdexcept>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace belvor::test {

namespace {

std::runtime_error Failure(const std::string& what)
{
    return std::runtime_error(what + ": " + std::strerror(errno));
}

} // namespace

void MakeSystemDir()
{
    const std::string path = BELVOR_SYSTEM_DIR;
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        (void)mkdir(path.substr(0, slash).c_str(), 0755);
        if (slash == std::string::npos)
            break;
    }
}

std::string PortLinkPath(uint16_t portNumber)
{
    return std::string(BELVOR_SYSTEM_DIR) + "/com" + std::to_string(portNumber);
}

Pty::Pty(bool keepSlave)
{
    char name[256] = {};
    if (openpty(&FMaster, &FSlave, name, nullptr, nullptr) != 0)
        throw Failure("openpty");
    FSlavePath = name;
    termios t{};
    tcgetattr(FSlave, &t);
    cfmakeraw(&t);
    tcsetattr(FSlave, TCSANOW, &t);
    if (!keepSlave) {
        (void)close(FSlave);
        FSlave = -1;
    }
}

Pty::~Pty()
{
    HangUp();
    if (!FLink.empty())
        (void)unlink(FLink.c_str());
    if (FSlave >= 0)
        (void)close(FSlave);
}

void Pty::LinkAs(uint16_t port)
{
    MakeSystemDir();
    const std::string link = PortLinkPath(port);
    (void)unlink(link.c_str());
    if (symlink(FSlavePath.c_str(), link.c_str()) != 0)
        throw Failure("symlink " + link);
    FLink = link;
}

bool Pty::Send(const void* data, size_t size)
{
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = write(FMaster, bytes, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN) {
            usleep(1000);
            continue;
        }
        if (n <= 0)
            return false;
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void Pty::Write(const void* data, size_t size)
{
    if (!Send(data, size))
        throw Failure("write to pty");
}

void Pty::HangUp()
{
    if (FMaster >= 0)
        (void)close(FMaster);
    FMaster = -1;
}

} // namespace belvor::test
