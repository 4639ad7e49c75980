// Serial devices on Linux: COMn is a tty, opened exclusively and in raw mode,
// with the Windows communications calls mapped onto termios2 and the tty
// ioctls. Nothing here ever blocks: a wait that finds no event stays pending,
// and the port's worker simply asks again in its next cycle.
#include "platform/serial_device.h"

// termios2 rather than <termios.h>: it carries any baud rate (BOTHER), not
// only those with a Bxxx constant. The two headers cannot be mixed.
#include <asm/termbits.h>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <linux/serial.h>
#include <mutex>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace belvor::platform {

namespace {

constexpr uint32_t kDtrShift = 4;
constexpr uint32_t kRtsShift = 12;
constexpr uint32_t kLineEnable = 1;
constexpr uint32_t kLineHandshake = 2;
constexpr uint32_t kRtsToggle = 3;

// Flag bits termios has no counterpart for. Asking for them is refused
// rather than silently ignored, so the caller learns the line is not as asked.
constexpr uint32_t kUnsupportedFlags =
    kFlagOutxDsrFlow | kFlagDsrSensitivity | kFlagErrorChar | kFlagNull | kFlagAbortOnError;
// Flag fields kept as last set, because no termios bit holds them.
constexpr uint32_t kKeptFlags = kFlagDtrControlMask | kFlagRtsControlMask | kFlagTxContinueOnXoff;

// A rate the kernel applies within this share of the one asked for counts as
// applied, as UART divisors rarely hit a rate exactly.
constexpr uint32_t kBaudTolerancePercent = 2;

struct BaudCode {
    uint32_t Rate;
    unsigned Code;
};

constexpr BaudCode kBaudCodes[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

// The Bxxx code of a rate, or BOTHER with the rate in c_ospeed.
unsigned CodeOfRate(uint32_t rate)
{
    for (const BaudCode& entry : kBaudCodes)
        if (entry.Rate == rate)
            return entry.Code;
    return BOTHER;
}

// Like GetLastError the code is kept per thread, so that a failure on one
// thread never stands in for another's; a thread that has not failed on this
// device itself sees the device's latest failure.
struct ThreadError {
    const void* Device = nullptr;
    uint32_t Code = 0;
};
thread_local ThreadError tLastError;

std::string DevicePath(uint16_t portNumber, const std::string& where)
{
    // Named in the configuration: a stable path such as /dev/serial/by-id/...
    if (!where.empty())
        return where;
    const std::string link = std::string(BELVOR_SYSTEM_DIR) + "/com" + std::to_string(portNumber);
    struct stat info {};
    // The link itself decides, even when it dangles: it says where the port is.
    if (lstat(link.c_str(), &info) == 0)
        return link;
    if (portNumber == 0)
        return {};
    return "/dev/ttyS" + std::to_string(portNumber - 1);
}

void MakeRaw(termios2& t)
{
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | IGNPAR | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                        IUCLC | IXON | IXANY | IXOFF | IMAXBEL | IUTF8);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHONL | ECHOCTL | ECHOPRT |
                                        ECHOKE | IEXTEN | TOSTOP | XCASE | NOFLSH);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
}

// The bits of c_cflag a driver may drop when it cannot do them.
constexpr tcflag_t kCheckedCflags = CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS;
// A pty has no wire, and its driver forces these to 8 bits without parity.
constexpr tcflag_t kPtyForcedCflags = CSIZE | PARENB;

bool IsPtySlave(int fd)
{
    struct stat info {};
    if (fstat(fd, &info) != 0)
        return false;
    const unsigned group = major(info.st_rdev);
    return group == 3 || (group >= 136 && group <= 143); // BSD-style and Unix98 slaves
}

class TermiosSerialDevice final : public SerialDevice {
public:
    TermiosSerialDevice() = default;
    ~TermiosSerialDevice() override;
    TermiosSerialDevice(const TermiosSerialDevice&) = delete;
    TermiosSerialDevice& operator=(const TermiosSerialDevice&) = delete;

