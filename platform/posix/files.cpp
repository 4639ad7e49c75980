#include "platform/files.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace belvor::platform {

namespace {

Failure LastFailure()
{
    return Failure{static_cast<uint32_t>(errno)};
}

Result<uint64_t> PosixSize(const char* path)
{
    struct stat info {};
    if (stat(path, &info) != 0)
        return LastFailure();
    return static_cast<uint64_t>(info.st_size);
}

bool PosixExists(const char* path)
{
    struct stat info {};
    return stat(path, &info) == 0;
}

Result<> PosixRemove(const char* path)
{
    if (unlink(path) != 0)
        return LastFailure();
    return {};
}

Result<> PosixRename(const char* from, const char* to)
{
    // Windows's rename never replaces its target; keep the rotation's outcome
    // the same here when a delete before it failed.
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0)
        return {};
    if (errno != EINVAL && errno != ENOSYS)
        return LastFailure();
    // A file system without the flag: check first (the log writer is serialised).
    struct stat info {};
    if (lstat(to, &info) == 0)
        return Failure{EEXIST};
    if (errno != ENOENT)
        return LastFailure();
    if (rename(from, to) != 0)
        return LastFailure();
    return {};
}

Result<FileHandle> Open(const char* path, int flags)
{
    int fd;
    do
        fd = open(path, flags | O_WRONLY | O_CLOEXEC, 0666);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return LastFailure();
    return FileHandle{fd};
}

Result<FileHandle> PosixOpenAppend(const char* path)
{
    return Open(path, O_APPEND);
}

Result<FileHandle> PosixCreate(const char* path)
{
    return Open(path, O_CREAT | O_TRUNC);
}

Result<> PosixWrite(FileHandle file, const void* data, size_t count)
{
    const char* bytes = static_cast<const char*>(data);
    while (count > 0) {
        ssize_t done = write(static_cast<int>(file), bytes, count);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return LastFailure();
        bytes += done;
        count -= static_cast<size_t>(done);
    }
    return {};
}

Result<> PosixClose(FileHandle file)
{
    if (close(static_cast<int>(file)) != 0)
        return LastFailure();
    return {};
}

constexpr FileSystem kSystem{PosixSize,       PosixExists, PosixRemove, PosixRename,
                             PosixOpenAppend, PosixCreate, PosixWrite,  PosixClose};

} // namespace

const FileSystem& SystemFileSystem()
{
    return kSystem;
}

} // namespace belvor::platform
