// Serial devices on Linux: COMn is a tty, opened exclusively and in raw mode
// (tty_file.h), its settings in termios2 (termios_settings.h), its errors in
// the tty's counters (line_counters.h). Nothing here ever blocks but
// WaitForNews: a look is one poll, and the port's worker simply looks again
// in its next cycle.
#include "platform/serial_device.h"
#include "platform/device_loss.h"
#include "platform/posix/line_counters.h"
#include "platform/posix/loss_codes.h"
#include "platform/posix/termios_settings.h"
#include "platform/posix/tty_file.h"

#include <cerrno>
#include <memory>
#include <mutex>
#include <optional>
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
    TermiosSerialDevice(std::unique_ptr<TtyFile> file, const termios2& raw)
        : FFile(std::move(file)), FPtyFormat(raw.c_cflag & kPtyForcedCflags), FCounters(FFile->Fd())
    {
    }

    // The kernel sizes its tty buffers itself; any recommendation is welcome.
    Result<> SetQueueSizes(uint32_t /*inQueue*/, uint32_t /*outQueue*/) override { return {}; }
    Result<> Configure(const LineConfig& config) override;
    Result<LineConfig> Settings() override;
    // Reads return at once and every watch is there: nothing to arm.
    void Arm(const RefusedWatches& /*refused*/) override {}
    Result<LineSighting> Look() override;
    Result<InputState> Status() override;
    Result<> DropInput() override;
    Result<uint32_t> Read(uint8_t* dest, uint32_t size) override;
    void WaitForNews(uint32_t timeoutMs) override;
    void Wake() override;

private:
    static Failure Fail(int code) { return Failure{static_cast<uint32_t>(code)}; }
    // Fail, and tell the loss rule.
    Failure FailOrLose(DeviceCall call, int code)
    {
        FLoss.Failed(call, static_cast<uint32_t>(code));
        return Fail(code);
    }
    // What a look tells besides news: the loss, once there is one.
    LineSighting Sighting(std::optional<LineNews> news = std::nullopt) const
    {
        uint32_t lost = 0;
        (void)FLoss.Lost(lost);
        return {news, lost};
    }
    // The format as set; under FLock.
    LineFormat FormatNow(const termios2& t) const { return FormatOf(t, FFile->IsPty(), FPtyFormat); }

    std::unique_ptr<TtyFile> FFile;
    DeviceLossWatch FLoss{&PosixLossCode};

    std::mutex FLock; // the members below; never held over anything that blocks
    // On a pty, the data bits and parity last set (the kernel keeps neither), so
    // that the line reads back as set, as a UART's would.
    tcflag_t FPtyFormat;
    LineCounters FCounters; // last: its baselines are taken after the lines are read
};

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

Result<LineConfig> TermiosSerialDevice::Settings()
{
    std::lock_guard<std::mutex> guard(FLock);
    termios2 t{};
    if (ioctl(FFile->Fd(), TCGETS2, &t) != 0)
        return Fail(errno);
    const LineFormat now = FormatNow(t);
    return LineConfig{now.BaudRate, now.DataBits, now.Parity, now.StopBits};
}

Result<> TermiosSerialDevice::Configure(const LineConfig& config)
{
    std::lock_guard<std::mutex> guard(FLock);
    const int fd = FFile->Fd();
    termios2 old{};
    if (ioctl(fd, TCGETS2, &old) != 0)
        return Fail(errno);
    const LineFormat format = Merged(FormatNow(old), config);
    if (!TermiosCanHold(format))
        return Fail(EINVAL);
    termios2 t = TermiosWith(old, format);
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
    // The request-to-send line takes part in no handshake of the port's: it is dropped.
    FFile->SetModemLine(TIOCM_RTS, false);
    return {};
}

Result<InputState> TermiosSerialDevice::Status()
{
    std::lock_guard<std::mutex> guard(FLock);
    int queued = 0;
    if (ioctl(FFile->Fd(), FIONREAD, &queued) != 0)
        return FailOrLose(DeviceCall::Status, errno);
    return InputState{queued > 0 ? static_cast<uint32_t>(queued) : 0, FCounters.TakeErrors()};
}

Result<> TermiosSerialDevice::DropInput()
{
    // Reads never wait, so there is never one to abort.
    if (ioctl(FFile->Fd(), TCFLSH, TCIFLUSH) != 0)
        return Fail(errno);
    return {};
}

Result<LineSighting> TermiosSerialDevice::Look()
{
    // A quiet line costs this one call.
    pollfd p{FFile->Fd(), POLLIN | POLLPRI, 0};
    if (poll(&p, 1, 0) <= 0)
        return Sighting(); // nothing yet, or a signal: the next look sees what came
    const bool hungUp = (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    std::lock_guard<std::mutex> guard(FLock);
    int waiting = 0;
    if (ioctl(FFile->Fd(), FIONREAD, &waiting) != 0) {
        (void)FailOrLose(DeviceCall::WaitStart, errno); // a hung-up tty refuses ioctls
        waiting = 0;
    }
    // Hung up with nothing left to read: the device is gone (a read would
    // now fail with EIO, or see the end of a tty the kernel hung up).
    if (hungUp && waiting == 0)
        (void)FailOrLose(DeviceCall::WaitEnd, EIO);
    const LineNews news{waiting > 0, FCounters.TakeTrouble(hungUp)};
    if (!news.BytesArrived && !news.LineTrouble)
        return Sighting();
    return Sighting(news);
}

Result<uint32_t> TermiosSerialDevice::Read(uint8_t* dest, uint32_t size)
{
    if (size == 0)
        return 0u;
    ssize_t got;
    do {
        got = read(FFile->Fd(), dest, size);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        // EAGAIN: nothing has arrived, which is no failure; EIO: the other side is gone.
        if (errno == EAGAIN)
            return 0u;
        return FailOrLose(DeviceCall::ReadStart, errno);
    }
    return static_cast<uint32_t>(got);
}

} // namespace

OpenedDevice OpenSystemSerialDevice(uint16_t portNumber, const std::string& where)
{
    termios2 raw{};
    auto file = TtyFile::Open(portNumber, where, raw);
    if (!file)
        return Failure{file.Error()};
    return std::unique_ptr<SerialDevice>(std::make_unique<TermiosSerialDevice>(std::move(*file), raw));
}

OpenedDevice OpenSystemSerialDevice(uint16_t portNumber)
{
    return OpenSystemSerialDevice(portNumber, {});
}

} // namespace belvor::platform
