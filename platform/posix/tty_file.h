// An open tty for COMn: the descriptor, held exclusively and in raw mode, and
// the eventfd that wakes a worker asleep on it. Opening takes all of them or,
// failing, releases what it took; closing lets the next opener in.
#pragma once

#include "platform/no_copy.h"
#include "platform/result.h"

#include <asm/termbits.h>

#include <cstdint>
#include <memory>
#include <string>

namespace belvor::platform {

class TtyFile : NoCopy {
public:
    TtyFile() = default;
    ~TtyFile();

    // The tty where names COMn's (empty: the system's own name of it), or the
    // errno value when it or any part could not be had; then nothing is left
    // open. raw: the settings it was left with.
    static Result<std::unique_ptr<TtyFile>> Open(uint16_t portNumber, const std::string& where,
                                                 termios2& raw);

    int Fd() const { return FFd; }
    // An eventfd: a wake makes it readable.
    int WakeFd() const { return FWakeFd; }
    // A pty's slave side, whose driver ignores data bits and parity.
    bool IsPty() const { return FIsPty; }

    // Raises or drops a modem line (TIOCM_...); ptys have none, and that is fine.
    void SetModemLine(int line, bool up) const;

private:
    // Fails with the errno value of the step that failed.
    Result<> Take(const std::string& path, termios2& raw);

    int FFd = -1;
    int FWakeFd = -1;
    bool FExclusive = false;
    bool FIsPty = false;
};

} // namespace belvor::platform
