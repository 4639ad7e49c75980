// The system's own error reporting: how the library tells a host why a call
// failed (GetLastError on Windows, errno elsewhere).
#pragma once

#include <cstdint>
#include <string>

namespace belvor::platform {

enum class ErrorKind {
    InvalidArgument, // e.g. port number 0
    TooMany,         // every driver slot is taken
    WouldDeadlock,   // a call that would wait for the calling thread itself
    NoneLive,        // nothing there to act on
};

// The system's code for a failure that has no system call behind it.
uint32_t SystemErrorCode(ErrorKind kind);

// Sets the calling thread's last-error value.
void SetLastSystemError(uint32_t code);

// The system's own words for an error code, on one line (strerror on Linux,
// FormatMessage on Windows); "error <code>" when the system has none.
std::string SystemMessage(uint32_t code);

} // namespace belvor::platform
