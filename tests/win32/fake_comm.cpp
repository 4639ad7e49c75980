#include "win32/fake_comm.h"

#include "platform/win32/comm_calls.h"
#include "platform/win32/serial_device_testing.h"

#include <algorithm>
#include <cstring>

namespace belvor::test {

namespace {

FakeComm* gFake = nullptr;

// A Win32 error as the status a driver leaves in the record: GetOverlappedResult
// turns it back into the error.
constexpr DWORD StatusOf(DWORD win32Error)
{
    return win32Error == 0 ? 0 : 0xC0070000u | win32Error;
}

constexpr DWORD kStatusPending = 0x103;

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

} // namespace

FakeComm::FakeComm()
{
    gFake = this;
    FDcb.DCBlength = sizeof(DCB);
    FDcb.BaudRate = 9600, FDcb.ByteSize = 8, FDcb.fBinary = 1;
    FDcb.fDtrControl = DTR_CONTROL_ENABLE, FDcb.fRtsControl = RTS_CONTROL_ENABLE;
    const platform::CommCalls calls{&CreateFile,     &SetupComm,       &GetCommState,  &SetCommState,
                                    &SetCommMask,    &SetCommTimeouts, &WaitCommEvent, &ReadFile,
                                    &ClearCommError, &PurgeComm,       &CancelIoEx};
    (void)platform::ReplaceCommCallsForTests(&calls);
}

FakeComm::~FakeComm()
{
    (void)platform::ReplaceCommCallsForTests(nullptr);
    gFake = nullptr;
}

void FakeComm::Count(const char* name)
{
    FCalls.emplace_back(name);
}

int FakeComm::Calls(const std::string& name)
{
    std::lock_guard<std::mutex> guard(FLock);
    return static_cast<int>(std::count(FCalls.begin(), FCalls.end(), name));
}

DCB FakeComm::LastDcb()
{
    std::lock_guard<std::mutex> guard(FLock);
    return FDcb;
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

void FakeComm::SetInitialDcb(const DCB& dcb)
{
    std::lock_guard<std::mutex> guard(FLock);
    FDcb = dcb;
}

void FakeComm::Complete(OVERLAPPED* op, DWORD win32Error, DWORD count)
{
    op->InternalHigh = count;
    op->Internal = StatusOf(win32Error);
    (void)SetEvent(op->hEvent);
}

void FakeComm::EndWait(DWORD events, DWORD error)
{
    if (!FWait)
        return;
    *FWaitMask = events;
    Complete(FWait, error, 0);
    FWait = nullptr;
}

void FakeComm::FillRead()
{
    if (!FRead || FQueued.empty())
        return;
    const DWORD n = std::min<DWORD>(FReadSize, static_cast<DWORD>(FQueued.size()));
    std::memcpy(FReadInto, FQueued.data(), n);
    FQueued.erase(0, n);
    Complete(FRead, 0, n);
    FRead = nullptr;
}

void FakeComm::Send(const std::string& bytes)
{
    std::lock_guard<std::mutex> guard(FLock);
    FQueued += bytes;
    FillRead();
    if (!FQueued.empty())
        FHistory |= EV_RXCHAR;
    if (FWait && (FMask & FHistory) && Waits == WaitEnd::Windows) {
        EndWait(FMask & FHistory, 0);
        FHistory = 0;
    }
}

void FakeComm::Raise(DWORD events)
{
    std::lock_guard<std::mutex> guard(FLock);
    FHistory |= events;
    if (FWait && (FMask & FHistory) && Waits == WaitEnd::Windows) {
        EndWait(FMask & FHistory, 0);
        FHistory = 0;
    }
}

HANDLE WINAPI FakeComm::CreateFile(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE)
{
    std::lock_guard<std::mutex> guard(gFake->FLock);
    gFake->Count("CreateFile");
    // A handle of the system's own, so that closing it is real.
    return CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

BOOL WINAPI FakeComm::SetupComm(HANDLE, DWORD, DWORD)
{
    std::lock_guard<std::mutex> guard(gFake->FLock);
    gFake->Count("SetupComm");
    return TRUE;
}

BOOL WINAPI FakeComm::GetCommState(HANDLE, LPDCB dcb)
{
    std::lock_guard<std::mutex> guard(gFake->FLock);
    gFake->Count("GetCommState");
    *dcb = gFake->FDcb;
    return TRUE;
}

BOOL WINAPI FakeComm::SetCommState(HANDLE, LPDCB dcb)
{
    std::lock_guard<std::mutex> guard(gFake->FLock);
    gFake->Count("SetCommState");
    gFake->FDcb = *dcb;
    return TRUE;
}

BOOL WINAPI FakeComm::SetCommMask(HANDLE, DWORD mask)
{
    std::lock_guard<std::mutex> guard(gFake->FLock);
    gFake->Count("SetCommMask");
    gFake->FMask = mask;
    // A wait pending ends at once with no events, as Microsoft documents.
    if (gFake->Waits == WaitEnd::Windows)
        gFake->EndWait(0, 0);
    return TRUE;
}

BOOL WINAPI FakeComm::SetCommTimeouts(HANDLE, LPCOMMTIMEOUTS timeouts)
{
    std::lock_guard<std::mutex> guard(gFake->FLock);
    gFake->Count("SetCommTimeouts");
    gFake->FTimeouts = *timeouts;
    return TRUE;
}

BOOL WINAPI FakeComm::WaitCommEvent(HANDLE, LPDWORD mask, LPOVERLAPPED op)
{
    FakeComm& self = *gFake;
    std::lock_guard<std::mutex> guard(self.FLock);
    self.Count("WaitCommEvent");
    if (self.WaitStartError != 0)
        return Fail(self.WaitStartError);
    if (self.FWait)
        return Fail(ERROR_INVALID_PARAMETER); // one at a time
    (void)ResetEvent(op->hEvent);
    // What happened since the last wait ends this one at once (Wine looks too).
    if ((self.FMask & self.FHistory) && self.Waits != WaitEnd::Never) {
        *mask = self.FMask & self.FHistory;
        self.FHistory = 0;
        return TRUE;
    }
    op->Internal = kStatusPending;
    if (self.WaitEndError != 0) {
        *mask = 0;
        Complete(op, self.WaitEndError, 0);
        return Fail(ERROR_IO_PENDING);
    }
    if (self.Waits == WaitEnd::Lost) {
        // Wine's helper wrote its end, and the start wrote "pending" over it.
        (void)SetEvent(op->hEvent);
        return Fail(ERROR_IO_PENDING);
    }
    self.FWait = op;
    self.FWaitMask = mask;
    return Fail(ERROR_IO_PENDING);
}

BOOL WINAPI FakeComm::ReadFile(HANDLE, LPVOID into, DWORD size, LPDWORD, LPOVERLAPPED op)
{
    FakeComm& self = *gFake;
    std::lock_guard<std::mutex> guard(self.FLock);
    self.Count("ReadFile");
    if (self.ReadError != 0)
        return Fail(self.ReadError);
    (void)ResetEvent(op->hEvent);
    op->Internal = kStatusPending;
    // Time-outs of all zeros hold a read until a byte comes.
    const bool blocking =
        self.FTimeouts.ReadIntervalTimeout == 0 && self.FTimeouts.ReadTotalTimeoutConstant == 0;
    if (self.FQueued.empty() && (blocking || self.HoldEmptyReads)) {
        self.FRead = op;
        self.FReadInto = static_cast<uint8_t*>(into);
        self.FReadSize = size;
        return Fail(ERROR_IO_PENDING);
    }
    const DWORD n = std::min<DWORD>(size, static_cast<DWORD>(self.FQueued.size()));
    std::memcpy(into, self.FQueued.data(), n);
    self.FQueued.erase(0, n);
    Complete(op, 0, n);
    return TRUE;
}

BOOL WINAPI FakeComm::ClearCommError(HANDLE, LPDWORD errors, LPCOMSTAT stat)
{
    FakeComm& self = *gFake;
    std::lock_guard<std::mutex> guard(self.FLock);
    self.Count("ClearCommError");
    if (self.StatusError != 0)
        return Fail(self.StatusError);
    *errors = std::exchange(self.ErrorFlags, 0);
    *stat = {};
    stat->cbInQue = static_cast<DWORD>(self.FQueued.size());
    return TRUE;
}

BOOL WINAPI FakeComm::PurgeComm(HANDLE, DWORD flags)
{
    FakeComm& self = *gFake;
    std::lock_guard<std::mutex> guard(self.FLock);
    self.Count("PurgeComm");
    if (flags & PURGE_RXCLEAR)
        self.FQueued.clear();
    if ((flags & PURGE_RXABORT) && self.FRead) {
        Complete(self.FRead, ERROR_OPERATION_ABORTED, 0);
        self.FRead = nullptr;
    }
    return TRUE;
}

BOOL WINAPI FakeComm::CancelIoEx(HANDLE, LPOVERLAPPED op)
{
    FakeComm& self = *gFake;
    std::lock_guard<std::mutex> guard(self.FLock);
    self.Count("CancelIoEx");
    if (op == self.FWait && self.Waits != WaitEnd::Never) {
        self.EndWait(0, ERROR_OPERATION_ABORTED);
        return TRUE;
    }
    if (op == self.FRead) {
        Complete(self.FRead, ERROR_OPERATION_ABORTED, 0);
        self.FRead = nullptr;
        return TRUE;
    }
    return Fail(ERROR_NOT_FOUND);
}

} // namespace belvor::test
