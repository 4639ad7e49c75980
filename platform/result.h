// How a call inside the library says it failed: it returns a Result, which
// holds either what the call gives or the system's code for why it could not
// (a Windows code on Windows, an errno value elsewhere). Nothing inside keeps
// a "last error" of its own; the exported functions alone turn a failure into
// -1 and the thread's last error, and the port raises its exceptions with the
// code a Result carried.
#pragma once

#include <cstdint>
#include <type_traits>
#include <utility>

namespace belvor::platform {

// A failure: the system's code for it.
struct Failure {
    uint32_t Code = 0;
};

// A call that gives nothing but success.
struct Done {};

template <class T = Done> class [[nodiscard]] Result {
public:
    Result() requires std::is_same_v<T, Done>
    = default;
    Result(T value) : FValue(std::move(value)) {}
    Result(Failure failure) : FFailed(true), FError(failure.Code) {}

    explicit operator bool() const { return !FFailed; }
    // The system's code; 0 on success (and on a failure the system gave no code for).
    uint32_t Error() const { return FError; }

    T& operator*() { return FValue; }
    const T& operator*() const { return FValue; }
    T* operator->() { return &FValue; }
    const T* operator->() const { return &FValue; }
    T ValueOr(T otherwise) const { return FFailed ? otherwise : FValue; }

private:
    T FValue{};
    bool FFailed = false;
    uint32_t FError = 0;
};

} // namespace belvor::platform
