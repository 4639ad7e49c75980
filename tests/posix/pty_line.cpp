// The Linux real line: a pty whose slave is linked as <system dir>/comN.
#include "support/test_line.h"

#include "support/posix/pty.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
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

class PtyLine final : public TestLine {
public:
    // Makes the pty and links it as COM<port>; false with the reason in `why`.
    // Called again, it makes a new pty under the same name.
    bool Make(uint16_t port, std::string& why)
    {
        FPty.reset();
        try {
            // The device under test opens the slave itself; keeping it open here
            // would make a second opener of the line.
            auto pty = std::make_unique<Pty>();
            pty->LinkAs(port);
            FPty = std::move(pty);
        } catch (const std::exception& e) {
            why = e.what();
            return false;
        }
        FPort = port;
        return true;
    }

    uint16_t PortNumber() const override { return FPort; }
    bool Send(const std::string& bytes) override { return FPty && FPty->Send(bytes); }
    // Closing the master hangs the slave up for good.
    void HangUp() override
    {
        if (FPty)
            FPty->HangUp();
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
    std::string DevicePath() const override { return FPty ? FPty->SlavePath() : std::string(); }
    bool RefusesSecondOpen() const override { return true; }

private:
    std::unique_ptr<Pty> FPty;
    uint16_t FPort = 0;
};

} // namespace

uint16_t FreshTestPort()
{
    static std::mutex mutex;
    static uint16_t next = kFirstTestPort;
    std::lock_guard<std::mutex> guard(mutex);
    MakeSystemDir();
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
