#include "platform/posix/tty_file.h"

#include "platform/posix/port_path.h"
#include "platform/posix/termios_settings.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace belvor::platform {

namespace {

std::string DevicePath(uint16_t portNumber, const std::string& where)
{
    return PortDevicePath(portNumber, where, BELVOR_SYSTEM_DIR);
}

bool IsPtySlave(int fd)
{
    struct stat info {};
    if (fstat(fd, &info) != 0)
        return false;
    const unsigned group = major(info.st_rdev);
    return group == 3 || (group >= 136 && group <= 143); // BSD-style and Unix98 slaves
}

} // namespace

Result<std::unique_ptr<TtyFile>> TtyFile::Open(uint16_t portNumber, const std::string& where, termios2& raw)
{
    auto file = std::make_unique<TtyFile>();
    if (const Result<> taken = file->Take(DevicePath(portNumber, where), raw); !taken)
        return Failure{taken.Error()}; // its destructor has released what it took
    return file;
}

Result<> TtyFile::Take(const std::string& path, termios2& raw)
{
    const auto failed = [] { return Failure{static_cast<uint32_t>(errno)}; };
    if (path.empty())
        return Failure{ENOENT};
    FFd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (FFd < 0)
        return failed();
    FWakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (FWakeFd < 0)
        return failed();
    // TIOCEXCL alone does not stop root, and a second open in this process
    // would pass it too; the lock on the inode stops both.
    if (flock(FFd, LOCK_EX | LOCK_NB) != 0)
        return failed();
    if (ioctl(FFd, TIOCEXCL) != 0)
        return failed();
    FExclusive = true;

    raw = termios2{};
    if (ioctl(FFd, TCGETS2, &raw) != 0)
        return failed();
    FIsPty = IsPtySlave(FFd);
    MakeRaw(raw);
    if (ioctl(FFd, TCSETS2, &raw) != 0)
        return failed();
    return {};
}

TtyFile::~TtyFile()
{
    if (FWakeFd >= 0)
        (void)close(FWakeFd);
    if (FFd < 0)
        return;
    // A pty keeps its exclusive flag while its other side lives: clear it, or
    // the next opener is refused. The lock goes with the descriptor.
    if (FExclusive)
        (void)ioctl(FFd, TIOCNXCL);
    (void)close(FFd);
}

void TtyFile::SetModemLine(int line, bool up) const
{
    (void)ioctl(FFd, up ? TIOCMBIS : TIOCMBIC, &line);
}

} // namespace belvor::platform
