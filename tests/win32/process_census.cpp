#include "support/process_census.h"

#include "platform/win32/handles.h"

#include <windows.h>

#include <tlhelp32.h>

namespace belvor::test {

Census TakeCensus()
{
    Census census;
    // The library's own handles: the process's count would also take in what
    // the system and the test's locks open lazily (and Wine does not count).
    census.Handles = static_cast<int>(platform::OpenTrackedHandles());
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
