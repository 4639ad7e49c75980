// belvor-bridge as the Windows service BelvorBridge: installed to start with the
// machine and to be restarted after a failure, so that a till's scanners are
// served whether or not anyone is logged on.
#include "programs/bridge/log_file.h"
#include "programs/bridge/messages.h"
#include "programs/bridge/options.h"
#include "programs/bridge/system.h"
#include "programs/bridge/win32_folders.h"
#include "programs/bridge/win32_system.h"

#include "logging/Logger.h"
#include "platform/process.h"
#include "platform/profile.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <io.h>
#include <mutex>
#include <sddl.h>
#include <string>
#include <thread>
#include <windows.h>

namespace belvor::bridge {

namespace {

constexpr const char* kName = "BelvorBridge";
constexpr const char* kDisplayName = "Belvor bridge";
constexpr DWORD kStopHintMs = 30000;    // the clients closed, then every driver destroyed
constexpr DWORD kControlWaitMs = 60000; // how long --uninstall-service waits for a stop
// Its own account, which has no rights beyond a user's (and its log folder, given at the install).
constexpr const char* kAccount = "NT SERVICE\\BelvorBridge";
// The system and administrators may change it, users read it (hosts read Belvor.ini, load Belvor.dll).
constexpr const char* kAdminsOnly = "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
constexpr const char* kModify = "0x1301bf"; // read, write, delete: what the log's rotation needs
// The event log shows each message by EventCreate.exe's table, whose events 1 to 1000 are their text
// alone: the bridge needs no message file of its own.
constexpr const char* kEventSourceKey =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\BelvorBridge";
constexpr const char* kEventMessages = "%SystemRoot%\\System32\\EventCreate.exe";

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

// The path from the working folder on, as given when it cannot be.
std::string FullPath(const std::string& path)
{
    char full[MAX_PATH + 1] = {};
    const DWORD length = GetFullPathNameA(path.c_str(), MAX_PATH, full, nullptr);
    return length > 0 && length < MAX_PATH ? std::string(full, length) : path;
}

// The service starts in the system directory: a relative --library must not mean a file there.
std::vector<std::string> WithFullLibraryPath(std::vector<std::string> args)
{
    for (size_t i = 0; i < args.size(); ++i) {
        const bool separate = args[i] == "--library" && i + 1 < args.size();
        if (!separate && args[i].rfind("--library=", 0) != 0)
            continue;
        std::string& path = separate ? args[i + 1] : args[i];
        const std::string full = FullPath(separate ? path : path.substr(10));
        path = separate ? full : "--library=" + full;
    }
    return args;
}

// A file's folder without its last separator.
std::string FolderOf(const std::string& path)
{
    const std::string folder = platform::DirectoryOf(path);
    return folder.size() > 1 ? folder.substr(0, folder.size() - 1) : folder;
}

// Where the service writes its messages: a folder of its own beside Belvor.ini, the only one its
// account may write (Belvor.ini's must stay the administrators').
std::string LogFolder()
{
    return platform::DirectoryOf(platform::ConfigFilePath()) + "Log";
}

// A user who may change what the service reads or runs (Belvor.ini, the program, the library, or
// their folders) could steer it: none may. Belvor.ini's folder, when missing, is made so.
bool FoldersAreSafe(const std::string& program, const std::string& library)
{
    const std::string config = platform::ConfigFilePath();
    const std::string configFolder = FolderOf(config);
    if (GetFileAttributesA(configFolder.c_str()) == INVALID_FILE_ATTRIBUTES) {
        if (!win32::MakeFolder(configFolder, kAdminsOnly)) {
            Failed("cannot make " + configFolder);
            return false;
        }
        std::fprintf(MessageFile(), "belvor-bridge: made %s, which only administrators may change\n",
                     configFolder.c_str());
    }
    std::vector<std::string> paths{configFolder, config, FolderOf(program), program};
    if (FolderOf(library) != FolderOf(program))
        paths.insert(paths.end(), {FolderOf(library), library});
    else if (library != program)
        paths.push_back(library);
    std::string unsafe, fixes;
    for (const std::string& path : paths) {
        DWORD error = ERROR_SUCCESS;
        const win32::Others others = win32::OthersWhoMayChange(path, error);
        if (error == ERROR_FILE_NOT_FOUND && path == config)
            continue; // no Belvor.ini: none can be put in its safe folder
        if (error != ERROR_SUCCESS) {
            std::fprintf(MessageFile(),
                         "belvor-bridge: WARNING: cannot tell who may change %s (error %lu): see that only "
                         "administrators may\n",
                         path.c_str(), error);
            continue;
        }
        if (!others.owner.empty()) {
            unsafe += "  " + path + " (owned by " + others.owner + ", who may change its rights)\n";
            fixes += "  icacls \"" + path + "\" /setowner *S-1-5-32-544\n";
        }
        if (!others.groups.empty()) {
            unsafe += "  " + path + " (" + others.groups + " may change it)\n";
            const bool folder = GetFileAttributesA(path.c_str()) & FILE_ATTRIBUTE_DIRECTORY;
            fixes += folder ? "  icacls \"" + path +
                                  "\" /inheritance:r /grant:r *S-1-5-18:(OI)(CI)F *S-1-5-32-544:(OI)(CI)F "
                                  "*S-1-5-32-545:(OI)(CI)RX\n"
                            : "  icacls \"" + path + "\" /reset\n";
        }
    }
    if (unsafe.empty())
        return true;
    std::fprintf(MessageFile(),
                 "belvor-bridge: not installed: the service would run with what users may change:\n%s"
                 "Only administrators may change them (docs\\hosts.md, \"Web tills\"); as an administrator, "
                 "for example:\n%s",
                 unsafe.c_str(), fixes.c_str());
    return false;
}

// The account's SID as text, once the service (which makes a virtual account) is installed.
std::string AccountSid(const char* account)
{
    BYTE sid[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof sid;
    char domain[256];
    DWORD domainSize = sizeof domain;
    SID_NAME_USE use;
    char* text = nullptr;
    if (!LookupAccountNameA(nullptr, account, sid, &size, domain, &domainSize, &use) ||
        !ConvertSidToStringSidA(sid, &text))
        return {};
    std::string result(text);
    LocalFree(text);
    return result;
}

// The service's account may write its log folder: administrators may change it, users read it.
void MakeLogFolder()
{
    std::string rights = kAdminsOnly;
    if (const std::string sid = AccountSid(kAccount); !sid.empty())
        rights += std::string("(A;OICI;") + kModify + ";;;" + sid + ")";
    else
        Failed(std::string("WARNING: the account ") + kAccount +
               " was not found: the service may not write " + LogFolder() +
               ", and its messages go to the event log");
    if (!win32::MakeFolder(LogFolder(), rights))
        Failed("WARNING: cannot make " + LogFolder() + ": the service's messages go to the event log");
}

// The event log takes the messages the log file cannot.
void AddEventSource()
{
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kEventSourceKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return;
    const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
    RegSetValueExA(key, "EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(kEventMessages),
                   static_cast<DWORD>(std::strlen(kEventMessages) + 1));
    RegSetValueExA(key, "TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&types), sizeof types);
    RegCloseKey(key);
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
    // None of its account's privileges but the one every program has: none to act as another account.
    char privileges[] = "SeChangeNotifyPrivilege\0";
    SERVICE_REQUIRED_PRIVILEGES_INFOA required{privileges};
    if (!ChangeServiceConfig2A(service, SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO, &required))
        Failed("note: the service manager did not take the service's privileges: it keeps its account's");
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

// The messages that the log file cannot take, each an event of the application log.
class EventLog {
public:
    EventLog() : source_(RegisterEventSourceA(nullptr, kName)) {}
    ~EventLog()
    {
        if (source_)
            DeregisterEventSource(source_);
    }
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    void Report(const std::string& text, bool failure) const
    {
        const char* strings[] = {text.c_str()};
        if (source_)
            ReportEventA(source_, failure ? EVENTLOG_ERROR_TYPE : EVENTLOG_INFORMATION_TYPE, 0,
                         failure ? 2 : 1, nullptr, 1, 0, strings, nullptr);
    }

private:
    HANDLE source_;
};

// What is written to MessageFile() reaches the log line by line, through a pipe: every message
// keeps its plain fprintf, and the log file is opened only to append a line, so that it can be
// rotated.
class MessageRelay {
public:
    explicit MessageRelay(LogFile& log)
    {
        HANDLE write = nullptr;
        if (!CreatePipe(&read_, &write, nullptr, 0))
            return;
        const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(write), _O_WRONLY | _O_TEXT);
        file_ = descriptor < 0 ? nullptr : _fdopen(descriptor, "w");
        if (!file_) {
            descriptor < 0 ? CloseHandle(write) : _close(descriptor);
            return;
        }
        std::setvbuf(file_, nullptr, _IONBF, 0); // each message there at once, for an operator reading along
        thread_ = std::thread([this, &log] { Relay(log); });
    }
    ~MessageRelay()
    {
        if (file_) {
            std::fclose(file_); // the relay reads the end, and writes what was left
            thread_.join();
        }
        if (read_)
            CloseHandle(read_);
    }
    MessageRelay(const MessageRelay&) = delete;
    MessageRelay& operator=(const MessageRelay&) = delete;

    std::FILE* File() const { return file_; }

private:
    void Relay(LogFile& log)
    {
        std::string pending;
        char buffer[4096];
        DWORD got = 0;
        while (ReadFile(read_, buffer, sizeof buffer, &got, nullptr) && got > 0) {
            pending.append(buffer, got);
            const size_t end = pending.rfind('\n');
            if (end == std::string::npos)
                continue;
            log.Write(std::string_view(pending).substr(0, end + 1));
            pending.erase(0, end + 1);
        }
        if (!pending.empty())
            log.Write(pending);
    }

    HANDLE read_ = nullptr;
    std::FILE* file_ = nullptr;
    std::thread thread_;
};

void WINAPI ServiceMain(DWORD, char**)
{
    gStatusHandle = RegisterServiceCtrlHandlerExA(kName, &OnControl, nullptr);
    if (!gStatusHandle)
        return;
    Report(SERVICE_START_PENDING);
    // No console: the messages go to a log an operator can find beside the configuration, or
    // where that cannot be written, to the event log.
    const EventLog events;
    LogFile log(LogFolder() + "\\belvor-bridge.log",
                [&events](const std::string& text, bool failure) { events.Report(text, failure); });
    {
        MessageRelay relay(log);
        if (!relay.File())
            events.Report("belvor-bridge: cannot pass the messages on to " + LogFolder() +
                              ": only the service manager's errors tell of a failure",
                          true);
        MessageFile() = relay.File() ? relay.File() : stderr;
        try {
            gExitCode = (*gServe)([] { Report(SERVICE_RUNNING); });
        } catch (const std::exception& e) {
            std::fprintf(MessageFile(), "belvor-bridge: %s\n", e.what());
            gExitCode = 1;
        }
        std::fprintf(MessageFile(), "belvor-bridge: service stopped (%d)\n", gExitCode);
        MessageFile() = stderr;
    }
    Report(SERVICE_STOPPED, gExitCode);
}

} // namespace

int InstallService(const std::vector<std::string>& args, const std::string& library, bool manualStart)
{
    const std::string program = ProgramPath();
    if (program.empty())
        return Failed("cannot tell where belvor-bridge.exe is");
    // First what only an administrator may: a user must not be the one who makes C:\DEXE (and owns it).
    const ServiceHandle manager{OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE)};
    if (!manager.handle)
        return Failed("cannot reach the service manager");
    if (!FoldersAreSafe(program, FullPath(library)))
        return 1;
    // Quoted even without a blank: the service manager reads an unquoted path up to each blank in turn.
    std::vector<std::string> options{"--service"};
    for (const std::string& arg : WithFullLibraryPath(args))
        options.push_back(arg);
    const std::string line = "\"" + program + "\" " + WindowsCommandLine(options);
    const ServiceHandle service{
        CreateServiceA(manager.handle, kName, kDisplayName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                       manualStart ? SERVICE_DEMAND_START : SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                       line.c_str(), nullptr, nullptr, nullptr, kAccount, nullptr)};
    if (!service.handle) {
        const DWORD error = GetLastError();
        if (error == ERROR_SERVICE_EXISTS)
            return Failed(std::string("the service ") + kName +
                              " is already installed (--uninstall-service first)",
                          error);
        return Failed(std::string("cannot install the service ") + kName, error);
    }
    SetRecovery(service.handle);
    MakeLogFolder();
    AddEventSource();
    if (manualStart) {
        std::fprintf(MessageFile(),
                     "belvor-bridge: the service %s is installed, as %s; it starts when an administrator "
                     "starts it (sc start %s)\n",
                     kName, kAccount, kName);
    } else if (!StartServiceA(service.handle, 0, nullptr)) {
        const DWORD error = GetLastError();
        return Failed(std::string("the service ") + kName + " is installed but did not start", error);
    } else {
        std::fprintf(
            MessageFile(),
            "belvor-bridge: the service %s is installed and starting, as %s; it starts with Windows\n", kName,
            kAccount);
    }
    // The driver's log is beside the program unless [Log] Dir says otherwise, and there the account
    // may not write.
    if (platform::ReadProfileString(platform::ConfigFilePath(), kLogSection, kLogDirKey, "").empty())
        std::fprintf(
            MessageFile(),
            "belvor-bridge: note: for the driver's log, Belvor.ini needs [%s] %s=%s: the service may "
            "not write beside belvor-bridge.exe\n",
            kLogSection, kLogDirKey, LogFolder().c_str());
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
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kEventSourceKey);
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
