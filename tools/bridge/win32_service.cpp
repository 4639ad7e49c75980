// belvor-bridge as the Windows service BelvorBridge: installed to start with the
// machine and to be restarted after a failure, so that a till's scanners are
// served whether or not anyone is logged on.
#include "tools/bridge/messages.h"
#include "tools/bridge/options.h"
#include "tools/bridge/system.h"
#include "tools/bridge/win32_system.h"

#include "platform/profile.h"

#include <cstdio>
#include <exception>
#include <mutex>
#include <string>
#include <windows.h>

namespace belvor::bridge {

namespace {

constexpr const char* kName = "BelvorBridge";
constexpr const char* kDisplayName = "Belvor bridge";
constexpr DWORD kStopHintMs = 30000;    // the clients closed, then every driver destroyed
constexpr DWORD kControlWaitMs = 60000; // how long --uninstall-service waits for a stop

int Failed(const std::string& what, DWORD error = GetLastError())
{
    std::string hint;
    if (error == ERROR_ACCESS_DENIED)
        hint = " (run it as an administrator)";
    std::fprintf(MessageFile(), "belvor-bridge: %s: error %lu%s\n", what.c_str(), error, hint.c_str());
    return 1;
}

// Closes a service manager handle on every way out.
struct ServiceHandle {
    SC_HANDLE handle;
    ~ServiceHandle()
    {
        if (handle)
            CloseServiceHandle(handle);
    }
};

std::string ProgramPath()
{
    char path[MAX_PATH + 1] = {};
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::string(path, length) : std::string();
}

// The service starts in the system directory: a relative --library must not mean a file there.
std::vector<std::string> WithFullLibraryPath(std::vector<std::string> args)
{
    for (size_t i = 0; i < args.size(); ++i) {
        const bool separate = args[i] == "--library" && i + 1 < args.size();
        if (!separate && args[i].rfind("--library=", 0) != 0)
            continue;
        std::string& path = separate ? args[i + 1] : args[i];
        const std::string relative = separate ? path : path.substr(10);
        char full[MAX_PATH + 1] = {};
        const DWORD length = GetFullPathNameA(relative.c_str(), MAX_PATH, full, nullptr);
        if (length > 0 && length < MAX_PATH)
            path = separate ? std::string(full) : "--library=" + std::string(full);
    }
    return args;
}

// Restarted 5 s after a failure (exit status other than 0, or a crash), twice,
// then after 30 s; the count starts again after a day without one.
void SetRecovery(SC_HANDLE service)
{
    SC_ACTION actions[] = {{SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 30000}};
    SERVICE_FAILURE_ACTIONSA failure{};
    failure.dwResetPeriod = 24 * 60 * 60;
    failure.cActions = 3;
    failure.lpsaActions = actions;
    SERVICE_FAILURE_ACTIONS_FLAG onExitStatus{TRUE};
    if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure) ||
        !ChangeServiceConfig2A(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &onExitStatus))
        Failed("note: the service manager did not take the restart after a failure");
    char description[] = "Serves the bar-code scanners to browser tills over a WebSocket on loopback, "
                         "and to monitoring. belvor-bridge --help says more.";
    SERVICE_DESCRIPTIONA text{description};
    ChangeServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, &text);
}

bool WaitForState(SC_HANDLE service, DWORD state)
{
    SERVICE_STATUS status{};
    for (DWORD waited = 0; waited < kControlWaitMs; waited += 100) {
        if (!QueryServiceStatus(service, &status))
            return false;
        if (status.dwCurrentState == state)
            return true;
        Sleep(100);
    }
    return false;
}

// --- under the service manager ---

SERVICE_STATUS_HANDLE gStatusHandle = nullptr;
SERVICE_STATUS gStatus{};
const std::function<int(const std::function<void()>&)>* gServe = nullptr;
int gExitCode = 0;

// Reported from the service's thread and from the control handler's.
std::mutex gStatusLock;

void Report(DWORD state, int exitCode = 0)
{
    std::lock_guard<std::mutex> guard(gStatusLock);
    gStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    gStatus.dwCurrentState = state;
    gStatus.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    // An exit status other than 0 is a failure, which the service manager answers with a restart.
    gStatus.dwWin32ExitCode = exitCode == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    gStatus.dwServiceSpecificExitCode = static_cast<DWORD>(exitCode);
    // Progress counts only while a start or stop is under way.
    const bool pending = state == SERVICE_STOP_PENDING || state == SERVICE_START_PENDING;
    gStatus.dwWaitHint = pending ? kStopHintMs : 0;
    gStatus.dwCheckPoint = pending ? gStatus.dwCheckPoint + 1 : 0;
    SetServiceStatus(gStatusHandle, &gStatus);
}

