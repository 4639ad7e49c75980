#include "win32/fake_comm.h"

#include "platform/win32/comm_calls.h"
#include "platform/win32/serial_device_testing.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace belvor::test {

namespace {

FakeComm* gFake = nullptr;
constexpr DWORD kStatusPending = 0x103;

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

} // namespace

// kernel32's calls as the script has them; each takes the fake's lock and is counted.
struct Calls {
    struct Entered {
        std::unique_lock<std::mutex> Guard;
        FakeComm& Fake;
    };
    static Entered Enter(const char* name)
    {
        std::unique_lock<std::mutex> guard(gFake->FLock);
        gFake->FCalls.emplace_back(name);
        return {std::move(guard), *gFake};
    }

    static HANDLE WINAPI CreateFile(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)
    {
        (void)Enter("CreateFile");
        return CreateEventA(nullptr, TRUE, FALSE, nullptr); // a handle of the system's: closing it is real
    }
    static BOOL WINAPI SetupComm(HANDLE, DWORD, DWORD) { return (void)Enter("SetupComm"), TRUE; }
    static BOOL WINAPI GetCommState(HANDLE, LPDCB dcb)
    {
        return *dcb = Enter("GetCommState").Fake.FDcb, TRUE;
    }
    static BOOL WINAPI SetCommState(HANDLE, LPDCB dcb)
    {
        return Enter("SetCommState").Fake.FDcb = *dcb, TRUE;
    }
    static BOOL WINAPI SetCommTimeouts(HANDLE, LPCOMMTIMEOUTS t)
    {
        return Enter("SetCommTimeouts").Fake.FTimeouts = *t, TRUE;
    }
    static BOOL WINAPI SetCommMask(HANDLE, DWORD mask)
    {
        auto [guard, self] = Enter("SetCommMask");
        self.FMask = mask;
        self.FHistory = 0; // a new mask starts a new history, as the serial sample driver has it
        if (self.Waits == FakeComm::WaitEnd::Windows)
            self.EndWait(0, 0); // a pending wait ends at once with no events, as Microsoft documents
        return TRUE;
    }
    static BOOL WINAPI WaitCommEvent(HANDLE, LPDWORD mask, LPOVERLAPPED op)
    {
        auto [guard, self] = Enter("WaitCommEvent");
        if (self.WaitStartError != 0)
            return Fail(self.WaitStartError);
        if (self.FWait)
            return Fail(ERROR_INVALID_PARAMETER); // one at a time
        (void)ResetEvent(op->hEvent);
        // What happened since the last wait ends this one at once (Wine looks too).
        if ((self.FMask & self.FHistory) && self.Waits != FakeComm::WaitEnd::Never) {
            *mask = self.FMask & std::exchange(self.FHistory, 0);
            return TRUE;
        }
        op->Internal = kStatusPending;
        if (self.WaitEndError != 0) {
            *mask = 0;
            FakeComm::Complete(op, self.WaitEndError, 0);
        } else if (self.Waits == FakeComm::WaitEnd::Lost) {
            (void)SetEvent(op->hEvent); // Wine's helper wrote its end; the start wrote "pending" over it
        } else {
            self.FWait = op;
            self.FWaitMask = mask;
        }
        return Fail(ERROR_IO_PENDING);
    }
    static BOOL WINAPI ReadFile(HANDLE, LPVOID into, DWORD size, LPDWORD, LPOVERLAPPED op)
    {
        auto [guard, self] = Enter("ReadFile");
        if (self.ReadError != 0)
            return Fail(self.ReadError);
        (void)ResetEvent(op->hEvent);
        op->Internal = kStatusPending;
        self.FRead = op;
        self.FReadInto = static_cast<uint8_t*>(into);
        self.FReadSize = size;
        // Time-outs of all zeros hold a read until a byte comes.
        const bool blocking =
            self.FTimeouts.ReadIntervalTimeout == 0 && self.FTimeouts.ReadTotalTimeoutConstant == 0;
        if (self.FQueued.empty() && (blocking || self.HoldEmptyReads))
            return Fail(ERROR_IO_PENDING);
        if (self.FQueued.empty())
            FakeComm::Complete(std::exchange(self.FRead, nullptr), 0, 0);
        self.FillRead();
        return TRUE;
    }
    static BOOL WINAPI ClearCommError(HANDLE, LPDWORD errors, LPCOMSTAT stat)
    {
        auto [guard, self] = Enter("ClearCommError");
        if (self.StatusError != 0)
            return Fail(self.StatusError);
        *errors = std::exchange(self.ErrorFlags, 0);
        *stat = {};
        stat->cbInQue = static_cast<DWORD>(self.FQueued.size());
        return TRUE;
    }
    static BOOL WINAPI PurgeComm(HANDLE, DWORD flags)
    {
        auto [guard, self] = Enter("PurgeComm");
        if (flags & PURGE_RXCLEAR)
            self.FQueued.clear();
        if ((flags & PURGE_RXABORT) && self.FRead)
            FakeComm::Complete(std::exchange(self.FRead, nullptr), ERROR_OPERATION_ABORTED, 0);
        return TRUE;
    }
    static BOOL WINAPI Clock(PULONGLONG awake)
    {
        *awake = static_cast<ULONGLONG>(gFake->FNowMs.load()) * 10000;
        return TRUE;
    }
    static BOOL WINAPI CancelIoEx(HANDLE, LPOVERLAPPED op)
    {
        auto [guard, self] = Enter("CancelIoEx");
        if (op == self.FWait && self.Waits != FakeComm::WaitEnd::Never)
            return self.EndWait(0, ERROR_OPERATION_ABORTED), TRUE;
        if (op == self.FRead && op)
            return FakeComm::Complete(std::exchange(self.FRead, nullptr), ERROR_OPERATION_ABORTED, 0), TRUE;
        return Fail(ERROR_NOT_FOUND);
    }
};

