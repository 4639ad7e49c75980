#include "programs/bridge/log_file.h"

#include "logging/Logger.h"
#include "platform/errors.h"
#include "platform/files.h"

#include <utility>

namespace belvor::bridge {

LogFile::LogFile(std::string path, Fallback fallback) : path_(std::move(path)), fallback_(std::move(fallback))
{
}

void LogFile::Write(std::string_view text)
{
    const platform::FileSystem& fs = platform::Files();
    RotateLogFile(path_, kLogSizeLimit);
    platform::Result<platform::FileHandle> file = fs.OpenAppend(path_.c_str());
    if (!file && !fs.Exists(path_.c_str()))
        file = fs.Create(path_.c_str());
    platform::Result<> written = platform::Failure{file.Error()};
    if (file) {
        written = fs.Write(*file, text.data(), text.size());
        (void)fs.Close(*file);
    }
    if (written) {
        failing_ = false;
        return;
    }
    if (!failing_)
        fallback_("belvor-bridge: cannot write " + path_ + " (" + platform::SystemMessage(written.Error()) +
                      "): the messages go here until it can be written",
                  true);
    failing_ = true;
    std::string message(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
        message.pop_back();
    fallback_(message, false);
}

} // namespace belvor::bridge
