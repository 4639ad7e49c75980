// Between the Windows stop signals and the service: the service manager's stop
// is taken as Ctrl-C is.
#pragma once

namespace belvor::bridge::win32 {

// Asks the running bridge to stop, as Ctrl-C does.
void RequestStop();

// Whether the console's events stop the bridge (the default). A service has no
// console, and must not stop when a user logs off.
void ListenToConsole(bool listen);

} // namespace belvor::bridge::win32
