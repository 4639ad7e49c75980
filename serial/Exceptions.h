// What the port object raises: one family under Exception, each carrying its
// message and the system's own error code, and the messages themselves.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <utility>

namespace belvor {

// The common base of the library's exceptions: a message, and beside it the
// system's own error code where the system gave one (0 otherwise).
class Exception : public std::exception {
public:
    explicit Exception(std::string message, uint32_t nativeError = 0)
        : FMessage(std::move(message)), FNativeError(nativeError)
    {
    }
    const char* what() const noexcept override { return FMessage.c_str(); }
    const std::string& Message() const noexcept { return FMessage; }
    uint32_t NativeError() const noexcept { return FNativeError; }

private:
    std::string FMessage;
    uint32_t FNativeError;
};

class ESerialIO : public Exception {
public:
    using Exception::Exception;
};
class EOpenPortFail : public ESerialIO {
public:
    using ESerialIO::ESerialIO;
};
class ENotSupported : public ESerialIO {
public:
    using ESerialIO::ESerialIO;
};
class EBufferIsEmpty : public ESerialIO {
public:
    using ESerialIO::ESerialIO;
};
class EPortNotOpen : public ESerialIO {
public:
    using ESerialIO::ESerialIO;
};

// The messages, Windows-1251 bytes; "%d" stands for the port number.
inline constexpr const char* kMsgOpenPortFail =
    "\xCD\xE5\xE2\xEE\xE7\xEC\xEE\xE6\xED\xEE \xEE\xF2\xEA\xF0\xFB\xF2\xFC COM%d";
inline constexpr const char* kMsgSetupNotSupported = "Setup parameter not supported for COM%d";
inline constexpr const char* kMsgParameterNotSupported = "Parameter not supported for COM%d";
inline constexpr const char* kMsgBufferIsEmpty = "Buffer is empty for port COM%d";
inline constexpr const char* kMsgPortNotOpen = "Port COM%d not open";

// Fills the one "%d" of a message with the port number.
std::string FormatPortMessage(const char* format, unsigned portNumber);

} // namespace belvor
