#include "programs/host/host.h"

#include "platform/errors.h"

#include <atomic>
#include <windows.h>

namespace {
std::atomic<bool> gStop{false};

BOOL WINAPI OnConsoleEvent(DWORD)
{
    gStop = true;
    return TRUE;
}

template <class F> bool Find(HMODULE module, const char* name, F& into)
{
    into = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    return into != nullptr;
}
} // namespace

bool LoadBelvorLibrary(const std::string& path, BelvorFunctions& functions, std::string& error)
{
    HMODULE module = LoadLibraryA(path.empty() ? "Belvor.dll" : path.c_str());
    if (!module) {
        error = "cannot load the library: " + LastErrorText();
        return false;
    }
    if (!Find(module, "InitDriver", functions.InitDriver) ||
        !Find(module, "DestroyDriver", functions.DestroyDriver) ||
        !Find(module, "SetEventProc", functions.SetEventProc)) {
        error = "the library lacks the driver's functions";
        return false;
    }
    (void)Find(module, "SetCodeProc", functions.SetCodeProc);
    (void)Find(module, "SetStatusProc", functions.SetStatusProc);
    (void)Find(module, "GetDriverStats", functions.GetDriverStats);
    (void)Find(module, "SetScanProc", functions.SetScanProc);
    (void)Find(module, "ParseScan", functions.ParseScan);
    return true;
}

void InstallStopHandler()
{
    SetConsoleCtrlHandler(&OnConsoleEvent, TRUE);
}

bool StopRequested()
{
    return gStop;
}

uint32_t LastErrorCode()
{
    return GetLastError();
}

std::string LastErrorText()
{
    return belvor::platform::SystemMessageWithCode(GetLastError());
}
