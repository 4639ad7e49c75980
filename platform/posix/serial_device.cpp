// Serial devices on Linux: COMn is a tty, opened exclusively and in raw mode
// (tty_file.h), with the Windows communications calls mapped onto termios2
// (termios_settings.h) and the tty ioctls. Nothing here ever blocks: a wait
// that finds no event stays pending, and the port's worker simply asks again
// in its next cycle.
#include "platform/serial_device.h"
#include "platform/device_errors.h"
#include "platform/posix/line_counters.h"
#include "platform/posix/termios_settings.h"
#include "platform/posix/tty_file.h"

#include <atomic>
#include <cerrno>
#include <memory>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>
#include <utility>

namespace belvor::platform {

namespace {

class TermiosSerialDevice final : public SerialDevice {
public:
    // raw: the settings the file was opened with.
    TermiosSerialDevice(std::unique_ptr<TtyFile> file, const termios2& raw);

    // The kernel sizes its tty buffers itself; any recommendation is welcome.
    bool Setup(uint32_t /*inQueue*/, uint32_t /*outQueue*/) override { return true; }
    bool GetState(ControlBlock& block) override;
    bool SetState(const ControlBlock& block) override;
    bool ClearError(uint32_t& errors, uint32_t& inQueue) override;
    bool Purge(uint32_t flags) override;
    bool SetMask(uint32_t mask) override;
    bool SetTimeouts(const CommTimeouts& timeouts) override;
    bool WaitEvent(uint32_t& mask) override;
    uint32_t Read(uint8_t* dest, uint32_t size) override;
    uint32_t LastError() const override { return FErrors.Last(); }
    bool Lost(uint32_t& error) const override { return (error = FLostError.load()) != 0; }
    void WaitForNews(uint32_t timeoutMs) override;
    void Wake() override;

private:
    bool Fail(int code) { return FErrors.Fail(static_cast<uint32_t>(code)); }
    // Fail, and when the code means the device is gone, remember that for good.
    bool FailOrLose(int code);
    // The line's events before the mask is applied; notes a line that is gone.
    uint32_t LineEvents();

    std::unique_ptr<TtyFile> FFile;
    std::atomic<uint32_t> FMask{0};
    // A wait that found nothing counts as going on until the next WaitEvent;
    // SetMask ends it with an empty mask, as SetCommMask ends a pending wait.
    std::atomic<bool> FWaitPending{false};
    std::atomic<bool> FWaitEnded{false};
    DeviceErrors FErrors;
    std::atomic<uint32_t> FLostError{0}; // 0 while the device is there

