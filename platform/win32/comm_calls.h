// The kernel32 calls a serial device makes on its handle, all through one
// table, so that a test can stand a scripted driver in for the system's: what
// Wine cannot show (a pulled adapter's codes, Windows' own order of a
// completion) is still checked. Events, waits on them and GetOverlappedResult
// stay the system's: a stand-in completes an operation as a driver does, by
// writing the record's status and count and then setting its event.
#pragma once

#include <windows.h>

namespace belvor::platform {

struct CommCalls {
    decltype(&::CreateFileA) CreateFile;
    decltype(&::SetupComm) SetupComm;
    decltype(&::GetCommState) GetCommState;
    decltype(&::SetCommState) SetCommState;
    decltype(&::SetCommMask) SetCommMask;
    decltype(&::SetCommTimeouts) SetCommTimeouts;
    decltype(&::WaitCommEvent) WaitCommEvent;
    decltype(&::ReadFile) ReadFile;
    decltype(&::ClearCommError) ClearCommError;
    decltype(&::PurgeComm) PurgeComm;
    decltype(&::CancelIoEx) CancelIoEx;
};

// The table in use: the system's unless a test replaced it.
const CommCalls& Comm();

} // namespace belvor::platform