    // Opens and prepares the tty; on failure releases what it took.
    bool Open(const std::string& path, uint32_t& nativeError);

    bool Setup(uint32_t inQueue, uint32_t outQueue) override;
    bool GetState(ControlBlock& block) override;
    bool SetState(const ControlBlock& block) override;
    bool ClearError(uint32_t& errors, uint32_t& inQueue) override;
    bool Purge(uint32_t flags) override;
    bool SetMask(uint32_t mask) override;
    bool SetTimeouts(const CommTimeouts& timeouts) override;
    bool WaitEvent(uint32_t& mask) override;
    uint32_t Read(uint8_t* dest, uint32_t size) override;
    uint32_t LastError() const override;
    bool Lost(uint32_t& error) const override;
    void WaitForNews(uint32_t timeoutMs) override;
    void Wake() override;

private:
    bool Fail(uint32_t code);
    // Fail, and when the code means the device is gone, remember that for good.
    bool FailOrLose(uint32_t code);
    void Close();
    // The line's error counters; false where the driver keeps none (ptys).
    bool ReadCounts(serial_icounter_struct& counts);
    void SetModemLine(int line, bool up);

    int FFd = -1;
    int FWakeFd = -1; // an eventfd: Wake makes it readable
    bool FExclusive = false;
    std::atomic<uint32_t> FMask{0};
    // A wait that found nothing counts as going on until the next WaitEvent;
    // SetMask ends it with an empty mask, as SetCommMask ends a pending wait.
    std::atomic<bool> FWaitPending{false};
    std::atomic<bool> FWaitEnded{false};
    std::atomic<uint32_t> FLastError{0};
    std::atomic<uint32_t> FLostError{0}; // 0 while the device is there

    std::mutex FLock; // the members below; never held over anything that blocks
    bool FCountsSupported = true;
    // On a pty, the data bits and parity last set (the kernel keeps neither), so
    // that the line reads back as set, as a UART's would.
    bool FIsPty = false;
    tcflag_t FPtyFormat = CS8;
    serial_icounter_struct FErrorBase{}; // counters at the last ClearError
    serial_icounter_struct FEventBase{}; // counters at the last WaitEvent
    bool FHangUpReported = false;
    uint32_t FKept = (kLineEnable << kDtrShift) | (kLineEnable << kRtsShift);
    CommTimeouts FTimeouts{};
};

TermiosSerialDevice::~TermiosSerialDevice()
{
    Close();
}

void TermiosSerialDevice::Close()
{
    if (FWakeFd >= 0)
        (void)close(FWakeFd);
    FWakeFd = -1;
    if (FFd < 0)
        return;
    // A pty keeps its exclusive flag while its other side lives: clear it, or
    // the next opener is refused. The lock goes with the descriptor.
    if (FExclusive)
        (void)ioctl(FFd, TIOCNXCL);
    (void)close(FFd);
    FFd = -1;
    FExclusive = false;
}

bool TermiosSerialDevice::Open(const std::string& path, uint32_t& nativeError)
{
    const auto fail = [&](int code) {
        Close();
        nativeError = static_cast<uint32_t>(code);
        return false;
    };
    if (path.empty())
        return fail(ENOENT);
    FFd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (FFd < 0)
        return fail(errno);
    FWakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (FWakeFd < 0)
        return fail(errno);
    // TIOCEXCL alone does not stop root, and a second open in this process
    // would pass it too; the lock on the inode stops both.
    if (flock(FFd, LOCK_EX | LOCK_NB) != 0)
        return fail(errno);
    if (ioctl(FFd, TIOCEXCL) != 0)
        return fail(errno);
    FExclusive = true;

    termios2 t{};
    if (ioctl(FFd, TCGETS2, &t) != 0)
        return fail(errno);
    FIsPty = IsPtySlave(FFd);
    FPtyFormat = t.c_cflag & kPtyForcedCflags;
    MakeRaw(t);
    if (ioctl(FFd, TCSETS2, &t) != 0)
        return fail(errno);

    int lines = 0;
    if (ioctl(FFd, TIOCMGET, &lines) == 0) {
        FKept = ((lines & TIOCM_DTR) ? kLineEnable << kDtrShift : 0) |
                ((lines & TIOCM_RTS) ? kLineEnable << kRtsShift : 0);
    }
    if (t.c_cflag & CRTSCTS)
        FKept = (FKept & ~kFlagRtsControlMask) | (kLineHandshake << kRtsShift);
    serial_icounter_struct counts{};
    if (ReadCounts(counts))
        FErrorBase = FEventBase = counts;
    return true;
}

