// The file operations the log writer needs. They go through a table of
// function pointers so that tests can make any single call fail.
#pragma once

#include "platform/result.h"

#include <cstddef>
#include <cstdint>

namespace belvor::platform {

// An open file: a descriptor or a HANDLE.
using FileHandle = intptr_t;

// Paths are byte strings in the system's single-byte code page. A call that
// fails gives the system's code for why.
struct FileSystem {
    // Size of the file or directory of that name.
    Result<uint64_t> (*Size)(const char* path);
    // Whether there is one of that name (no also when the system cannot tell).
    bool (*Exists)(const char* path);
    Result<> (*Remove)(const char* path);
    // Fails when the target already exists, as on Windows.
    Result<> (*Rename)(const char* from, const char* to);
    // Opens an existing file for writing at its end; does not create one.
    Result<FileHandle> (*OpenAppend)(const char* path);
    // Creates the file, truncating one that exists.
    Result<FileHandle> (*Create)(const char* path);
    // Succeeds once all bytes were written.
    Result<> (*Write)(FileHandle file, const void* data, size_t count);
    Result<> (*Close)(FileHandle file);
};

// The system's own calls.
const FileSystem& SystemFileSystem();

// The table in use (the system's unless a test's seam stands in).
const FileSystem& Files();

} // namespace belvor::platform
