// The file operations the log writer needs. They go through a table of
// function pointers so that tests can make any single call fail.
#pragma once

#include <cstddef>
#include <cstdint>

namespace belvor::platform {

// An open file: a descriptor or a HANDLE; kNoFile when none could be opened.
using FileHandle = intptr_t;
inline constexpr FileHandle kNoFile = -1;

// Paths are byte strings in the system's single-byte code page.
struct FileSystem {
    // Size of the file or directory of that name; false when there is none.
    bool (*Size)(const char* path, uint64_t* size);
    bool (*Exists)(const char* path);
    bool (*Remove)(const char* path);
    // Fails when the target already exists, as on Windows.
    bool (*Rename)(const char* from, const char* to);
    // Opens an existing file for writing at its end; does not create one.
    FileHandle (*OpenAppend)(const char* path);
    // Creates the file, truncating one that exists.
    FileHandle (*Create)(const char* path);
    // True when all bytes were written.
    bool (*Write)(FileHandle file, const void* data, size_t count);
    bool (*Close)(FileHandle file);
};

// The system's own calls.
const FileSystem& SystemFileSystem();

// The table in use (the system's unless replaced).
const FileSystem& Files();

// Puts table in place (nullptr: the system's again) and returns the one it
// replaces. For tests; the caller keeps the table alive while it is in use.
const FileSystem* ReplaceFileSystem(const FileSystem* table);

} // namespace belvor::platform
