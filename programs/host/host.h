// What the monitor and the bridge need of their system: loading the library and Ctrl-C.
#pragma once

#include "belvor.h"

#include <string>

struct BelvorFunctions {
    int32_t(BELVOR_CALL* InitDriver)(uint32_t, EventProc) = nullptr;
    int32_t(BELVOR_CALL* DestroyDriver)() = nullptr;
    EventProc(BELVOR_CALL* SetEventProc)(EventProc) = nullptr;
    // Null with an older library, which has no source-tagged callback.
    BelvorSetCodeProcFn SetCodeProc = nullptr;
    // Null with an older library, which has no status calls and no statistics.
    BelvorSetStatusProcFn SetStatusProc = nullptr;
    BelvorGetDriverStatsFn GetDriverStats = nullptr;
    // Null with a library before 1.2, which does not read what a code is.
    BelvorSetScanProcFn SetScanProc = nullptr;
    BelvorParseScanFn ParseScan = nullptr;
};

// Loads the library (path empty: the one beside the program; on Linux then
// the installed one, ../lib/libbelvor.so.1 or by its soname). False with a
// reason in error when it or one of its functions cannot be found.
bool LoadBelvorLibrary(const std::string& path, BelvorFunctions& functions, std::string& error);

// Makes Ctrl-C (and a termination request) set the flag returned by StopRequested.
void InstallStopHandler();
bool StopRequested();

// The reason for the last failed call into the library, as the system keeps
// it: its code (errno, GetLastError) and its text (platform/errors.h words it;
// on Windows with the code after it).
uint32_t LastErrorCode();
std::string LastErrorText();