bool TermiosSerialDevice::Fail(uint32_t code)
{
    tLastError = {this, code};
    FLastError.store(code);
    return false;
}

// What a tty reports once its device has gone: USB unplugged (the kernel hangs
// the tty up), a pty whose other side closed.
bool MeansGone(int code)
{
    return code == EIO || code == ENXIO || code == ENODEV;
}

bool TermiosSerialDevice::FailOrLose(uint32_t code)
{
    if (MeansGone(static_cast<int>(code))) {
        uint32_t none = 0;
        (void)FLostError.compare_exchange_strong(none, code);
    }
    return Fail(code);
}

void TermiosSerialDevice::WaitForNews(uint32_t timeoutMs)
{
    pollfd p[2] = {{FFd, POLLIN, 0}, {FWakeFd, POLLIN, 0}};
    const int timeout = timeoutMs > 0x7FFFFFFFu ? -1 : static_cast<int>(timeoutMs);
    if (poll(p, 2, timeout) > 0 && (p[1].revents & POLLIN)) {
        uint64_t count = 0;
        (void)read(FWakeFd, &count, sizeof count); // the wake is taken
    }
}

void TermiosSerialDevice::Wake()
{
    const uint64_t one = 1;
    (void)write(FWakeFd, &one, sizeof one);
}

bool TermiosSerialDevice::Lost(uint32_t& error) const
{
    error = FLostError.load();
    return error != 0;
}

uint32_t TermiosSerialDevice::LastError() const
{
    return tLastError.Device == this ? tLastError.Code : FLastError.load();
}

bool TermiosSerialDevice::ReadCounts(serial_icounter_struct& counts)
{
    if (!FCountsSupported)
        return false;
    if (ioctl(FFd, TIOCGICOUNT, &counts) == 0)
        return true;
    if (errno == ENOTTY || errno == EINVAL)
        FCountsSupported = false;
    return false;
}

void TermiosSerialDevice::SetModemLine(int line, bool up)
{
    // Ptys have no modem lines: the call fails there and that is fine.
    (void)ioctl(FFd, up ? TIOCMBIS : TIOCMBIC, &line);
}

bool TermiosSerialDevice::Setup(uint32_t /*inQueue*/, uint32_t /*outQueue*/)
{
    // The kernel sizes its tty buffers itself; any recommendation is welcome.
    return true;
}

