#include "support/test_line.h"

#include <cerrno>
#include <filesystem>
#include <pty.h>
#include <stdexcept>
#include <unistd.h>

namespace belvor::test {

namespace {

// A pty whose slave side is linked as <system dir>/comN, as a scanner's port would be.
class PtyLine final : public TestLine {
public:
    explicit PtyLine(uint16_t port) : FPort(port)
    {
        int slave = -1;
        char name[256] = {};
        if (openpty(&FMaster, &slave, name, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        close(slave); // the port object opens it by name
        FDevice = name;
        std::filesystem::create_directories(BELVOR_SYSTEM_DIR);
        FLink = std::filesystem::path(BELVOR_SYSTEM_DIR) / ("com" + std::to_string(port));
        std::filesystem::remove(FLink);
        std::filesystem::create_symlink(name, FLink);
    }
    ~PtyLine() override
    {
        std::error_code ignored;
        std::filesystem::remove(FLink, ignored);
        Hangup();
    }
    void Hangup() override
    {
        if (FMaster >= 0)
            close(FMaster);
        FMaster = -1;
    }
    std::string DevicePath() const override { return FDevice; }
    uint16_t Port() const override { return FPort; }
    void Write(const std::string& bytes) override
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
            if (n < 0)
                throw std::runtime_error("write to pty failed");
            done += static_cast<size_t>(n);
        }
    }
    bool RefusesSecondOpen() const override { return true; }

private:
    uint16_t FPort;
    int FMaster = -1;
    std::string FDevice;
    std::filesystem::path FLink;
};

} // namespace

std::unique_ptr<TestLine> MakeRealLine(uint16_t port)
{
    return std::make_unique<PtyLine>(port);
}

} // namespace belvor::test
