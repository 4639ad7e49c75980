// The kernel32 calls a serial device makes, all through one table, so that a
// test can stand a scripted driver in for the system's: what Wine cannot show
// (a pulled adapter's codes, Windows' own order of a completion, a wait's
// bound a minute on) is still checked. A stand-in completes an operation as a
// driver does, by writing the record's status and count and then setting its
// event; it keeps the system's events, waits and GetOverlappedResult, and may
// step the clock (the bounds of the wait rule are on it) instead of sleeping.
#pragma once

#include <windows.h>

#include <cstdint>

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
    decltype(&::GetOverlappedResult) GetOverlappedResult;
    decltype(&::CreateEventA) CreateEvent;
    decltype(&::SetEvent) SetEvent;
    decltype(&::ResetEvent) ResetEvent;
    decltype(&::WaitForSingleObject) WaitForSingleObject;
    decltype(&::WaitForMultipleObjects) WaitForMultipleObjects;
    // The clock that stops while the system sleeps, in 100 ns units.
    decltype(&::QueryUnbiasedInterruptTime) QueryUnbiasedInterruptTime;
};

// The table in use: the system's unless a test replaced it.
const CommCalls& Comm();
// The system's own table.
const CommCalls& SystemComm();
// Comm()'s clock in milliseconds.
int64_t CommMilliseconds();

} // namespace belvor::platform
