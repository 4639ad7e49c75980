// A serial device made of memory: it reports as waiting exactly the bytes a
// test feeds it, records every call and every read, and fails on demand.
#pragma once

#include "platform/no_copy.h"
#include "platform/seams.h"
#include "platform/serial_device.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace belvor::test {

struct ReadRecord {
    const uint8_t* Dest;
    uint32_t Size;
    uint32_t Stored;
};

// A scripted look: news, or (not Ok) nothing new.
struct LookResult {
    bool Ok;
    platform::LineNews News; // told when Ok
};

// The device's own settings.
struct FakeSettings {
    uint32_t BaudRate;
    uint8_t DataBits;
    uint8_t Parity;
    uint8_t StopBits;
};

// The error a refused call reports.
inline constexpr uint32_t kFakeRefusal = 87;

// While one exists, every port opened gets a fake device on this line.
class FakeLine : platform::NoCopy {
public:
    FakeLine();
    ~FakeLine();

    // Set up before the port opens.
    std::atomic<bool> FailOpen{false}; // may change while a worker reopens
    std::atomic<uint32_t> OpenError{2};
    bool RefuseQueueSizes = false;
    bool RefuseConfigure = false;
    // What the devices' system refuses of the watches once armed.
    platform::RefusedWatches Refuse;
    // Each read stores at most this many bytes (a device handing out less than asked).
    uint32_t ReadLimit = 0xFFFFFFFFu;
    // With no scripted result, Look reports bytes while bytes wait
    // (live) or stays pending for ever (quiet: the test drives the receive step).
    bool LiveEvents = false;
    // Each open takes this long (outside the line's lock).
    std::atomic<int> OpenDelayMs{0};
    // The next Look blocks this long (outside the line's lock) before it looks.
    std::atomic<int> BlockLookMs{0};
    // A worker asleep until news sleeps on past its bound and any news, until woken.
    std::atomic<bool> HoldNaps{false};
    FakeSettings State{9600, 8, 0, 1};

    // Bytes the scanner on a port sends (Feed: on DefaultPort).
    void Feed(const std::string& bytes) { FeedPort(DefaultPort, bytes); }
    void FeedPort(uint16_t port, const std::string& bytes);
    uint16_t DefaultPort = 3;
    void ScriptLook(LookResult result);
    // Bytes a late read still owes: not counted as waiting, handed to the next Read.
    void Owe(const std::string& bytes);
    // The cable pulled: every device open now is lost with this code, what
    // waited in them is gone, and opens fail (OpenError) until PlugBack.
    void Unplug(uint32_t error);
    void PlugBack();

    size_t Waiting();
    std::vector<ReadRecord> Reads();
    std::vector<platform::LineConfig> Configs();
    // What each Arm was told the system had refused.
    std::vector<platform::RefusedWatches> Arms();
    std::vector<std::string> Calls();
    int Opens();
    // The path each open was given for its port, in order.
    std::vector<std::string> Wheres();
    int OpenDevices();
    // Looks that told a loss.
    int LossReports();
    // Look calls so far: one per worker cycle, whether it dispatches or not.
    int Looks();
    // Waits (bounded) until the worker has gone through that many more cycles,
    // or has gone to sleep until news, as it does in the event mode.
    bool Idle(int cycles);
    FakeSettings CurrentState();
    // The settings the port's last Configure left on that port's device.
    FakeSettings StateOf(uint16_t port);
    // Line errors the next Status call reports (and clears).
    void ReportErrors(const platform::LineErrors& errors);
    uint32_t QueueIn = 0;
    uint32_t QueueOut = 0;

private:
    friend class FakeDevice;
    static platform::OpenedDevice OpenFake(uint16_t port, const std::string& where);

    std::mutex FMutex;
    std::condition_variable FNews; // bytes fed, a wait scripted, a device woken or lost
    std::map<uint16_t, std::deque<uint8_t>> FInputs;
    std::deque<LookResult> FLooks;
    std::string FOwed;
    bool FUnplugged = false;
    int FGeneration = 0; // devices opened before the last unplug are lost
    uint32_t FLossError = 0;
    std::vector<ReadRecord> FReads;
    std::vector<platform::LineConfig> FConfigs;
    std::map<uint16_t, FakeSettings> FPortStates;
    platform::LineErrors FErrors;
    std::vector<platform::RefusedWatches> FArms;
    std::vector<std::string> FCalls;
    int FOpens = 0;
    std::vector<std::string> FWheres;
    int FOpenDevices = 0;
    int FLossReports = 0;
    int FLookCalls = 0;
    int FNaps = 0;        // WaitForNews calls
    bool FAsleep = false; // a worker is inside WaitForNews
    platform::Seams FPrevious;
};

// A fake line whose devices report bytes as they come, as a scanner's do.
struct LiveFakeLine : FakeLine {
    LiveFakeLine() { LiveEvents = true; }
};

} // namespace belvor::test
