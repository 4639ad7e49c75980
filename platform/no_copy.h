// A base for what holds a system object (an event, a lock, a thread, an open
// file): such a thing has one owner and is never copied.
#pragma once

namespace belvor::platform {

class NoCopy {
public:
    NoCopy(const NoCopy&) = delete;
    NoCopy& operator=(const NoCopy&) = delete;

protected:
    NoCopy() = default;
    ~NoCopy() = default;
};

} // namespace belvor::platform
