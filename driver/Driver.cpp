#include "driver/Driver.h"

#include "logging/Logger.h"
#include "platform/errors.h"
#include "platform/profile.h"

#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string_view>

namespace belvor {

TDriverTable DriverTable;

namespace {

// The callbacks, and the generation they belong to: a swap begins a new one,
// and returns only once no other thread may still call an older one, so that
// a host may free what the old callback used.
std::mutex gCallLock;
std::condition_variable gCallEnded;
EventProc gEventProc = nullptr;
CodeProc gCodeProc = nullptr;
void* gCodeContext = nullptr;
uint64_t gGeneration = 1;
int gSwapsWaiting = 0;

// Set on a delivery thread while it is inside the host's callback.
thread_local bool tInCallback = false;

// The callbacks a pass is to use, marked in use by its thread until EndCall.
TCallbacks BeginCall(TBelvorThread& thread)
{
    std::lock_guard<std::mutex> guard(gCallLock);
    thread.FCallGeneration = gGeneration;
    return {gEventProc, gCodeProc, gCodeContext};
}

void EndCall(TBelvorThread& thread) noexcept
{
    bool waited = false;
    {
        std::lock_guard<std::mutex> guard(gCallLock);
        thread.FCallGeneration = 0;
        waited = gSwapsWaiting != 0;
    }
    if (waited)
        gCallEnded.notify_all();
}

// Changes the callbacks and returns the generation that begins with the change.
template <class Change> uint64_t SwapCallbacks(Change&& change)
{
    std::lock_guard<std::mutex> guard(gCallLock);
    change();
    return ++gGeneration;
}

// Waits until no delivery thread may still call a callback older than
// generation. Not from inside a callback: a thread cannot wait for itself,
// and two callbacks swapping at once would wait for each other.
void AwaitOlderCalls(uint64_t generation)
{
    if (tInCallback)
        return;
    std::unique_lock<std::mutex> lock(gCallLock);
    ++gSwapsWaiting;
    gCallEnded.wait(lock, [generation] {
        for (const auto& slot : DriverTable.Threads) {
            const TBelvorThread* thread = slot.load();
            if (thread && thread->FCallGeneration != 0 && thread->FCallGeneration < generation)
                return false;
        }
        return true;
    });
    --gSwapsWaiting;
}

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

// What Belvor.ini says for a driver on port now; unreadable: the defaults,
// with no character allowed, as with an empty list.
TDriverSettings LoadDriverSettings(uint16_t port) noexcept
{
    try {
        return ReadDriverSettings(platform::ConfigFilePath(), port);
    } catch (...) {
        return {};
    }
}

// [Ports] COMn as Belvor.ini says it at each reopen: a scanner may come back
// under a name written there while it was away.
std::string ConfiguredPortPath(uint16_t port) noexcept
{
    try {
        return ReadPortPath(platform::ConfigFilePath(), port);
    } catch (...) {
        return {};
    }
}

} // namespace

// ---------------------------------------------------------------- TBelvor

TBelvor::TBelvor(uint8_t portNumber) : TBelvor(portNumber, LoadDriverSettings(portNumber)) {}

TBelvor::TBelvor(uint8_t portNumber, const TDriverSettings& settings)
    : TComPort(portNumber, {settings.PortPath, &ConfiguredPortPath})
{
    try {
        SetBaudRate(9600);
        SetParity(0);
        SetDataBits(8);
        SetStopBits(1);
        FState = kCollecting;
        Purge();
        // The log's records in the order they always came: the logger's own
        // (first driver only), then what the settings ignored or noted.
        InitLogger(settings.LogDir);
        TakeSettings(settings);
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

void TBelvor::TakeSettings(const TDriverSettings& settings)
{
    FAllow = settings.Allow;
    FAllowed = settings.Allowed;
    FEnd = settings.End;
    FMaxLength = settings.MaxLength;
    FQueueLimit = settings.QueueLimit;
    FCode = std::make_unique_for_overwrite<char[]>(FMaxLength);
    SetReconnect(settings.Reconnect);
    SetWakeOnEvent(settings.WakeOnEvent);
    for (const std::string& ignored : settings.Ignored)
        LogMessage(3, "Belvor.ini: " + ignored + " ignored");
    for (const std::string& note : settings.Notes)
        LogTextAfterValue(note);
}

void TBelvor::WakeDelivery() const
{
    if (FIndex < 0 || FIndex >= kMaxDrivers)
        return;
    if (TBelvorThread* thread = DriverTable.Threads[static_cast<size_t>(FIndex)].load())
        thread->FEvent.Set();
}

bool TBelvor::Enqueue(TQueuedItem&& item)
{
    platform::LockGuard guard(FQueueLock);
    if (item.What != TQueuedItem::Code) {
        FQueue.push_back(std::move(item));
        return true;
    }
    if (FQueuedCodes < FQueueLimit) {
        FQueue.push_back(std::move(item));
        ++FQueuedCodes;
        return true;
    }
    // Full: the code is dropped and counted where it would have stood, so the
    // count reaches the log after the codes that came before it. One count
    // per run of drops, until the delivery thread takes it in hand.
    TQueuedItem* last = FQueue.empty() ? nullptr : &FQueue.back();
    if (last && last->What == TQueuedItem::Dropped && !(FHeadTaken && FQueue.size() == 1)) {
        ++last->Value;
        return false;
    }
    FQueue.push_back({TQueuedItem::Dropped, false, 1, {}});
    return true;
}

void TBelvor::LineLost(uint32_t error)
{
    // A half code must never reach the host: the rest of it is gone with the device.
    FCodeLen = 0;
    FCodeCut = false;
    FState = kCollecting;
    try {
        if (Enqueue({TQueuedItem::Lost, false, error, {}}))
            WakeDelivery();
    } catch (...) {
        // Out of memory: the loss goes unreported, reception does not stop.
    }
}

void TBelvor::LineBack()
{
    try {
        if (Enqueue({TQueuedItem::Back, false, 0, {}}))
            WakeDelivery();
    } catch (...) {
        // As above.
    }
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
    struct Wake {
        const TBelvor& Driver;
        bool Queued = false;
        ~Wake()
        {
            if (Queued)
                Driver.WakeDelivery();
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
        TQueuedItem code{TQueuedItem::Code, FCodeCut, 0, std::string(FCode.get(), FCodeLen)};
        FState = kCollecting;
        FCodeLen = 0;
        FCodeCut = false;
        if (Enqueue(std::move(code)))
            wake.Queued = true;
    }
}

size_t TBelvor::QueueCount()
{
    platform::LockGuard guard(FQueueLock);
    return FQueuedCodes;
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
    if (FQueue.empty())
        return;
    if (FQueue.front().What == TQueuedItem::Code)
        --FQueuedCodes;
    FQueue.pop_front();
    FHeadTaken = false;
}

bool TBelvor::QueueTakeNext(bool dropHead, TQueuedItem& item) noexcept
{
    platform::LockGuard guard(FQueueLock);
    if (dropHead && !FQueue.empty()) {
        if (FQueue.front().What == TQueuedItem::Code)
            --FQueuedCodes;
        FQueue.pop_front();
    }
    FHeadTaken = false;
    if (FQueue.empty())
        return false;
    // Moved, not copied: nothing else reads a queued code's text.
    TQueuedItem& head = FQueue.front();
    item.What = head.What;
    item.Cut = head.Cut;
    item.Value = head.Value;
    item.Text = std::move(head.Text);
    FHeadTaken = true;
    return true;
}

// ---------------------------------------------------------- TBelvorThread

TBelvorThread::TBelvorThread(int32_t index, uint32_t recheckMs) : FIndex(index), FRecheckMs(recheckMs)
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
    TQueuedItem item;
    while (!FTerminated) {
        if (!FEvent.Wait(FRecheckMs))
            continue;
        TBelvor* driver = DriverTable.Drivers[static_cast<size_t>(FIndex)].load();
        if (!driver)
            continue;
        bool queued = driver->QueueTakeNext(false, item);
        while (queued) {
            if (FTerminated)
                return;
            const bool code = item.What == TQueuedItem::Code;
            if (code)
                Pass(*driver, item.Text, item.Cut);
            else
                Report(*driver, item);
            // The item leaves the queue before the pass counts, in the same
            // lock that takes the next one.
            queued = driver->QueueTakeNext(true, item);
            if (code)
                FPasses.fetch_add(1);
        }
    }
}

void TBelvorThread::Report(const TBelvor& driver, const TQueuedItem& item)
{
    try {
        switch (item.What) {
        case TQueuedItem::Lost:
            LogMessage(3, FormatPortMessage("Port COM%d lost: ", driver.PortNumber()) +
                              platform::SystemMessage(item.Value));
            break;
        case TQueuedItem::Back:
            LogMessage(1, FormatPortMessage("Port COM%d back", driver.PortNumber()));
            break;
        case TQueuedItem::Dropped:
            LogMessage(3, "Queue full: " + std::to_string(item.Value) + " codes dropped");
            break;
        case TQueuedItem::Code:
            break;
        }
    } catch (...) {
        // A report that cannot be built is lost; delivery goes on.
    }
}

void TBelvorThread::Pass(const TBelvor& driver, const std::string& code, bool cut)
{
    const TCallbacks to = BeginCall(*this);
    struct End {
        TBelvorThread& Thread;
        ~End() { EndCall(Thread); }
    } end{*this};
    // With no callback set the code is dropped, unlogged.
    if (!to.Code && !to.Event)
        return;
    // A counted string holds no more: the EventProc gets the code's start.
    const bool counted = !to.Code && code.size() > TBelvor::kCountedCapacity;
    try {
        // Why a marking system will reject this code.
        if (counted)
            LogMessage(3, "Code cut at " + std::to_string(TBelvor::kCountedCapacity) + " characters");
        else if (cut)
            LogMessage(3, "Code cut at " + std::to_string(driver.MaxLength()) + " characters");
    } catch (...) {
        // A code that cannot be logged is still delivered.
    }
    const std::string_view delivered =
        counted ? std::string_view(code).substr(0, TBelvor::kCountedCapacity) : std::string_view(code);
    LogMessage(1, delivered);
    Deliver(to, delivered);
}

void TBelvorThread::Deliver(const TCallbacks& to, std::string_view code)
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
        unsigned char buffer[TBelvor::kCountedCapacity + 1];
        buffer[0] = static_cast<unsigned char>(code.size());
        std::memcpy(buffer + 1, code.data(), code.size());
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

uint32_t DeliveryRecheckBound(bool wakeOnEvent)
{
    const uint32_t ms = gDeliveryRecheckMs.load();
    return wakeOnEvent && ms < TComPort::kNewsWaitMs ? TComPort::kNewsWaitMs : ms;
}

// ----------------------------------------------------------------- exports

int32_t InitDriverImpl(uint32_t port, EventProc callback) noexcept
{
    {
        bool changed = false;
        const uint64_t generation = SwapCallbacks([&] {
            changed = gEventProc != callback;
            gEventProc = callback;
        });
        if (changed)
            AwaitOlderCalls(generation);
    }
    const int32_t index = DriverTable.DriverCount;
    if (index >= kMaxDrivers)
        return Fail(platform::SystemErrorCode(platform::ErrorKind::TooMany));
    try {
        const auto number = static_cast<uint8_t>(port & 0xFF);
        const TDriverSettings settings = LoadDriverSettings(number);
        auto driver = std::make_unique<TBelvor>(number, settings);
        driver->FIndex = index;
        auto thread = std::make_unique<TBelvorThread>(index, DeliveryRecheckBound(settings.WakeOnEvent));
        DriverTable.Drivers[static_cast<size_t>(index)] = driver.get();
        DriverTable.Threads[static_cast<size_t>(index)] = thread.get();
        DriverTable.DriverCount = index + 1;
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
    EventProc previous = nullptr;
    const uint64_t generation = SwapCallbacks([&] {
        previous = gEventProc;
        gEventProc = callback;
    });
    try {
        LogMessage(1, kAddressPrefix + Address(previous) + " -> " + Address(callback));
    } catch (...) {
        // The swap stands whether or not it could be logged.
    }
    AwaitOlderCalls(generation);
    return previous;
}

CodeProc SetCodeProcImpl(CodeProc proc, void* context) noexcept
{
    CodeProc previous = nullptr;
    const uint64_t generation = SwapCallbacks([&] {
        previous = gCodeProc;
        gCodeProc = proc;
        gCodeContext = context;
    });
    try {
        LogMessage(1, "CodeProc: " + Address(previous) + " -> " + Address(proc) + ", context " +
                          Address(context));
    } catch (...) {
        // The swap stands whether or not it could be logged.
    }
    AwaitOlderCalls(generation);
    return previous;
}

} // namespace belvor
