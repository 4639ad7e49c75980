#include "driver/Driver.h"

#include "logging/Logger.h"
#include "platform/errors.h"
#include "platform/profile.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

namespace belvor {

TDriverTable DriverTable;

namespace {

std::atomic<EventProc> gEventProc{nullptr};
// The CodeProc and its context change together, so they are read together.
platform::RecursiveLock gCodeProcLock;
CodeProc gCodeProc = nullptr;
void* gCodeContext = nullptr;

TCallbacks CurrentCallbacks()
{
    TCallbacks to;
    to.Event = gEventProc.load();
    platform::LockGuard guard(gCodeProcLock);
    to.Code = gCodeProc;
    to.Context = gCodeContext;
    return to;
}

// Set on a delivery thread while it is inside the host's callback.
thread_local bool tInCallback = false;

// The delivery thread re-checks its stop flag this often even without a wake.
std::atomic<uint32_t> gDeliveryRecheckMs{1000};

constexpr const char* kExceptionPrefix = "Exception: ";
constexpr const char* kAddressPrefix = "\xC0\xE4\xF0\xE5\xF1: "; // "Адрес: "

void LogException(const char* message) noexcept
{
    try {
        LogMessage(1, std::string(kExceptionPrefix) + message);
    } catch (...) {
        // Logging must never stop delivery.
    }
}

std::string Address(uintptr_t address)
{
    char text[2 * sizeof(uintptr_t) + 1];
    std::snprintf(text, sizeof text, "%08" PRIXPTR, address);
    return text;
}

template <class P> std::string Address(P* pointer)
{
    return Address(reinterpret_cast<uintptr_t>(pointer));
}

int32_t Fail(uint32_t systemError) noexcept
{
    platform::SetLastSystemError(systemError);
    return -1;
}

} // namespace

// ---------------------------------------------------------------- TBelvor

TBelvor::TBelvor(uint8_t portNumber) : TComPort(portNumber)
{
    try {
        SetBaudRate(9600);
        SetParity(0);
        SetDataBits(8);
        SetStopBits(1);
        FState = kCollecting;
        Purge();
        InitLogger();
        ReadSettings();
    } catch (...) {
        Close();
        throw;
    }
}

TBelvor::~TBelvor()
{
    // The worker must be gone before the queue and its lock are.
    Close();
}

void TBelvor::ReadSettings()
{
    TDriverSettings settings;
    try {
        settings = ReadDriverSettings(platform::ConfigFilePath());
    } catch (...) {
        // Unreadable: the defaults, with no character allowed, as with an empty list.
    }
    FAllow = settings.Allow;
    FAllowed = settings.Allowed;
    FEnd = settings.End;
    FMaxLength = settings.MaxLength;
    SetReconnect(settings.Reconnect);
    SetWakeOnEvent(settings.WakeOnEvent);
    for (const std::string& ignored : settings.Ignored)
        LogMessage(3, "Belvor.ini: " + ignored + " ignored");
    for (const std::string& note : settings.Notes)
        LogTextAfterValue(note);
}

void TBelvor::LineLost()
{
    // A half code must never reach the host: the rest of it is gone with the device.
    FCodeLen = 0;
    FCodeCut = false;
    FState = kCollecting;
}

void TBelvor::ProcessByte()
{
    const uint8_t byte = ReadChar();
    if (byte == FEnd) {
        FState = kComplete;
    } else if (FAllowed[byte]) {
        if (FCodeLen < FMaxLength)
            FCode[FCodeLen++] = static_cast<char>(byte);
        else
            FCodeCut = true;
    }
}

void TBelvor::DataReceived(int32_t count)
{
    // One wake for all the codes of this call, after the last of them: the
    // delivery thread empties the queue on every wake. Also when a byte's
    // read throws, so that the codes queued before it are not left waiting.
    struct WakeDelivery {
        const TBelvor& Driver;
        bool Queued = false;
        ~WakeDelivery()
        {
            if (!Queued || Driver.FIndex < 0 || Driver.FIndex >= kMaxDrivers)
                return;
            if (TBelvorThread* thread = DriverTable.Threads[static_cast<size_t>(Driver.FIndex)].load())
                thread->FEvent.Set();
        }
    } wake{*this};
    for (int32_t i = 0; i < count; ++i) {
        // The port is closing: finish now rather than hand over codes nobody
        // will deliver, so that the stop never waits for a long burst.
        if (StopRequested())
            return;
        ProcessByte();
        if (FState == kCollecting)
            continue;
        TQueuedCode code{std::string(FCode, FCodeLen), FCodeCut};
        FState = kCollecting;
        FCodeLen = 0;
        FCodeCut = false;
        {
            platform::LockGuard guard(FQueueLock);
            FQueue.push_back(std::move(code));
        }
        wake.Queued = true;
    }
}

size_t TBelvor::QueueCount()
{
    platform::LockGuard guard(FQueueLock);
    return FQueue.size();
}

bool TBelvor::QueueHead(std::string& code, bool* cut)
{
    platform::LockGuard guard(FQueueLock);
    if (FQueue.empty())
        return false;
    code = FQueue.front().Text;
    if (cut)
        *cut = FQueue.front().Cut;
    return true;
}

void TBelvor::QueueRemoveHead()
{
    platform::LockGuard guard(FQueueLock);
    if (!FQueue.empty())
        FQueue.pop_front();
}

bool TBelvor::QueueTakeNext(bool dropHead, std::string& code, bool& cut) noexcept
{
    platform::LockGuard guard(FQueueLock);
    if (dropHead && !FQueue.empty())
        FQueue.pop_front();
    if (FQueue.empty())
        return false;
    // Moved, not copied: nothing else reads a queued code's text.
    code = std::move(FQueue.front().Text);
    cut = FQueue.front().Cut;
    return true;
}

// ---------------------------------------------------------- TBelvorThread

TBelvorThread::TBelvorThread(int32_t index) : FIndex(index)
{
    // It runs the host's callback, so it gets the stack a thread of the host would.
    if (!FEvent.Valid() || !FThread.Start(&Run, this, platform::kHostThreadStack))
        throw Exception("Cannot start the delivery thread", platform::LastSystemError());
}

TBelvorThread::~TBelvorThread()
{
    Terminate();
    FEvent.Set();
    WaitFor();
}

void TBelvorThread::WaitFor()
{
    FThread.Stop(platform::kInfinite);
}

void TBelvorThread::Run(void* self)
{
    static_cast<TBelvorThread*>(self)->Execute();
}

void TBelvorThread::Execute()
{
    std::string code;
    while (!FTerminated) {
        uint32_t recheckMs = gDeliveryRecheckMs.load();
        // A driver that sleeps until news should not have its delivery thread
        // wake every second instead: a stop always sets FEvent, so the re-check
        // may be as rare as the worker's own.
        if (const TBelvor* driver = DriverTable.Drivers[static_cast<size_t>(FIndex)].load();
            driver && driver->WakeOnEvent() && recheckMs < TComPort::kNewsWaitMs)
            recheckMs = TComPort::kNewsWaitMs;
        if (!FEvent.Wait(recheckMs))
            continue;
        TBelvor* driver = DriverTable.Drivers[static_cast<size_t>(FIndex)].load();
        if (!driver)
            continue;
        bool cut = false;
        bool queued = driver->QueueTakeNext(false, code, cut);
        while (queued) {
            if (FTerminated)
                return;
            Pass(*driver, CurrentCallbacks(), code, cut);
            // The code leaves the queue before the pass counts, in the same
            // lock that takes the next one.
            queued = driver->QueueTakeNext(true, code, cut);
            FPasses.fetch_add(1);
        }
    }
}

void TBelvorThread::Pass(const TBelvor& driver, const TCallbacks& to, const std::string& code, bool cut)
{
    // With no callback set the code is dropped, unlogged.
    if (!to.Code && !to.Event)
        return;
    try {
        // Why a marking system will reject this code.
        if (cut)
            LogMessage(3, "Code cut at " + std::to_string(driver.MaxLength()) + " characters");
    } catch (...) {
        // A code that cannot be logged is still delivered.
    }
    LogMessage(1, code);
    Deliver(to, code);
}

void TBelvorThread::Deliver(const TCallbacks& to, const std::string& code)
{
    try {
        tInCallback = true;
        struct Reset {
            ~Reset() { tInCallback = false; }
        } reset;
        if (to.Code) {
            to.Code(FIndex, reinterpret_cast<const unsigned char*>(code.data()),
                    static_cast<uint32_t>(code.size()), to.Context);
            return;
        }
        unsigned char buffer[256];
        const size_t n = code.size() < 255 ? code.size() : 255;
        buffer[0] = static_cast<unsigned char>(n);
        std::memcpy(buffer + 1, code.data(), n);
        to.Event(buffer);
    } catch (const std::exception& e) {
        LogException(e.what());
    } catch (...) {
        LogException("unknown");
    }
}

uint32_t SetDeliveryRecheckInterval(uint32_t ms)
{
    return gDeliveryRecheckMs.exchange(ms);
}

// ----------------------------------------------------------------- exports

int32_t InitDriverImpl(uint32_t port, EventProc callback) noexcept
{
    gEventProc = callback;
    const int32_t index = DriverTable.DriverCount;
    if (index >= kMaxDrivers)
        return Fail(platform::SystemErrorCode(platform::ErrorKind::TooMany));
    try {
        auto driver = std::make_unique<TBelvor>(static_cast<uint8_t>(port & 0xFF));
        driver->FIndex = index;
        auto thread = std::make_unique<TBelvorThread>(index);
        DriverTable.Drivers[static_cast<size_t>(index)] = driver.get();
        DriverTable.Threads[static_cast<size_t>(index)] = thread.get();
        DriverTable.DriverCount = index + 1;
        // Its first wait began before the driver was in its slot, with the
        // short re-check; one look now lets it take the driver's own.
        if (driver->WakeOnEvent())
            thread->FEvent.Set();
        driver.release()->StartReceiving();
        thread.release();
        return index;
    } catch (const Exception& e) {
        LogException(e.Message().c_str());
        uint32_t error = e.NativeError();
        if (error == 0)
            error = platform::SystemErrorCode(platform::ErrorKind::InvalidArgument);
        return Fail(error);
    } catch (const std::bad_alloc& e) {
        LogException(e.what());
        return Fail(platform::SystemErrorCode(platform::ErrorKind::TooMany));
    } catch (const std::exception& e) {
        LogException(e.what());
        return Fail(platform::SystemErrorCode(platform::ErrorKind::InvalidArgument));
    } catch (...) {
        return Fail(platform::SystemErrorCode(platform::ErrorKind::InvalidArgument));
    }
}

int32_t DestroyDriverImpl() noexcept
{
    if (tInCallback)
        return Fail(platform::SystemErrorCode(platform::ErrorKind::WouldDeadlock));
    if (DriverTable.DriverCount <= 0)
        return Fail(platform::SystemErrorCode(platform::ErrorKind::NoneLive));
    const int32_t i = --DriverTable.DriverCount;
    const auto slot = static_cast<size_t>(i);
    TBelvor* driver = DriverTable.Drivers[slot].load();
    TBelvorThread* thread = DriverTable.Threads[slot].load();
    // Stop delivery of what is queued, then reception; the delivery thread may
    // still finish the pass it is in, so the driver outlives it.
    thread->Terminate();
    driver->Close();
    thread->FEvent.Set();
    thread->WaitFor();
    DriverTable.Drivers[slot] = nullptr;
    delete driver;
    DriverTable.Threads[slot] = nullptr;
    delete thread;
    return DriverTable.DriverCount;
}

EventProc SetEventProcImpl(EventProc callback) noexcept
{
    const EventProc previous = gEventProc.exchange(callback);
    try {
        LogMessage(1, kAddressPrefix + Address(previous) + " -> " + Address(callback));
    } catch (...) {
        // The swap stands whether or not it could be logged.
    }
    return previous;
}

CodeProc SetCodeProcImpl(CodeProc proc, void* context) noexcept
{
    CodeProc previous = nullptr;
    {
        platform::LockGuard guard(gCodeProcLock);
        previous = gCodeProc;
        gCodeProc = proc;
        gCodeContext = context;
    }
    try {
        LogMessage(1, "CodeProc: " + Address(previous) + " -> " + Address(proc) + ", context " +
                          Address(context));
    } catch (...) {
        // The swap stands whether or not it could be logged.
    }
    return previous;
}

} // namespace belvor
