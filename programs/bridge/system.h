// What the bridge needs of its system beyond Asio: how it is told to stop,
// how its listening socket is set up, and a look at a port.
#pragma once

#include "programs/bridge/beast.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace belvor::bridge {

// Ctrl-C, a termination request (SIGTERM) or, on Windows, the console's
// close, log-off or shut-down: onStop runs once on the io_context's thread.
// Windows ends a process once its console-close handler returns: that waits
// until this object is destroyed, so destroy it last, when all is done.
class StopSignals {
public:
    explicit StopSignals(asio::io_context& io);
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    void Start(std::function<void()> onStop);

    struct State; // the system's own, opaque here

private:
    std::unique_ptr<State> state_;
};

// The bridge as the Windows service BelvorBridge (elsewhere each says it is
// for Windows and returns 2). InstallService: installed to run this program
// with args, then started (manualStart: left to be started by hand, at no boot),
// unless a user may change the program, the library it loads or Belvor.ini (or
// their folders). UninstallService: stopped and removed.
// RunAsService: under the service manager, serve(ready) from the start until
// a stop (which StopSignals hears); ready() once it listens.
int InstallService(const std::vector<std::string>& args, const std::string& library, bool manualStart);
int UninstallService();
int RunAsService(const std::function<int(const std::function<void()>& ready)>& serve);

// Whether COMn can be opened now: opened as the driver opens it (exclusively;
// on Linux where Belvor.ini's [Ports] or the comN link says) and closed at
// once, without the library, whose refusals each leave a record in its log.
bool PortFree(uint32_t port);

// The library the bridge loads when --library does not say: on Windows Belvor.dll
// beside the program, by its full path (by its bare name it would be looked for
// along the PATH too); elsewhere empty, the host's own search.
std::string DefaultLibraryPath();

// Lets the bridge listen again at once on a port its last run left connections on.
void AllowQuickRestart(tcp::acceptor& acceptor);

} // namespace belvor::bridge
