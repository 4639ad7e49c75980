#include "support/fake_serial_device.h"
#include "support/test_line.h"

namespace belvor::test {

namespace {

class FakeTestLine final : public TestLine {
public:
    FakeTestLine() { FLine.LiveEvents = true; }
    uint16_t Port() const override { return 3; }
    void Write(const std::string& bytes) override { FLine.Feed(bytes); }
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