DWORD WINAPI OnControl(DWORD control, DWORD, void*, void*)
{
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        Report(SERVICE_STOP_PENDING);
        win32::RequestStop();
        return NO_ERROR;
    }
    return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI ServiceMain(DWORD, char**)
{
    gStatusHandle = RegisterServiceCtrlHandlerExA(kName, &OnControl, nullptr);
    if (!gStatusHandle)
        return;
    Report(SERVICE_START_PENDING);
    // No console: the messages go to a file an operator can find beside the configuration.
    std::string log = platform::ConfigFilePath();
    log = log.substr(0, log.find_last_of("\\/") + 1) + "belvor-bridge.log";
    if (std::FILE* file = std::fopen(log.c_str(), "a")) {
        std::setvbuf(file, nullptr, _IONBF, 0); // each line there at once, for an operator reading along
        MessageFile() = file;
    }
    try {
        gExitCode = (*gServe)([] { Report(SERVICE_RUNNING); });
    } catch (const std::exception& e) {
        std::fprintf(MessageFile(), "belvor-bridge: %s\n", e.what());
        gExitCode = 1;
    }
    std::fprintf(MessageFile(), "belvor-bridge: service stopped (%d)\n", gExitCode);
    Report(SERVICE_STOPPED, gExitCode);
}

} // namespace

int InstallService(const std::vector<std::string>& args)
{
    const std::string program = ProgramPath();
    if (program.empty())
        return Failed("cannot tell where belvor-bridge.exe is");
    std::vector<std::string> line{program, "--service"};
    for (const std::string& arg : WithFullLibraryPath(args))
        line.push_back(arg);
    const ServiceHandle manager{OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE)};
    if (!manager.handle)
        return Failed("cannot reach the service manager");
    const ServiceHandle service{CreateServiceA(manager.handle, kName, kDisplayName, SERVICE_ALL_ACCESS,
                                               SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START,
                                               SERVICE_ERROR_NORMAL, WindowsCommandLine(line).c_str(),
                                               nullptr, nullptr, nullptr, nullptr, nullptr)};
    if (!service.handle) {
        const DWORD error = GetLastError();
        if (error == ERROR_SERVICE_EXISTS)
            return Failed(std::string("the service ") + kName +
                              " is already installed (--uninstall-service first)",
                          error);
        return Failed(std::string("cannot install the service ") + kName, error);
    }
    SetRecovery(service.handle);
    if (!StartServiceA(service.handle, 0, nullptr)) {
        const DWORD error = GetLastError();
        return Failed(std::string("the service ") + kName + " is installed but did not start", error);
    }
    std::fprintf(MessageFile(),
                 "belvor-bridge: the service %s is installed and starting; it starts with Windows\n", kName);
    return 0;
}

int UninstallService()
{
    const ServiceHandle manager{OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT)};
    if (!manager.handle)
        return Failed("cannot reach the service manager");
    const ServiceHandle service{
        OpenServiceA(manager.handle, kName, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE)};
    if (!service.handle) {
        const DWORD error = GetLastError();
        return Failed(std::string("cannot open the service ") + kName, error);
    }
    SERVICE_STATUS status{};
    if (ControlService(service.handle, SERVICE_CONTROL_STOP, &status) &&
        !WaitForState(service.handle, SERVICE_STOPPED))
        return Failed(std::string("the service ") + kName + " did not stop", ERROR_SERVICE_REQUEST_TIMEOUT);
    if (!DeleteService(service.handle)) {
        const DWORD error = GetLastError();
        return Failed(std::string("cannot remove the service ") + kName, error);
    }
    std::fprintf(MessageFile(), "belvor-bridge: the service %s is stopped and removed\n", kName);
    return 0;
}

int RunAsService(const std::function<int(const std::function<void()>& ready)>& serve)
{
    win32::ListenToConsole(false);
    gServe = &serve;
    SERVICE_TABLE_ENTRYA table[] = {{const_cast<char*>(kName), &ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherA(table))
        return Failed("--service is for the service manager (install with --install-service)");
    return gExitCode;
}

} // namespace belvor::bridge