FakeComm::FakeComm()
{
    gFake = this;
    FDcb.DCBlength = sizeof(DCB);
    FDcb.BaudRate = 9600, FDcb.ByteSize = 8, FDcb.fBinary = 1;
    FTable = platform::SystemComm(); // its events and waits
    FTable.CreateFile = &Calls::CreateFile;
    FTable.SetupComm = &Calls::SetupComm;
    FTable.GetCommState = &Calls::GetCommState;
    FTable.SetCommState = &Calls::SetCommState;
    FTable.SetCommMask = &Calls::SetCommMask;
    FTable.SetCommTimeouts = &Calls::SetCommTimeouts;
    FTable.WaitCommEvent = &Calls::WaitCommEvent;
    FTable.ReadFile = &Calls::ReadFile;
    FTable.ClearCommError = &Calls::ClearCommError;
    FTable.PurgeComm = &Calls::PurgeComm;
    FTable.CancelIoEx = &Calls::CancelIoEx;
    FTable.QueryUnbiasedInterruptTime = &Calls::Clock;
    FPrevious = platform::SetSeam(&platform::Seams::Comm, &FTable);
}

FakeComm::~FakeComm()
{
    platform::SetSeams(FPrevious);
    gFake = nullptr;
}

int FakeComm::Calls(const std::string& name)
{
    std::lock_guard<std::mutex> guard(FLock);
    return static_cast<int>(std::count(FCalls.begin(), FCalls.end(), name));
}

COMMTIMEOUTS FakeComm::LastTimeouts()
{
    std::lock_guard<std::mutex> guard(FLock);
    return FTimeouts;
}

DWORD FakeComm::Mask()
{
    std::lock_guard<std::mutex> guard(FLock);
    return FMask;
}

void FakeComm::Complete(OVERLAPPED* op, DWORD win32Error, DWORD count)
{
    // A Win32 error as a driver's status (FACILITY_NTWIN32): GetOverlappedResult turns it back.
    op->InternalHigh = count;
    op->Internal = win32Error == 0 ? 0 : 0xC0070000u | win32Error;
    (void)SetEvent(op->hEvent);
}

void FakeComm::EndWait(DWORD events, DWORD error)
{
    if (!FWait)
        return;
    *FWaitMask = events;
    Complete(std::exchange(FWait, nullptr), error, 0);
}

void FakeComm::EndPendingWaitWithHistory()
{
    if (FWait && (FMask & FHistory) && Waits == WaitEnd::Windows)
        EndWait(FMask & std::exchange(FHistory, 0), 0);
}

void FakeComm::FillRead()
{
    if (!FRead || FQueued.empty())
        return;
    const DWORD n = std::min<DWORD>(FReadSize, static_cast<DWORD>(FQueued.size()));
    std::memcpy(FReadInto, FQueued.data(), n);
    FQueued.erase(0, n);
    Complete(std::exchange(FRead, nullptr), 0, n);
}

void FakeComm::Send(const std::string& bytes)
{
    std::lock_guard<std::mutex> guard(FLock);
    FQueued += bytes;
    FillRead();
    if (!FQueued.empty())
        FHistory |= EV_RXCHAR;
    EndPendingWaitWithHistory();
}

void FakeComm::Raise(DWORD events)
{
    std::lock_guard<std::mutex> guard(FLock);
    FHistory |= events;
    EndPendingWaitWithHistory();
}

} // namespace belvor::test
