#include "support/test_line.h"

#include <stdexcept>
#include <windows.h>

namespace belvor::test {

namespace {

// COM7 and COM8 are the two ends of a null-modem cable (the test runner makes
// them); the port object gets COM7, the test writes into COM8.
class NullModemLine final : public TestLine {
public:
    NullModemLine()
    {
        FPeer = CreateFileA("\\\\.\\COM8", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
        if (FPeer == INVALID_HANDLE_VALUE)
            throw std::runtime_error("cannot open COM8, the far end of the test line");
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        GetCommState(FPeer, &dcb);
        dcb.BaudRate = 9600;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fBinary = TRUE;
        SetCommState(FPeer, &dcb);
    }
    ~NullModemLine() override { CloseHandle(FPeer); }
    uint16_t Port() const override { return 7; }
    void Write(const std::string& bytes) override
    {
        DWORD written = 0;
        if (!WriteFile(FPeer, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
            written != bytes.size())
            throw std::runtime_error("write to COM8 failed");
    }
    bool RefusesSecondOpen() const override { return false; }

private:
    HANDLE FPeer = INVALID_HANDLE_VALUE;
};

} // namespace

std::unique_ptr<TestLine> MakeRealLine(uint16_t /*port*/)
{
    return std::make_unique<NullModemLine>();
}

} // namespace belvor::test
