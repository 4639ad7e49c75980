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
#include <string>

namespace belvor {

inline constexpr int32_t kMaxDrivers = 10;

class TBelvor : public TComPort {
public:
    // Room for the longest code a counted string can carry. Allowed
    // characters past a driver's MaxLength are dropped until the code ends,
    // so a code is cut, never split or overrun.
    static constexpr size_t kCodeCapacity = 255;
    static constexpr int32_t kCollecting = 100;
    static constexpr int32_t kComplete = 0;

    explicit TBelvor(uint8_t portNumber);
    ~TBelvor() override;

    // Lets the port hand over bytes. Called once the driver and its delivery
    // thread are in their slots, so that no code finds a slot still empty.
    void StartReceiving() { EnableDataReceived(); }

    // The code queue; each call takes FQueueLock. A head that was cut to
    // MaxLength says so in cut.
    size_t QueueCount();
    bool QueueHead(std::string& code, bool* cut = nullptr);
    void QueueRemoveHead();
    // The delivery thread's step, under one lock: removes the head it has
    // delivered (when dropHead) and moves the next head's text out into code.
    // That head stays queued, its text empty, until the next step removes it,
    // so the queue still counts a code while its callback runs.
    bool QueueTakeNext(bool dropHead, std::string& code, bool& cut) noexcept;

    const std::string& Allow() const { return FAllow; }
    uint8_t MaxLength() const { return FMaxLength; }
    uint8_t End() const { return FEnd; }

    int32_t FIndex = 0;

protected:
    void DataReceived(int32_t count) override;
    void LineLost() override;

private:
    void ProcessByte();
    void ReadSettings();

    struct TQueuedCode {
        std::string Text;
        bool Cut;
    };

    uint8_t FCodeLen = 0;
    char FCode[kCodeCapacity];
    bool FCodeCut = false; // FCode dropped characters past FMaxLength
    std::deque<TQueuedCode> FQueue;
    platform::RecursiveLock FQueueLock;
    std::string FAllow;
    std::array<bool, 256> FAllowed{};
    uint8_t FEnd = kDefaultEnd;
    uint8_t FMaxLength = kDefaultMaxLength;
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
    // wake (a first code, or the stop itself) can come too early.
    explicit TBelvorThread(int32_t index);
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

private:
    static void Run(void* self);
    void Execute();
    void Pass(const TBelvor& driver, const TCallbacks& to, const std::string& code, bool cut);
    void Deliver(const TCallbacks& to, const std::string& code);

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
// hang instead of a delay. Returns the previous value.
uint32_t SetDeliveryRecheckInterval(uint32_t ms);

// The bodies of the exports. None lets an exception out.
int32_t InitDriverImpl(uint32_t port, EventProc callback) noexcept;
int32_t DestroyDriverImpl() noexcept;
EventProc SetEventProcImpl(EventProc callback) noexcept;
CodeProc SetCodeProcImpl(CodeProc proc, void* context) noexcept;

} // namespace belvor
