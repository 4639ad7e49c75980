// The driver: TBelvor turns a scanner's bytes into codes, TBelvorThread hands
// them to the host's callback, and the DriverTable keeps the live drivers
// behind the exported functions.
#pragma once

#include "belvor.h"
#include "driver/Settings.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "serial/ComCom.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>

namespace belvor {

inline constexpr int32_t kMaxDrivers = 10;

// What the delivery thread hands on, in the order it happened: a code, or a
// report of the line (lost, back) or of the queue (codes dropped while full).
struct TQueuedItem {
    enum Kind : uint8_t { Code, Lost, Back, Dropped };
    Kind What = Code;
    bool Cut = false;   // a code cut to MaxLength
    uint32_t Value = 0; // Lost: the system's error code; Dropped: how many codes
    std::string Text;   // a code's bytes
};

class TBelvor : public TComPort {
public:
    // The longest code a counted string can carry: an EventProc host gets no
    // more of a longer one.
    static constexpr size_t kCountedCapacity = 255;
    static constexpr int32_t kCollecting = 100;
    static constexpr int32_t kComplete = 0;

    // With the settings Belvor.ini holds for the port now.
    explicit TBelvor(uint8_t portNumber);
    // With settings already read: they name the port's device, so they come
    // before the port opens.
    TBelvor(uint8_t portNumber, const TDriverSettings& settings);
    ~TBelvor() override;

    // Lets the port hand over bytes. Called once the driver and its delivery
    // thread are in their slots, so that no code finds a slot still empty.
    void StartReceiving() { EnableDataReceived(); }

    // The queue; each call takes FQueueLock. QueueCount counts codes only. A
    // head that was cut to MaxLength says so in cut.
    size_t QueueCount();
    bool QueueHead(std::string& code, bool* cut = nullptr);
    void QueueRemoveHead();
    // The delivery thread's step, under one lock: removes the head it has
    // handed on (when dropHead) and moves the next head out into item. That
    // head stays queued, a code's text empty, until the next step removes it,
    // so the queue still counts a code while its callback runs.
    bool QueueTakeNext(bool dropHead, TQueuedItem& item) noexcept;

    const std::string& Allow() const { return FAllow; }
    uint16_t MaxLength() const { return FMaxLength; }
    uint8_t End() const { return FEnd; }
    uint32_t QueueLimit() const { return FQueueLimit; }

    int32_t FIndex = 0;

protected:
    void DataReceived(int32_t count) override;
    void LineLost(uint32_t error) override;
    void LineBack() override;

private:
    void ProcessByte();
    // Takes the settings over and logs what in them was ignored or noted.
    void TakeSettings(const TDriverSettings& settings);
    // Queues an item (a code only while there is room) and says whether the
    // delivery thread has something new.
    bool Enqueue(TQueuedItem&& item);
    void WakeDelivery() const;

    uint16_t FCodeLen = 0;
    std::unique_ptr<char[]> FCode; // MaxLength bytes
    bool FCodeCut = false;         // FCode dropped characters past FMaxLength
    std::deque<TQueuedItem> FQueue;
    size_t FQueuedCodes = 0;
    bool FHeadTaken = false; // the delivery thread has moved the head out
    platform::RecursiveLock FQueueLock;
    std::string FAllow;
    std::array<bool, 256> FAllowed{};
    uint8_t FEnd = kDefaultEnd;
    uint16_t FMaxLength = kDefaultMaxLength;
    uint32_t FQueueLimit = kDefaultQueueLimit;
    int32_t FState = kCollecting;
};

// Where codes go: the CodeProc with its context while one is set, else the EventProc.
struct TCallbacks {
    EventProc Event = nullptr;
    CodeProc Code = nullptr;
    void* Context = nullptr;
};

class TBelvorThread {
public:
    // Starts running at once; its wake-up event exists before it runs, so no
    // wake (a first code, or the stop itself) can come too early. It looks at
    // its stop flag every recheckMs even without a wake.
    TBelvorThread(int32_t index, uint32_t recheckMs);
    ~TBelvorThread();
    TBelvorThread(const TBelvorThread&) = delete;
    TBelvorThread& operator=(const TBelvorThread&) = delete;

    void Terminate() { FTerminated = true; }
    bool Terminated() const { return FTerminated; }
    void WaitFor();
    // Passes run so far (codes delivered or dropped), for tests to wait on.
    uint64_t Passes() const { return FPasses.load(); }

    platform::Event FEvent{false};
    const int32_t FIndex;
    // The callbacks' generation a pass is using, 0 between passes; under the
    // callbacks' lock. A swap waits until no other thread uses an older one.
    uint64_t FCallGeneration = 0;

private:
    static void Run(void* self);
    void Execute();
    void Pass(const TBelvor& driver, const std::string& code, bool cut);
    void Report(const TBelvor& driver, const TQueuedItem& item);
    void Deliver(const TCallbacks& to, std::string_view code);

    const uint32_t FRecheckMs;
    std::atomic<bool> FTerminated{false};
    std::atomic<uint64_t> FPasses{0};
    platform::Thread FThread;
};

struct TDriverTable {
    std::array<std::atomic<TBelvor*>, kMaxDrivers> Drivers{};
    std::array<std::atomic<TBelvorThread*>, kMaxDrivers> Threads{};
    int32_t DriverCount = 0; // the host's thread only
};

extern TDriverTable DriverTable;

// How long a delivery thread waits for a wake before it looks at its stop flag
// anyway (1000 ms). Tests make it very long, so that a lost wake shows as a
// hang instead of a delay. Returns the previous value; threads made before
// keep theirs.
uint32_t SetDeliveryRecheckInterval(uint32_t ms);

// The re-check for the delivery thread of a driver that wakes on events or
// polls: a stop always sets the thread's event, so one that sleeps until news
// may re-check as rarely as its port's worker does.
uint32_t DeliveryRecheckBound(bool wakeOnEvent);

// The bodies of the exports. None lets an exception out.
int32_t InitDriverImpl(uint32_t port, EventProc callback) noexcept;
int32_t DestroyDriverImpl() noexcept;
EventProc SetEventProcImpl(EventProc callback) noexcept;
CodeProc SetCodeProcImpl(CodeProc proc, void* context) noexcept;

} // namespace belvor