    std::mutex FLock; // the members below; never held over anything that blocks
    // On a pty, the data bits and parity last set (the kernel keeps neither), so
    // that the line reads back as set, as a UART's would.
    tcflag_t FPtyFormat;
    uint32_t FKept; // the flag fields no termios bit holds
    CommTimeouts FTimeouts{};
    LineCounters FCounters; // last: its baselines are taken after the lines are read
};

TermiosSerialDevice::TermiosSerialDevice(std::unique_ptr<TtyFile> file, const termios2& raw)
    : FFile(std::move(file)), FPtyFormat(raw.c_cflag & kPtyForcedCflags),
      FKept(KeptFlagsAtOpen(FFile->ModemLines(), raw)), FCounters(FFile->Fd())
{
}

bool TermiosSerialDevice::FailOrLose(int code)
{
    if (MeansTtyGone(code)) {
        uint32_t none = 0;
        (void)FLostError.compare_exchange_strong(none, static_cast<uint32_t>(code));
    }
    return Fail(code);
}

void TermiosSerialDevice::WaitForNews(uint32_t timeoutMs)
{
    pollfd p[2] = {{FFile->Fd(), POLLIN, 0}, {FFile->WakeFd(), POLLIN, 0}};
    const int timeout = timeoutMs > 0x7FFFFFFFu ? -1 : static_cast<int>(timeoutMs);
    if (poll(p, 2, timeout) > 0 && (p[1].revents & POLLIN)) {
        uint64_t count = 0;
        (void)read(FFile->WakeFd(), &count, sizeof count); // the wake is taken
    }
}

void TermiosSerialDevice::Wake()
{
    const uint64_t one = 1;
    (void)write(FFile->WakeFd(), &one, sizeof one);
}

bool TermiosSerialDevice::GetState(ControlBlock& block)
{
    std::lock_guard<std::mutex> guard(FLock);
    termios2 t{};
    if (ioctl(FFile->Fd(), TCGETS2, &t) != 0)
        return Fail(errno);
    block = ControlBlockOf(t, FKept, FFile->IsPty(), FPtyFormat);
    return true;
}

bool TermiosSerialDevice::SetState(const ControlBlock& block)
{
    if (!TermiosCanHold(block))
        return Fail(EINVAL);
    std::lock_guard<std::mutex> guard(FLock);
    const int fd = FFile->Fd();
    termios2 old{};
    if (ioctl(fd, TCGETS2, &old) != 0)
        return Fail(errno);
    termios2 t = TermiosWith(old, block);
    if (ioctl(fd, TCSETS2, &t) != 0)
        return Fail(errno);

    // A driver takes what it can and drops the rest: read back what it kept,
    // and give the old settings back when that is not what was asked for.
    termios2 now{};
    if (ioctl(fd, TCGETS2, &now) != 0)
        return Fail(errno);
    if (!KeptAsAsked(t, now, FFile->IsPty())) {
        (void)ioctl(fd, TCSETS2, &old);
        return Fail(EINVAL);
    }
    FPtyFormat = t.c_cflag & kPtyForcedCflags;

    const uint32_t dtr = DtrControl(block);
    const uint32_t rts = RtsControl(block);
    if (dtr != kLineHandshake)
        FFile->SetModemLine(TIOCM_DTR, dtr == kLineEnable);
    if (rts != kLineHandshake)
        FFile->SetModemLine(TIOCM_RTS, rts == kLineEnable);
    FKept = block.Flags & kKeptFlags;
    return true;
}

bool TermiosSerialDevice::ClearError(uint32_t& errors, uint32_t& inQueue)
{
    std::lock_guard<std::mutex> guard(FLock);
    errors = 0;
    inQueue = 0;
    int waiting = 0;
    if (ioctl(FFile->Fd(), FIONREAD, &waiting) != 0)
        return FailOrLose(errno);
    inQueue = waiting > 0 ? static_cast<uint32_t>(waiting) : 0;
    errors = FCounters.TakeErrors();
    return true;
}

bool TermiosSerialDevice::Purge(uint32_t flags)
{
    if (flags & ~(kPurgeTxAbort | kPurgeRxAbort | kPurgeTxClear | kPurgeRxClear))
        return Fail(EINVAL);
    // Reads and writes never wait, so there is never one to abort.
    const bool rx = flags & kPurgeRxClear;
    const bool tx = flags & kPurgeTxClear;
    if (!rx && !tx)
        return true;
    const int queue = rx && tx ? TCIOFLUSH : (rx ? TCIFLUSH : TCOFLUSH);
    if (ioctl(FFile->Fd(), TCFLSH, queue) != 0)
        return Fail(errno);
    return true;
}

bool TermiosSerialDevice::SetMask(uint32_t mask)
{
    FMask.store(mask);
    if (FWaitPending.exchange(false))
        FWaitEnded.store(true);
    return true;
}

bool TermiosSerialDevice::SetTimeouts(const CommTimeouts& timeouts)
{
    // Reads return at once whatever is asked; the values are only kept.
    std::lock_guard<std::mutex> guard(FLock);
    FTimeouts = timeouts;
    return true;
}

uint32_t TermiosSerialDevice::LineEvents()
{
    std::lock_guard<std::mutex> guard(FLock);
    const int fd = FFile->Fd();
    pollfd p{fd, POLLIN, 0};
    const bool hungUp = poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    uint32_t events = 0;
    int waiting = 0;
    if (ioctl(fd, FIONREAD, &waiting) != 0) {
        if (MeansTtyGone(errno))
            (void)FailOrLose(errno); // a hung-up tty refuses ioctls
        waiting = 0;
    } else if (waiting > 0) {
        events |= kEvRxChar;
    }
    // Hung up with nothing left to read: the device is gone (a read would
    // now fail with EIO, or see the end of a tty the kernel hung up).
    if (hungUp && waiting == 0)
        (void)FailOrLose(EIO);
    return events | FCounters.TakeEvents(hungUp);
}

bool TermiosSerialDevice::WaitEvent(uint32_t& mask)
{
    if (FWaitEnded.exchange(false)) {
        mask = 0;
        return true;
    }
    const uint32_t events = LineEvents() & FMask.load();
    if (events == 0) {
        FWaitPending.store(true);
        return Fail(kErrorIoPending);
    }
    FWaitPending.store(false);
    mask = events;
    return true;
}

uint32_t TermiosSerialDevice::Read(uint8_t* dest, uint32_t size)
{
    if (size == 0)
        return 0;
    ssize_t got;
    do {
        got = read(FFile->Fd(), dest, size);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        // EAGAIN: nothing has arrived; EIO: the other side is gone.
        FailOrLose(errno);
        return 0;
    }
    return static_cast<uint32_t>(got);
}

} // namespace

std::unique_ptr<SerialDevice> OpenSystemSerialDevice(uint16_t portNumber, const std::string& where,
                                                     uint32_t& nativeError)
{
    termios2 raw{};
    auto file = TtyFile::Open(portNumber, where, raw, nativeError);
    if (!file)
        return nullptr;
    nativeError = 0;
    return std::make_unique<TermiosSerialDevice>(std::move(file), raw);
}

std::unique_ptr<SerialDevice> OpenSystemSerialDevice(uint16_t portNumber, uint32_t& nativeError)
{
    return OpenSystemSerialDevice(portNumber, {}, nativeError);
}

} // namespace belvor::platform
