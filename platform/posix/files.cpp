#include "platform/files.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace belvor::platform {

namespace {

bool PosixSize(const char* path, uint64_t* size)
{
    struct stat info {};
    if (stat(path, &info) != 0)
        return false;
    *size = static_cast<uint64_t>(info.st_size);
    return true;
}

bool PosixExists(const char* path)
{
    struct stat info {};
    return stat(path, &info) == 0;
}

bool PosixRemove(const char* path)
{
    return unlink(path) == 0;
}

bool PosixRename(const char* from, const char* to)
{
    // Windows's rename never replaces its target; keep the rotation's outcome
    // the same here when a delete before it failed.
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // A file system without the flag: check first (the log writer is serialised).
    struct stat info {};
    if (lstat(to, &info) == 0 || errno != ENOENT)
        return false;
    return rename(from, to) == 0;
}

FileHandle Open(const char* path, int flags)
{
    int fd;
    do
        fd = open(path, flags | O_WRONLY | O_CLOEXEC, 0666);
    while (fd < 0 && errno == EINTR);
    return fd < 0 ? kNoFile : fd;
}

FileHandle PosixOpenAppend(const char* path)
{
    return Open(path, O_APPEND);
}

FileHandle PosixCreate(const char* path)
{
    return Open(path, O_CREAT | O_TRUNC);
}

bool PosixWrite(FileHandle file, const void* data, size_t count)
{
    const char* bytes = static_cast<const char*>(data);
    while (count > 0) {
        ssize_t done = write(static_cast<int>(file), bytes, count);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return false;
        bytes += done;
        count -= static_cast<size_t>(done);
    }
    return true;
}

bool PosixClose(FileHandle file)
{
    return close(static_cast<int>(file)) == 0;
}

constexpr FileSystem kSystem{PosixSize,       PosixExists, PosixRemove, PosixRename,
                             PosixOpenAppend, PosixCreate, PosixWrite,  PosixClose};

} // namespace

const FileSystem& SystemFileSystem()
{
    return kSystem;
}

} // namespace belvor::platform