bool TermiosSerialDevice::GetState(ControlBlock& block)
{
    std::lock_guard<std::mutex> guard(FLock);
    termios2 t{};
    if (ioctl(FFd, TCGETS2, &t) != 0)
        return Fail(static_cast<uint32_t>(errno));
    if (FIsPty)
        t.c_cflag = (t.c_cflag & ~kPtyForcedCflags) | FPtyFormat;
    // The kernel fills c_ospeed for Bxxx codes as well as for BOTHER.
    block.BaudRate = t.c_ospeed;
    switch (t.c_cflag & CSIZE) {
    case CS5:
        block.ByteSize = 5;
        break;
    case CS6:
        block.ByteSize = 6;
        break;
    case CS7:
        block.ByteSize = 7;
        break;
    default:
        block.ByteSize = 8;
        break;
    }
    if (!(t.c_cflag & PARENB))
        block.Parity = 0;
    else if (t.c_cflag & CMSPAR)
        block.Parity = (t.c_cflag & PARODD) ? 3 : 4;
    else
        block.Parity = (t.c_cflag & PARODD) ? 1 : 2;
    block.StopBits = (t.c_cflag & CSTOPB) ? 2 : 0;

    uint32_t flags = kFlagBinary | FKept;
    if (t.c_iflag & INPCK)
        flags |= kFlagParity;
    if (t.c_cflag & CRTSCTS)
        flags |= kFlagOutxCtsFlow;
    if (t.c_iflag & IXON)
        flags |= kFlagOutX;
    if (t.c_iflag & IXOFF)
        flags |= kFlagInX;
    block.Flags = flags;
    return true;
}

bool TermiosSerialDevice::SetState(const ControlBlock& block)
{
    const uint32_t dtr = (block.Flags & kFlagDtrControlMask) >> kDtrShift;
    const uint32_t rts = (block.Flags & kFlagRtsControlMask) >> kRtsShift;
    // Rate 0 would be B0, which hangs the line up.
    if (block.BaudRate == 0 || block.ByteSize < 5 || block.ByteSize > 8 || block.Parity > 4 ||
        (block.StopBits != 0 && block.StopBits != 2) || (block.Flags & kUnsupportedFlags) != 0 ||
        dtr == kLineHandshake || rts == kRtsToggle)
        return Fail(EINVAL);

    std::lock_guard<std::mutex> guard(FLock);
    termios2 old{};
    if (ioctl(FFd, TCGETS2, &old) != 0)
        return Fail(static_cast<uint32_t>(errno));
    termios2 t = old;

    // Input speed bits 0: the input runs at the output's rate.
    t.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= CodeOfRate(block.BaudRate);
    t.c_ospeed = t.c_ispeed = block.BaudRate;

    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag &= ~kCheckedCflags;
    t.c_cflag |= kSizes[block.ByteSize - 5];
    switch (block.Parity) {
    case 1:
        t.c_cflag |= PARENB | PARODD;
        break;
    case 2:
        t.c_cflag |= PARENB;
        break;
    case 3:
        t.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
    case 4:
        t.c_cflag |= PARENB | CMSPAR;
        break;
    default:
        break;
    }
    if (block.StopBits == 2)
        t.c_cflag |= CSTOPB;
    // Linux has one switch for both: CTS gates output, RTS throttles input.
    if ((block.Flags & kFlagOutxCtsFlow) || rts == kLineHandshake)
        t.c_cflag |= CRTSCTS;

    t.c_iflag &= ~static_cast<tcflag_t>(INPCK | IXON | IXOFF);
    if (block.Flags & kFlagParity)
        t.c_iflag |= INPCK;
    if (block.Flags & kFlagOutX)
        t.c_iflag |= IXON;
    if (block.Flags & kFlagInX)
        t.c_iflag |= IXOFF;

    if (ioctl(FFd, TCSETS2, &t) != 0)
        return Fail(static_cast<uint32_t>(errno));

    // A driver takes what it can and drops the rest: read back what it kept,
    // and give the old settings back when that is not what was asked for.
    termios2 now{};
    if (ioctl(FFd, TCGETS2, &now) != 0)
        return Fail(static_cast<uint32_t>(errno));
    const uint64_t asked = block.BaudRate;
    const uint64_t got = now.c_ospeed;
    const uint64_t off = got > asked ? got - asked : asked - got;
    const tcflag_t checked = kCheckedCflags & ~(FIsPty ? kPtyForcedCflags : 0);
    if (off * 100 > asked * kBaudTolerancePercent || (now.c_cflag & checked) != (t.c_cflag & checked)) {
        (void)ioctl(FFd, TCSETS2, &old);
        return Fail(EINVAL);
    }
    FPtyFormat = t.c_cflag & kPtyForcedCflags;

    if (dtr != kLineHandshake)
        SetModemLine(TIOCM_DTR, dtr == kLineEnable);
    if (rts != kLineHandshake)
        SetModemLine(TIOCM_RTS, rts == kLineEnable);
    FKept = block.Flags & kKeptFlags;
    return true;
}

