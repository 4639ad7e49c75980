// Every kernel handle the library opens and closes goes through here, so that
// a test can see that none is left open after a failure. (Counting the
// process's handles would also count what the system and the test's own
// locks make lazily, at moments nobody chooses.)
#pragma once

#include <windows.h>

namespace belvor::platform {

// Returns h, counting it when it is a handle (not null, not INVALID_HANDLE_VALUE).
HANDLE TrackHandle(HANDLE h);
// CloseHandle, uncounting it.
BOOL CloseTrackedHandle(HANDLE h);
// Handles opened through TrackHandle and not closed yet.
long OpenTrackedHandles();

} // namespace belvor::platform
