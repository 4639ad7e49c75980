// The driver object: TBelvor turns a scanner's bytes into codes and queues
// them, with the reports of its line, for its delivery thread.
#pragma once

#include "driver/CodeAssembler.h"
#include "driver/CodeQueue.h"
#include "driver/Settings.h"
#include "driver/Stats.h"
#include "serial/ComCom.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace belvor {

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

    // Its slot in the driver table, where its delivery thread finds it.
    void SetIndex(int32_t index) { FIndex = index; }
    int32_t Index() const { return FIndex; }
    // What a new code or report sets to wake its delivery thread, and the
    // port's worker when it wakes from a sleep until news (so that the thread
    // watches it again soon); none outside the table (tests, benchmarks).
    void SetDeliveryWake(platform::Event* wake)
    {
        FDeliveryWake.store(wake);
        SetReaderWake(wake);
    }

    // The queue; each call takes its lock. QueueCount counts codes only. A
    // head that was cut to MaxLength says so in cut.
    size_t QueueCount() { return FQueue.Count(); }
    bool QueueHead(std::string& code, bool* cut = nullptr) { return FQueue.Head(code, cut); }
    void QueueRemoveHead() { FQueue.RemoveHead(); }
    // The delivery thread's step (TCodeQueue::TakeNext).
    bool QueueTakeNext(bool dropHead, TQueuedItem& item) noexcept { return FQueue.TakeNext(dropHead, item); }

    const std::string& Allow() const { return FAllow; }
    uint16_t MaxLength() const { return FAssembler->MaxLength(); }
    uint8_t End() const { return FAssembler->End(); }
    bool AimIds() const { return FAssembler->AimIds(); }
    uint32_t QueueLimit() const { return FQueue.Limit(); }

    // What it has done: bumped by its worker and its delivery thread, read by anyone.
    TDriverStats& Stats() const { return FStats; }
    // Its statistics as GetDriverStats gives them, the first size bytes of them.
    void FillStats(BelvorStats& out, uint32_t size) const;

    // A worker this far past what its round may take is stuck: in a call that
    // does not return, or in a wait that never ends.
    static constexpr int64_t kReaderStallMs = 5000;
    // For its delivery thread: +1 when the worker has just been seen stuck,
    // stallMs past what its round may take (quietMs: since its last round;
    // counted), -1 when it runs again, 0 otherwise. nextMs: when to look
    // again at the latest.
    int WatchReader(int64_t stallMs, uint32_t& quietMs, int64_t& nextMs) const noexcept;

protected:
    void DataReceived(int32_t count) override;
    void LineLost(uint32_t error) override;
    void LineBack() override;
    void LineGone(uint32_t error) override;
    void LineErrorsSeen(const platform::LineErrors& errors) override;

private:
    // Reads one byte and hands it to the assembler: FState says whether it ended a code.
    void ProcessByte();
    // Takes the settings over and logs what in them was ignored or noted.
    void TakeSettings(const TDriverSettings& settings);
    // Queues an item (a code only while there is room) and says whether the
    // delivery thread has something new.
    bool Enqueue(TQueuedItem&& item) { return FQueue.Push(std::move(item)); }
    void WakeDelivery() const;
    // Queues a report of the line and wakes the delivery thread for it.
    void Report(TQueuedItem::Kind what, uint32_t value) noexcept;

    int32_t FIndex = 0;
    std::atomic<platform::Event*> FDeliveryWake{nullptr};
    std::optional<TCodeAssembler> FAssembler; // made with the settings
    TCodeQueue FQueue;
    std::string FAllow;
    int32_t FState = kCollecting;
    mutable TDriverStats FStats;
};

} // namespace belvor
