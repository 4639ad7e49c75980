#include "programs/host/host.h"

#include "platform/errors.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <dlfcn.h>
#include <unistd.h>

namespace {
std::atomic<bool> gStop{false};

void OnSignal(int)
{
    gStop = true;
}

std::string BesideMe(const char* name)
{
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0)
        return name;
    std::string path(self, static_cast<size_t>(n));
    return path.substr(0, path.rfind('/') + 1) + name;
}
} // namespace

bool LoadBelvorLibrary(const std::string& path, BelvorFunctions& functions, std::string& error)
{
    std::string file = path.empty() ? BesideMe("libbelvor.so") : path;
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        error = dlerror();
        if (!path.empty())
            return false;
        // Installed, the program is bin/belvor-<name> and the library is
        // lib/libbelvor.so.1 of the same tree, or the system's by its soname.
        for (std::string other : {BesideMe("../lib/libbelvor.so.1"), std::string("libbelvor.so.1")}) {
            if ((handle = dlopen(other.c_str(), RTLD_NOW | RTLD_LOCAL)) != nullptr) {
                file = other;
                break;
            }
        }
        if (!handle)
            return false;
    }
    functions.InitDriver = reinterpret_cast<decltype(functions.InitDriver)>(dlsym(handle, "InitDriver"));
    functions.DestroyDriver =
        reinterpret_cast<decltype(functions.DestroyDriver)>(dlsym(handle, "DestroyDriver"));
    functions.SetEventProc =
        reinterpret_cast<decltype(functions.SetEventProc)>(dlsym(handle, "SetEventProc"));
    functions.SetCodeProc = reinterpret_cast<decltype(functions.SetCodeProc)>(dlsym(handle, "SetCodeProc"));
    functions.SetStatusProc =
        reinterpret_cast<decltype(functions.SetStatusProc)>(dlsym(handle, "SetStatusProc"));
    functions.GetDriverStats =
        reinterpret_cast<decltype(functions.GetDriverStats)>(dlsym(handle, "GetDriverStats"));
    functions.SetScanProc = reinterpret_cast<decltype(functions.SetScanProc)>(dlsym(handle, "SetScanProc"));
    functions.ParseScan = reinterpret_cast<decltype(functions.ParseScan)>(dlsym(handle, "ParseScan"));
    if (!functions.InitDriver || !functions.DestroyDriver || !functions.SetEventProc) {
        error = file + " lacks the driver's functions";
        return false;
    }
    return true;
}

void InstallStopHandler()
{
    struct sigaction action {};
    action.sa_handler = &OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool StopRequested()
{
    return gStop;
}

uint32_t LastErrorCode()
{
    return static_cast<uint32_t>(errno);
}

std::string LastErrorText()
{
    return belvor::platform::SystemMessage(LastErrorCode());
}
