#include "platform/files.h"

#include "platform/win32/handles.h"

#include <windows.h>

namespace belvor::platform {

namespace {

HANDLE ToHandle(FileHandle file)
{
    return reinterpret_cast<HANDLE>(file);
}

bool Win32Size(const char* path, uint64_t* size)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path, GetFileExInfoStandard, &data))
        return false;
    *size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    return true;
}

bool Win32Exists(const char* path)
{
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

bool Win32Remove(const char* path)
{
    return DeleteFileA(path) != FALSE;
}

bool Win32Rename(const char* from, const char* to)
{
    return MoveFileA(from, to) != FALSE;
}

FileHandle Open(const char* path, DWORD access, DWORD disposition)
{
    // Others may read the log, and another host in the same folder may log too.
    HANDLE file = TrackHandle(CreateFileA(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file == INVALID_HANDLE_VALUE ? kNoFile : reinterpret_cast<FileHandle>(file);
}

FileHandle Win32OpenAppend(const char* path)
{
    // Append-only access: every write lands at the current end of the file.
    return Open(path, FILE_APPEND_DATA, OPEN_EXISTING);
}

FileHandle Win32Create(const char* path)
{
    return Open(path, GENERIC_WRITE, CREATE_ALWAYS);
}

bool Win32Write(FileHandle file, const void* data, size_t count)
{
    const char* bytes = static_cast<const char*>(data);
    while (count > 0) {
        DWORD chunk = count > 0x10000000u ? 0x10000000u : static_cast<DWORD>(count);
        DWORD done = 0;
        if (!WriteFile(ToHandle(file), bytes, chunk, &done, nullptr) || done == 0)
            return false;
        bytes += done;
        count -= done;
    }
    return true;
}

bool Win32Close(FileHandle file)
{
    return CloseTrackedHandle(ToHandle(file)) != FALSE;
}

constexpr FileSystem kSystem{Win32Size,       Win32Exists, Win32Remove, Win32Rename,
                             Win32OpenAppend, Win32Create, Win32Write,  Win32Close};

} // namespace

const FileSystem& SystemFileSystem()
{
    return kSystem;
}

} // namespace belvor::platform
