// For tests only: lets a test make a read on a Windows serial device outlive
// its bound on purpose, so that the path of a read that completes late can be
// reached on a real line. Nothing in the library calls it; without it the
// devices keep their normal bounds.
#pragma once

#include <cstdint>

namespace belvor::platform {

struct ReadBoundsForTests {
    uint32_t ReadLimitMs = 0;    // how long a pending read is waited for
    bool CancelLateReads = true; // false: a read past its bound stays in flight uncancelled
};

// The bounds every Windows serial device uses from now on; returns the ones
// before. Tests restore them when they are done.
ReadBoundsForTests ReplaceReadBoundsForTests(ReadBoundsForTests bounds);

} // namespace belvor::platform
