#include "programs/host/host.h"

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

std::string SystemMessage(uint32_t code)
{
    char text[256] = {};
    if (!FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                        sizeof text, nullptr))
        return "error " + std::to_string(code);
    std::string s(text);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' '))
        s.pop_back();
    return s;
}

uint32_t LastErrorCode()
{
    return GetLastError();
}

std::string LastErrorText()
{
    const DWORD code = GetLastError();
    const std::string message = SystemMessage(code);
    if (message == "error " + std::to_string(code))
        return message;
    return message + " (error " + std::to_string(code) + ")";
}
