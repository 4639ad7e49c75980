#include "platform/files.h"

#include "platform/win32/handles.h"

#include <windows.h>

namespace belvor::platform {

namespace {

HANDLE ToHandle(FileHandle file)
{
    return reinterpret_cast<HANDLE>(file);
}

Failure LastFailure()
{
    return Failure{GetLastError()};
}

Result<uint64_t> Win32Size(const char* path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data))
        return LastFailure();
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool Win32Exists(const char* path)
{
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

Result<> Win32Remove(const char* path)
{
    if (!DeleteFileA(path))
        return LastFailure();
    return {};
}

Result<> Win32Rename(const char* from, const char* to)
{
    if (!MoveFileA(from, to))
        return LastFailure();
    return {};
}

Result<FileHandle> Open(const char* path, DWORD access, DWORD disposition)
{
    // Others may read the log, and another host in the same folder may log too.
    HANDLE file = TrackHandle(CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file == INVALID_HANDLE_VALUE)
        return LastFailure();
    return reinterpret_cast<FileHandle>(file);
}

Result<FileHandle> Win32OpenAppend(const char* path)
{
    // Append-only access: every write lands at the current end of the file.
    return Open(path, FILE_APPEND_DATA, OPEN_EXISTING);
}

Result<FileHandle> Win32Create(const char* path)
{
    return Open(path, GENERIC_WRITE, CREATE_ALWAYS);
}

Result<> Win32Write(FileHandle file, const void* data, size_t count)
{
    const char* bytes = static_cast<const char*>(data);
    while (count > 0) {
        DWORD chunk = count > 0x10000000u ? 0x10000000u : static_cast<DWORD>(count);
        DWORD done = 0;
        if (!WriteFile(ToHandle(file), bytes, chunk, &done, nullptr) || done == 0)
            return LastFailure();
        bytes += done;
        count -= done;
    }
    return {};
}

Result<> Win32Close(FileHandle file)
{
    if (!CloseTrackedHandle(ToHandle(file)))
        return LastFailure();
    return {};
}

constexpr FileSystem kSystem{Win32Size,       Win32Exists, Win32Remove, Win32Rename,
                             Win32OpenAppend, Win32Create, Win32Write,  Win32Close};

} // namespace

const FileSystem& SystemFileSystem()
{
    return kSystem;
}

} // namespace belvor::platform
