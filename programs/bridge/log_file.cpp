#include "programs/bridge/log_file.h"

#include "logging/Logger.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/sync.h"

#include <utility>

namespace belvor::bridge {

LogFile::LogFile(std::string path, Fallback fallback) : path_(std::move(path)), fallback_(std::move(fallback))
{
}

void LogFile::Write(std::string_view text)
{
    const platform::FileSystem& fs = platform::Files();
    RotateLogFile(path_, kLogSizeLimit);
    platform::FileHandle file = fs.OpenAppend(path_.c_str());
    if (file == platform::kNoFile && !fs.Exists(path_.c_str()))
        file = fs.Create(path_.c_str());
    bool written = false;
    uint32_t error = platform::LastSystemError();
    if (file != platform::kNoFile) {
        written = fs.Write(file, text.data(), text.size());
        error = platform::LastSystemError();
        fs.Close(file);
    }
    if (written) {
        failing_ = false;
        return;
    }
    if (!failing_)
        fallback_("belvor-bridge: cannot write " + path_ + " (" + platform::SystemMessage(error) +
                      "): the messages go here until it can be written",
                  true);
    failing_ = true;
    std::string message(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
        message.pop_back();
    fallback_(message, false);
}

} // namespace belvor::bridge
