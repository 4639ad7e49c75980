// A serial driver made of script behind kernel32's serial calls
// (the Comm seam): the Windows device under test talks to it as it
// would to usbser.sys, and each test sets how it behaves: as Microsoft's
// documentation promises, as Wine does, or as a pulled adapter does.
#pragma once

#include "platform/no_copy.h"
#include "platform/seams.h"
#include "platform/win32/comm_calls.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

namespace belvor::test {

class FakeComm : platform::NoCopy {
public:
    // Installed for every device opened while it lives; one at a time.
    FakeComm();
    ~FakeComm();

    // How its pending waits end.
    enum class WaitEnd {
        Windows, // with the events that happen, a mask change, or a cancel
        Lost,    // as Wine's can: the event set, the status left pending
        Never,   // never, whatever is done to them, a cancel included
    };
    WaitEnd Waits = WaitEnd::Windows;
    // A read with the worker's time-outs that finds nothing: false returns at
    // once with nothing (Windows), true holds it until bytes or a cancel (Wine).
    bool HoldEmptyReads = false;
    // Codes the calls fail with from now on (0: they succeed); a wait that is
    // pending ends with WaitEndError when it ends.
    DWORD WaitStartError = 0, WaitEndError = 0, ReadError = 0, StatusError = 0;
    // The flags the next ClearCommError reports (and clears).
    DWORD ErrorFlags = 0;

    // The scanner sends: queued, and EV_RXCHAR happens.
    void Send(const std::string& bytes);
    // Line events (EV_*) happen: a pending wait asking for them ends with them.
    void Raise(DWORD events);
    // The device's clock moves on by ms (it stands still otherwise).
    void AdvanceMs(int64_t ms) { FNowMs += ms; }
    // How often a call was made; the last timeouts and mask the device set.
    int Calls(const std::string& name);
    COMMTIMEOUTS LastTimeouts();
    DWORD Mask();

private:
    friend struct Calls;
    // Ends an operation as a driver does: status and count, then the event.
    static void Complete(OVERLAPPED* op, DWORD win32Error, DWORD count);
    void EndWait(DWORD events, DWORD error);
    void EndPendingWaitWithHistory();
    void FillRead();

    std::atomic<int64_t> FNowMs{1000};
    platform::CommCalls FTable; // what the seam points at while this lives
    platform::Seams FPrevious;
    std::mutex FLock;
    std::vector<std::string> FCalls;
    std::string FQueued;
    DWORD FMask = 0;
    DWORD FHistory = 0; // events no wait was pending for
    DCB FDcb{};
    COMMTIMEOUTS FTimeouts{};
    OVERLAPPED* FWait = nullptr;
    DWORD* FWaitMask = nullptr;
    OVERLAPPED* FRead = nullptr;
    uint8_t* FReadInto = nullptr;
    DWORD FReadSize = 0;
};

} // namespace belvor::test
