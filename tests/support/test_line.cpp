#include "support/test_line.h"
#include "support/fake_serial_device.h"

#include <stdexcept>

namespace belvor::test {

void TestLine::Write(const std::string& bytes)
{
    if (!Send(bytes))
        throw std::runtime_error("the far end of COM" + std::to_string(PortNumber()) +
                                 " took only part of the bytes");
}

namespace {

class FakeTestLine final : public TestLine {
public:
    FakeTestLine() { FLine.LiveEvents = true; }
    uint16_t PortNumber() const override { return 3; }
    bool Send(const std::string& bytes) override
    {
        FLine.Feed(bytes);
        return true;
    }
    bool RefusesSecondOpen() const override { return false; }

private:
    FakeLine FLine;
};

} // namespace

std::unique_ptr<TestLine> MakeFakeLine()
{
    return std::make_unique<FakeTestLine>();
}

} // namespace belvor::test
