// The Linux real line: a pty whose slave is linked as <system dir>/comN.
#include "support/test_line.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <pty.h>
#include <stdexcept>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace belvor::test {

namespace {

// The range of MakeRealLine() without a port; test programs that name their
// own ports keep clear of it. Test programs run side by side, so each port of
// it is claimed with a lock that its program holds until it ends.
constexpr uint16_t kFirstTestPort = 40;
constexpr uint16_t kLastTestPort = 249;

void MakeDirectories(const std::string& path)
{
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        (void)mkdir(path.substr(0, slash).c_str(), 0755);
        if (slash == std::string::npos)
            break;
    }
}

class PtyLine final : public TestLine {
public:
    PtyLine() = default;
    ~PtyLine() override
    {
        HangUp();
        if (!FLink.empty())
            (void)unlink(FLink.c_str());
    }

    // Makes the pty and links it as COM<port>; false with the reason in `why`.
    // Called again, it makes a new pty under the same name.
    bool Make(uint16_t port, std::string& why)
    {
        HangUp();
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
        FPort = port;
        MakeDirectories(BELVOR_SYSTEM_DIR);
        const std::string link = PortLinkPath(port);
        (void)unlink(link.c_str());
        if (symlink(FSlavePath.c_str(), link.c_str()) != 0) {
            why = "symlink " + link + ": " + std::strerror(errno);
            return false;
        }
        FLink = link;
        return true;
    }

    uint16_t PortNumber() const override { return FPort; }
    bool Send(const std::string& bytes) override
    {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = write(FMaster, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN) {
                usleep(1000);
                continue;
            }
            if (n <= 0)
                return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
    // Closing the master hangs the slave up for good.
    void HangUp() override
    {
        if (FMaster >= 0)
            (void)close(FMaster);
        FMaster = -1;
    }
    bool PullCable() override
    {
        HangUp();
        return true;
    }
    // A new pty, and the link pointed at it, as udev points a by-id link at
    // whatever ttyUSB number the scanner gets back.
    bool PlugBackIn() override
    {
        std::string why;
        return Make(FPort, why);
    }
    std::string DevicePath() const override { return FSlavePath; }
    bool RefusesSecondOpen() const override { return true; }

private:
    int FMaster = -1;
    uint16_t FPort = 0;
    std::string FLink;
    std::string FSlavePath;
};

} // namespace

std::string PortLinkPath(uint16_t portNumber)
{
    return std::string(BELVOR_SYSTEM_DIR) + "/com" + std::to_string(portNumber);
}

uint16_t FreshTestPort()
{
    static std::mutex mutex;
    static uint16_t next = kFirstTestPort;
    std::lock_guard<std::mutex> guard(mutex);
    MakeDirectories(BELVOR_SYSTEM_DIR);
    for (; next <= kLastTestPort; ++next) {
        const uint16_t port = next;
        const int lock = open((PortLinkPath(port) + ".lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
        if (lock < 0)
            continue;
        if (flock(lock, LOCK_EX | LOCK_NB) != 0) {
            (void)close(lock); // another test program's
            continue;
        }
        ++next; // the lock stays held, and the port this program's, until it ends
        (void)unlink(PortLinkPath(port).c_str());
        return port;
    }
    throw std::runtime_error("no free test port left");
}

std::unique_ptr<TestLine> MakeRealLine(uint16_t port)
{
    auto line = std::make_unique<PtyLine>();
    std::string why;
    if (!line->Make(port, why))
        throw std::runtime_error("no pty line on COM" + std::to_string(port) + ": " + why);
    return line;
}

std::unique_ptr<TestLine> MakeRealLine()
{
    return MakeRealLine(FreshTestPort());
}

} // namespace belvor::test
