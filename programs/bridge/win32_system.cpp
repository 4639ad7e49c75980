#include "programs/bridge/win32_system.h"
#include "programs/bridge/system.h"
#include "programs/monitor/ports.h"

#include "platform/process.h"

#include <mutex>
#include <windows.h>

namespace belvor::bridge {

struct StopSignals::State {
    asio::io_context* io = nullptr;
    std::function<void()> onStop;
    bool requested = false;
    HANDLE finished = CreateEventA(nullptr, TRUE, FALSE, nullptr);
};

namespace {

// The console's handler runs on a thread of its own, at any time.
std::mutex gLock;
StopSignals::State* gState = nullptr;
bool gConsole = true;

void RequestStop(StopSignals::State& state)
{
    if (state.onStop && !state.requested)
        asio::post(*state.io, state.onStop);
    state.requested = true;
}

BOOL WINAPI OnConsoleEvent(DWORD type)
{
    HANDLE finished = nullptr;
    {
        std::lock_guard<std::mutex> guard(gLock);
        if (!gState)
            return FALSE;
        RequestStop(*gState);
        finished = gState->finished;
    }
    // Returning from these ends the process: first let the bridge finish.
    if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT)
        WaitForSingleObject(finished, 10000);
    return TRUE;
}

} // namespace

StopSignals::StopSignals(asio::io_context& io) : state_(std::make_unique<State>())
{
    state_->io = &io;
    std::lock_guard<std::mutex> guard(gLock);
    gState = state_.get();
    if (gConsole)
        SetConsoleCtrlHandler(&OnConsoleEvent, TRUE);
}

StopSignals::~StopSignals()
{
    {
        std::lock_guard<std::mutex> guard(gLock);
        gState = nullptr;
    }
    SetEvent(state_->finished);
    if (gConsole)
        SetConsoleCtrlHandler(&OnConsoleEvent, FALSE);
}

void StopSignals::Start(std::function<void()> onStop)
{
    std::lock_guard<std::mutex> guard(gLock);
    state_->onStop = std::move(onStop);
    if (state_->requested) {
        state_->requested = false;
        RequestStop(*state_);
    }
}

namespace win32 {

void RequestStop()
{
    std::lock_guard<std::mutex> guard(gLock);
    if (gState)
        belvor::bridge::RequestStop(*gState);
}

void ListenToConsole(bool listen)
{
    std::lock_guard<std::mutex> guard(gLock);
    gConsole = listen;
}

} // namespace win32

std::string DefaultLibraryPath()
{
    const std::string program = platform::HostExecutablePath();
    return program.empty() ? std::string() : platform::DirectoryOf(program) + "Belvor.dll";
}

void AllowQuickRestart(tcp::acceptor&)
{
    // Windows lets a port be listened on again while old connections linger;
    // SO_REUSEADDR would let another program take it over.
}

bool PortFree(uint32_t port)
{
    return ProbeCom(port) == PortUse::Free;
}

} // namespace belvor::bridge
