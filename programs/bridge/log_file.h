// The service's own log: its messages appended to a file as they come, the
// file rotated by size as the library rotates its own log, and what the file
// cannot take handed to a fallback (on Windows the event log) with the reason.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace belvor::bridge {

class LogFile {
public:
    // Called with one message, or with why the file failed.
    using Fallback = std::function<void(const std::string& text, bool failure)>;

    LogFile(std::string path, Fallback fallback);

    // Appends text (whole lines), first moving a file past the limit into the
    // generations .0 to .9. Called from one thread at a time.
    void Write(std::string_view text);

private:
    std::string path_;
    Fallback fallback_;
    bool failing_ = false; // the fallback was told why, and the file has not taken a message since
};

} // namespace belvor::bridge
