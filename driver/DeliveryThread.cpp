#include "driver/DeliveryThread.h"

#include "driver/Belvor.h"
#include "driver/Callbacks.h"
#include "driver/DriverTable.h"
#include "driver/ScanView.h"
#include "logging/Logger.h"
#include "platform/errors.h"
#include "platform/seams.h"
#include "serial/Exceptions.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <optional>

namespace belvor {

namespace {

// Ends the use of a pass's callbacks, however the pass ends.
struct CallEnd {
    uint64_t& InUse;
    ~CallEnd() { EndCall(InUse); }
};

// The delivery thread re-checks its stop flag this often even without a wake.
constexpr uint32_t kDeliveryRecheckMs = 1000;
// Before the first look at its driver: only the re-check bounds the wait.
constexpr int64_t kNoWatch = INT64_MAX;

} // namespace

TBelvorThread::TBelvorThread(int32_t index, uint32_t recheckMs)
    : FIndex(index), FRecheckMs(recheckMs),
      FStallMs(platform::Or(platform::CurrentTimings().ReaderStallMs, TBelvor::kReaderStallMs))
{
}

platform::Result<> TBelvorThread::Start()
{
    // The code its creation failed with: the thread's last error says
    // whatever came since.
    if (const platform::Result<> created = FEvent.Created(); !created)
        return created;
    // It runs the host's callback, so it gets the stack a thread of the host would.
    return FThread.Start(&Run, this, platform::kHostThreadStack);
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

template <class F> void TBelvorThread::CallHost(F&& call) noexcept
{
    try {
        const TInCallback inside;
        call();
    } catch (const std::exception& e) {
        LogException(e.what());
    } catch (...) {
        LogException("unknown");
    }
}

void TBelvorThread::Execute()
{
    TQueuedItem item;
    int64_t watchMs = kNoWatch;
    while (!FTerminated) {
        // In time to see a stuck worker, whatever the re-check (a worker that
        // wakes from a sleep until news wakes this thread); only a wake takes
        // codes from the queue, so a lost one still shows.
        // Its event was made (Start); a wait that fails still counts as a re-check.
        const bool woken =
            FEvent.Wait(static_cast<uint32_t>(std::clamp<int64_t>(watchMs, 1, FRecheckMs))).ValueOr(false);
        TBelvor* driver = DriverTable.Drivers[static_cast<size_t>(FIndex)].load();
        if (!driver)
            continue;
        watchMs = WatchReader(*driver);
        if (!woken)
            continue;
        bool queued = driver->QueueTakeNext(false, item);
        while (queued) {
            if (FTerminated)
                return;
            const bool code = item.What == TQueuedItem::Code;
            if (code)
                Pass(*driver, item);
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
        case TQueuedItem::Gone: // with reconnecting off a loss has never been logged
            break;
        }
    } catch (...) {
        // A report that cannot be built is lost; delivery goes on.
    }
    static constexpr int32_t kStatusOf[] = {0, BELVOR_STATUS_LOST, BELVOR_STATUS_BACK,
                                            BELVOR_STATUS_CODES_DROPPED, BELVOR_STATUS_LOST};
    const TCallbacks to = BeginCall(FCallGeneration);
    const CallEnd end{FCallGeneration};
    Tell(to, kStatusOf[item.What], item.Value);
}

int64_t TBelvorThread::WatchReader(const TBelvor& driver)
{
    uint32_t quietMs = 0;
    int64_t nextMs = kNoWatch;
    const int change = driver.WatchReader(FStallMs, quietMs, nextMs);
    if (change == 0)
        return nextMs;
    try {
        LogMessage(3, change > 0 ? FormatPortMessage("Port COM%d reader stalled for ", driver.PortNumber()) +
                                       std::to_string(quietMs) + " ms"
                                 : FormatPortMessage("Port COM%d reader running again", driver.PortNumber()));
    } catch (...) {
        // Unlogged, it is still told and counted.
    }
    const TCallbacks to = BeginCall(FCallGeneration);
    const CallEnd end{FCallGeneration};
    Tell(to, BELVOR_STATUS_STALLED, change > 0 ? quietMs : 0);
    return nextMs;
}

void TBelvorThread::Tell(const TCallbacks& to, int32_t status, uint32_t detail)
{
    if (to.Status)
        CallHost([&] { to.Status(FIndex, status, detail, to.StatusContext); });
}

void TBelvorThread::Pass(const TBelvor& driver, const TQueuedItem& item)
{
    const std::string& code = item.Text;
    const TCallbacks to = BeginCall(FCallGeneration);
    const CallEnd end{FCallGeneration};
    TDriverStats& stats = driver.Stats();
    const bool aimIds = driver.AimIds();
    // Read once, for the scan callback; its reading also says whether an identifier came.
    const std::optional<TScanReading> reading = to.Scan ? TryReadScan(code, aimIds) : std::nullopt;
    // A scanner set to send no identifier, or another one's: counted whoever
    // takes the code, so that the operator sees it even before a host does.
    if (aimIds && !(reading ? reading->Symbology.Valid : StartsWithSymbologyId(code)))
        stats.CodesUnidentified.Add();
    // With no callback set the code is dropped, unlogged.
    if (!to.Scan && !to.Code && !to.Event) {
        stats.CodesUndelivered.Add();
        return;
    }
    // A counted string holds no more: the EventProc gets the code's start.
    const bool counted = !to.Scan && !to.Code && code.size() > TBelvor::kCountedCapacity;
    try {
        // Why a marking system will reject this code.
        if (counted)
            LogMessage(3, "Code cut at " + std::to_string(TBelvor::kCountedCapacity) + " characters");
        else if (item.Cut)
            LogMessage(3, "Code cut at " + std::to_string(driver.MaxLength()) + " characters");
    } catch (...) {
        // A code that cannot be logged is still delivered.
    }
    if (counted && !item.Cut)
        stats.CodesCounted.Add(); // a cut one is counted as received
    if (counted || item.Cut)
        Tell(to, BELVOR_STATUS_CODE_CUT, item.Cut ? item.Value : static_cast<uint32_t>(code.size()));
    const std::string_view delivered =
        counted ? std::string_view(code).substr(0, TBelvor::kCountedCapacity) : std::string_view(code);
    LogMessage(1, delivered);
    Deliver(to, delivered, reading ? &*reading : nullptr);
    stats.CodesDelivered.Add();
}

void TBelvorThread::Deliver(const TCallbacks& to, std::string_view code, const TScanReading* reading)
{
    if (to.Scan) {
        CallHost([&] { CallWithScan(FIndex, code, reading, to.Scan, to.ScanContext); });
        return;
    }
    if (to.Code) {
        CallHost([&] {
            to.Code(FIndex, reinterpret_cast<const unsigned char*>(code.data()),
                    static_cast<uint32_t>(code.size()), to.Context);
        });
        return;
    }
    CallHost([&] {
        unsigned char buffer[TBelvor::kCountedCapacity + 1];
        buffer[0] = static_cast<unsigned char>(code.size());
        std::memcpy(buffer + 1, code.data(), code.size());
        to.Event(buffer);
    });
}

uint32_t DeliveryRecheckBound(bool wakeOnEvent)
{
    const uint32_t ms = platform::Or(platform::CurrentTimings().DeliveryRecheckMs, kDeliveryRecheckMs);
    return wakeOnEvent && ms < TComPort::kNewsWaitMs ? TComPort::kNewsWaitMs : ms;
}

} // namespace belvor