bool TermiosSerialDevice::ClearError(uint32_t& errors, uint32_t& inQueue)
{
    std::lock_guard<std::mutex> guard(FLock);
    errors = 0;
    inQueue = 0;
    int waiting = 0;
    if (ioctl(FFd, FIONREAD, &waiting) != 0)
        return FailOrLose(static_cast<uint32_t>(errno));
    inQueue = waiting > 0 ? static_cast<uint32_t>(waiting) : 0;
    serial_icounter_struct now{};
    if (ReadCounts(now)) {
        if (now.buf_overrun != FErrorBase.buf_overrun)
            errors |= kCeRxOver;
        if (now.overrun != FErrorBase.overrun)
            errors |= kCeOverrun;
        if (now.parity != FErrorBase.parity)
            errors |= kCeRxParity;
        if (now.frame != FErrorBase.frame)
            errors |= kCeFrame;
        if (now.brk != FErrorBase.brk)
            errors |= kCeBreak;
        FErrorBase = now;
    }
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
    if (ioctl(FFd, TCFLSH, queue) != 0)
        return Fail(static_cast<uint32_t>(errno));
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

bool TermiosSerialDevice::WaitEvent(uint32_t& mask)
{
    if (FWaitEnded.exchange(false)) {
        mask = 0;
        return true;
    }
    uint32_t events = 0;
    {
        std::lock_guard<std::mutex> guard(FLock);
        pollfd p{FFd, POLLIN, 0};
        const bool hungUp = poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
        int waiting = 0;
        if (ioctl(FFd, FIONREAD, &waiting) != 0) {
            if (MeansGone(errno))
                (void)FailOrLose(static_cast<uint32_t>(errno)); // a hung-up tty refuses ioctls
            waiting = 0;
        } else if (waiting > 0) {
            events |= kEvRxChar;
        }
        // Hung up with nothing left to read: the device is gone (a read would
        // now fail with EIO, or see the end of a tty the kernel hung up).
        if (hungUp && waiting == 0)
            (void)FailOrLose(EIO);
        serial_icounter_struct now{};
        if (ReadCounts(now)) {
            if (now.brk != FEventBase.brk)
                events |= kEvBreak;
            if (now.frame != FEventBase.frame || now.overrun != FEventBase.overrun ||
                now.parity != FEventBase.parity || now.buf_overrun != FEventBase.buf_overrun)
                events |= kEvErr;
            FEventBase = now;
        }
        // A line whose other side is gone stays so: report that once, not in
        // every cycle, or the worker would never see a quiet line again.
        if (hungUp && !FHangUpReported)
            events |= kEvErr;
        FHangUpReported = hungUp;
    }
    events &= FMask.load();
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
        got = read(FFd, dest, size);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        // EAGAIN: nothing has arrived; EIO: the other side is gone.
        FailOrLose(static_cast<uint32_t>(errno));
        return 0;
    }
    return static_cast<uint32_t>(got);
}

} // namespace

std::unique_ptr<SerialDevice> OpenSystemSerialDevice(uint16_t portNumber, const std::string& where,
                                                     uint32_t& nativeError)
{
    auto device = std::make_unique<TermiosSerialDevice>();
    if (!device->Open(DevicePath(portNumber, where), nativeError))
        return nullptr;
    nativeError = 0;
    return device;
}

std::unique_ptr<SerialDevice> OpenSystemSerialDevice(uint16_t portNumber, uint32_t& nativeError)
{
    return OpenSystemSerialDevice(portNumber, {}, nativeError);
}

} // namespace belvor::platform
