// What a test's callback does besides recording: set from the test's thread,
// run on the delivery threads.
#pragma once

#include <functional>
#include <mutex>

namespace belvor::test {

class CallbackHook {
public:
    using Fn = std::function<void(const unsigned char*)>;

    void Set(Fn fn)
    {
        std::lock_guard<std::mutex> guard(FMutex);
        FFn = std::move(fn);
    }
    // Runs a copy, outside the lock, so the hook may itself call into the library.
    void Call(const unsigned char* code)
    {
        Fn fn;
        {
            std::lock_guard<std::mutex> guard(FMutex);
            fn = FFn;
        }
        if (fn)
            fn(code);
    }

private:
    std::mutex FMutex;
    Fn FFn;
};

} // namespace belvor::test
