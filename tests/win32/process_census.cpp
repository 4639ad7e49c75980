#include "support/process_census.h"

#include <windows.h>

#include <tlhelp32.h>

namespace belvor::test {

namespace {

// Handles are given out lowest free slot first, so a handle left open since
// the last look changes which slots a burst of new handles gets. (Wine does not
// count handles: GetProcessHandleCount says 0 there.)
int HandleSlots()
{
    constexpr int kProbe = 32;
    HANDLE probe[kProbe];
    uintptr_t fingerprint = 0;
    for (int i = 0; i < kProbe; ++i) {
        probe[i] = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        fingerprint = fingerprint * 31 + reinterpret_cast<uintptr_t>(probe[i]);
    }
    for (HANDLE h : probe)
        if (h)
            CloseHandle(h);
    return static_cast<int>(fingerprint & 0x7FFFFFFF);
}

} // namespace

Census TakeCensus()
{
    Census census;
    census.Handles = HandleSlots();
    const HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot != INVALID_HANDLE_VALUE) {
        THREADENTRY32 entry{};
        entry.dwSize = sizeof entry;
        const DWORD self = GetCurrentProcessId();
        for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
            if (entry.th32OwnerProcessID == self)
                ++census.Threads;
        CloseHandle(snapshot);
    }
    return census;
}

uint32_t InjectedDeviceError()
{
    return ERROR_GEN_FAILURE;
}

} // namespace belvor::test
