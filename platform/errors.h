// The system's own error reporting: how the library tells a host why a call
// failed (GetLastError on Windows, errno elsewhere).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace belvor::platform {

enum class ErrorKind {
    InvalidArgument, // e.g. port number 0
    TooMany,         // every driver slot is taken
    WouldDeadlock,   // a call that would wait for the calling thread itself
    NoneLive,        // nothing there to act on
    Busy,            // already under way (a thread object that runs one)
    NoThread,        // a thread the system would not make
};
inline constexpr int kErrorKinds = 6;

// The system's code for a failure that has no system call behind it.
uint32_t SystemErrorCode(ErrorKind kind);

// Sets the calling thread's last-error value.
void SetLastSystemError(uint32_t code);

// The calling thread's last-error value (GetLastError / errno): what an
// exported function that returned -1 left there.
uint32_t LastSystemError();

// The system's own words for an error code, on one line (strerror on Linux,
// FormatMessage on Windows); "error <code>" when the system has none. The one
// place the system's error text is made: the log, the monitor and the bridge
// all tell it through these.
std::string SystemMessage(uint32_t code);

// The words and the code, for a person to read: "<words> (error <code>)", or
// "error <code>" alone when the system has no words. dropFullStop leaves out
// the full stop that ends the words (a note in the middle of a line).
std::string SystemMessageWithCode(uint32_t code, bool dropFullStop = false);

namespace detail {
// Each kind's code, in the kinds' order (the system's own file).
extern const uint32_t kErrorKindCodes[kErrorKinds];
// The system's words for the code on one line, none when it has none.
std::optional<std::string> SystemWords(uint32_t code);
} // namespace detail

} // namespace belvor::platform
