// The Windows real line: the null-modem pair COM7 <-> COM8 that
// tools/wine-run.sh makes for every test program. COM7 is the port under
// test; the test writes into COM8 with plain blocking calls.
#include "support/test_line.h"

#include <stdexcept>
#include <string>
#include <windows.h>

namespace belvor::test {

namespace {

constexpr uint16_t kNearPort = 7;
constexpr const char* kFarPort = "\\\\.\\COM8";
// How long tools/wine-run.sh may take to pull or plug the cable (it looks
// every 50 ms and waits up to 5 s for the ptys to appear).
constexpr DWORD kCableLimitMs = 10000;

bool RunningUnderWine()
{
    const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

class NullModemLine final : public TestLine {
public:
    NullModemLine() = default;
    ~NullModemLine() override
    {
        // Whatever a test did, the next one finds the cable in.
        if (FPulled)
            (void)PlugBackIn();
        CloseFar();
    }

    bool Make(std::string& why)
    {
        FFar = CreateFileA(kFarPort, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (FFar == INVALID_HANDLE_VALUE) {
            why = "COM8 cannot be opened, error " + std::to_string(GetLastError()) +
                  " (the COM7 <-> COM8 pair comes from tools/wine-run.sh)";
            return false;
        }
        // Plain 8N1 without flow control, so that every byte leaves as given.
        DCB dcb{};
        dcb.DCBlength = sizeof dcb;
        if (!GetCommState(FFar, &dcb)) {
            why = "GetCommState(COM8) error " + std::to_string(GetLastError());
            return false;
        }
        dcb.BaudRate = CBR_9600;
        dcb.ByteSize = 8;
        dcb.Parity = NOPARITY;
        dcb.StopBits = ONESTOPBIT;
        dcb.fBinary = TRUE;
        dcb.fParity = FALSE;
        dcb.fOutxCtsFlow = FALSE;
        dcb.fOutxDsrFlow = FALSE;
        dcb.fOutX = FALSE;
        dcb.fInX = FALSE;
        dcb.fNull = FALSE;
        if (!SetCommState(FFar, &dcb)) {
            why = "SetCommState(COM8) error " + std::to_string(GetLastError());
            return false;
        }
        COMMTIMEOUTS timeouts{};
        timeouts.WriteTotalTimeoutConstant = 5000;
        (void)SetCommTimeouts(FFar, &timeouts);
        return true;
    }

    uint16_t PortNumber() const override { return kNearPort; }
    bool Send(const std::string& bytes) override
    {
        DWORD written = 0;
        return WriteFile(FFar, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
               written == bytes.size();
    }
    bool PullCable() override
    {
        CloseFar();
        FPulled = true;
        return AskCable("down");
    }
    bool PlugBackIn() override
    {
        if (!AskCable("up"))
            return false;
        FPulled = false;
        std::string why;
        return Make(why);
    }
    bool RefusesSecondOpen() const override { return !FUnderWine; }
    bool ReadsBackAsSet() const override { return !FUnderWine; }
    uint32_t QuietWaitEnding() const override { return FUnderWine ? ERROR_OPERATION_ABORTED : 0; }

private:
    void CloseFar()
    {
        if (FFar != INVALID_HANDLE_VALUE)
            CloseHandle(FFar);
        FFar = INVALID_HANDLE_VALUE;
    }

    // Leaves a request for tools/wine-run.sh in the directory it named; true
    // once it has deleted the file, i.e. done what was asked.
    static bool AskCable(const char* request)
    {
        char dir[MAX_PATH] = {};
        const DWORD n = GetEnvironmentVariableA("BELVOR_CABLE_DIR", dir, sizeof dir);
        if (n == 0 || n >= sizeof dir)
            return false;
        const std::string path = std::string(dir) + "\\" + request;
        const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return false;
        CloseHandle(file);
        for (DWORD waited = 0; waited < kCableLimitMs; waited += 10) {
            if (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES)
                return true;
            Sleep(10);
        }
        return false;
    }

    HANDLE FFar = INVALID_HANDLE_VALUE;
    bool FPulled = false;
    const bool FUnderWine = RunningUnderWine();
};

} // namespace

std::unique_ptr<TestLine> MakeRealLine(uint16_t /*port*/)
{
    auto line = std::make_unique<NullModemLine>();
    std::string why;
    if (!line->Make(why))
        throw std::runtime_error(why);
    return line;
}

std::unique_ptr<TestLine> MakeRealLine()
{
    return MakeRealLine(kNearPort);
}

} // namespace belvor::test
