// How long reads on a Windows serial device take under Wine, on the null-modem
// pair COM7 <-> COM8 of tools/wine-run.sh: how soon a pending ReadFile ends
// after CancelIoEx, and how long one SerialDevice::Read call lasts on a quiet
// line and while bytes flow. The figures justify the read bounds in
// platform/win32/serial_reads.cpp against the 200 ms a stop gives the worker.
//
//   tools/wine-run.sh "$PWD/build/windows/wine" build/windows/bin/serial_read_bench.exe [tries]
#include "bench/win32_bench.h"
#include "platform/serial_device.h"

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace belvor;

namespace {

// A ReadFile left pending on the quiet line, then cancelled: the time from
// CancelIoEx to the end of the read.
void CancelTimes(int tries)
{
    const HANDLE h = CreateFileA("\\\\.\\COM7", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot open COM7");
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 20000};
    SetCommTimeouts(h, &timeouts);
    PurgeComm(h, PURGE_RXABORT | PURGE_RXCLEAR);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::vector<int64_t> us;
    int notPending = 0;
    int notEnded = 0;
    unsigned char buffer[256];
    for (int i = 0; i < tries; ++i) {
        ResetEvent(ov.hEvent);
        if (ReadFile(h, buffer, sizeof buffer, nullptr, &ov) || GetLastError() != ERROR_IO_PENDING) {
            ++notPending;
            continue;
        }
        Sleep(5); // as the device does: the read has been waited for a while
        const int64_t start = bench::NowUs();
        CancelIoEx(h, &ov);
        if (WaitForSingleObject(ov.hEvent, 2000) != WAIT_OBJECT_0) {
            ++notEnded; // keep the buffer: the read may still write into it
            break;
        }
        us.push_back(bench::NowUs() - start);
        DWORD got = 0;
        GetOverlappedResult(h, &ov, &got, FALSE);
    }
    char note[96];
    std::snprintf(note, sizeof note, "(%d did not go pending, %d did not end within 2 s)", notPending,
                  notEnded);
    bench::PrintTimes("CancelIoEx to the end of a pending read", us, note);
    if (notEnded == 0) {
        CloseHandle(ov.hEvent);
        CloseHandle(h);
    }
}

std::unique_ptr<platform::SerialDevice> OpenNear()
{
    platform::OpenedDevice device = platform::OpenSystemSerialDevice(7);
    if (!device)
        throw std::runtime_error("cannot open COM7, error " + std::to_string(device.Error()));
    (*device)->Arm({}); // what the port's worker sets
    (void)(*device)->DropInput();
    return std::move(*device);
}

void QuietReads(int tries)
{
    auto device = OpenNear();
    std::vector<int64_t> us;
    unsigned char buffer[256];
    for (int i = 0; i < tries; ++i) {
        const int64_t start = bench::NowUs();
        (void)device->Read(buffer, sizeof buffer);
        us.push_back(bench::NowUs() - start);
    }
    bench::PrintTimes("Read, quiet line", us);
}

// COM8 sends a 16-byte piece, about a code, every 4 ms while COM7 reads every
// millisecond: once only when Status reports bytes waiting (as the port's
// worker does), once blindly, so that reads also find the line quiet between
// pieces.
void FlowingReads(double seconds)
{
    auto device = OpenNear();
    const auto farEnd = bench::ScannerEnd();
    std::atomic<bool> stop{false};
    std::thread sender([&] {
        const std::string piece = "0123456789ABCDE\r";
        while (!stop) {
            (void)farEnd->Send(piece);
            Sleep(4);
        }
    });
    unsigned char buffer[1024];
    for (const bool blind : {false, true}) {
        std::vector<int64_t> us;
        uint64_t bytes = 0;
        int empty = 0;
        for (const int64_t end = bench::NowUs() + static_cast<int64_t>(seconds * 1e6);
             bench::NowUs() < end;) {
            if (!blind && device->Status().ValueOr({}).Waiting == 0) {
                Sleep(1);
                continue;
            }
            const int64_t start = bench::NowUs();
            const uint32_t n = device->Read(buffer, sizeof buffer).ValueOr(0);
            us.push_back(bench::NowUs() - start);
            bytes += n;
            empty += n == 0;
            Sleep(1);
        }
        char note[96];
        std::snprintf(note, sizeof note, "(%llu bytes, %d calls got none)",
                      static_cast<unsigned long long>(bytes), empty);
        bench::PrintTimes(blind ? "Read, bytes flowing, called blindly"
                                : "Read, bytes flowing, called when bytes wait",
                          us, note);
    }
    stop = true;
    sender.join();
}

} // namespace

int main(int argc, char** argv)
{
    const int tries = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
    try {
        CancelTimes(tries);
        QuietReads(tries);
        FlowingReads(3);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "serial_read_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
