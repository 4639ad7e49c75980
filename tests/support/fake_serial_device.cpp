#include "support/fake_serial_device.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace belvor::test {

namespace {
FakeLine* gLine = nullptr;
thread_local uint32_t tError = 0; // like GetLastError: each thread its own
} // namespace

class FakeDevice final : public platform::SerialDevice {
public:
    FakeDevice(FakeLine& line, uint16_t port)
        : FLine(line), FInput(line.FInputs[port]), FGeneration(line.FGeneration)
    {
    }
    ~FakeDevice() override
    {
        std::lock_guard<std::mutex> guard(FLine.FMutex);
        FLine.FCalls.push_back("Close");
        --FLine.FOpenDevices;
    }

    bool Setup(uint32_t inQueue, uint32_t outQueue) override
    {
        std::lock_guard<std::mutex> guard(FLine.FMutex);
        FLine.FCalls.push_back("Setup");
        FLine.SetupIn = inQueue;
        FLine.SetupOut = outQueue;
        return Fail(FLine.RefuseSetup);
    }
    bool GetState(platform::ControlBlock& block) override
    {
        std::lock_guard<std::mutex> guard(FLine.FMutex);
        FLine.FCalls.push_back("GetState");
        block = FLine.State;
        return true;
    }
    bool SetState(const platform::ControlBlock& block) override
    {
        std::lock_guard<std::mutex> guard(FLine.FMutex);
        FLine.FCalls.push_back("SetState");
        FLine.FSetStates.push_back(block);
        if (FLine.RefuseSetState)
            return Fail(true);
        FLine.State = block;
        return true;
    }
    bool ClearError(uint32_t& errors, uint32_t& inQueue) override
    {
        std::lock_guard<std::mutex> guard(FLine.FMutex);
        FLine.FCalls.push_back("ClearError");
        errors = 0;
        inQueue = static_cast<uint32_t>(FInput.size());
        return true;
    }
    bool Purge(uint32_t flags) override
    {
        std::lock_guard<std::mutex> guard(FLine.FMutex);
        FLine.FCalls.push_back("Purge:" + std::to_string(flags));
        if (flags & platform::kPurgeRxClear)
            FInput.clear();
        return true;
    }
    bool SetMask(uint32_t mask) override
    {
        std::lock_guard<std::mutex> guard(FLine.FMutex);
        FLine.FMasks.push_back(mask);
        return true;
    }
    bool SetTimeouts(const platform::CommTimeouts&) override { return true; }
    bool WaitEvent(uint32_t& mask) override
    {
        std::lock_guard<std::mutex> guard(FLine.FMutex);
        ++FLine.FWaitCalls;
        if (!FLine.FWaits.empty()) {
            const WaitResult result = FLine.FWaits.front();
            FLine.FWaits.pop_front();
            FLine.FCalls.push_back("WaitEvent");
            if (result.Ok)
                mask = result.Mask;
            else
                tError = result.Error;
            return result.Ok;
        }
        if (FLine.LiveEvents && !FInput.empty()) {
            mask = platform::kEvRxChar;
            return true;
        }
        tError = platform::kErrorIoPending;
        return false;
    }
    uint32_t Read(uint8_t* dest, uint32_t size) override
    {
        std::lock_guard<std::mutex> guard(FLine.FMutex);
        FLine.FCalls.push_back("Read");
        if (!FLine.FOwed.empty()) {
            const uint32_t owed = std::min(size, static_cast<uint32_t>(FLine.FOwed.size()));
            std::copy_n(FLine.FOwed.begin(), owed, dest);
            FLine.FOwed.clear();
            FLine.FReads.push_back({dest, size, owed});
            return owed;
        }
        const uint32_t n = std::min({size, FLine.ReadLimit, static_cast<uint32_t>(FInput.size())});
        std::copy_n(FInput.begin(), n, dest);
        FInput.erase(FInput.begin(), FInput.begin() + n);
        FLine.FReads.push_back({dest, size, n});
        return n;
    }
    uint32_t LastError() const override { return tError; }
    void WaitForNews(uint32_t timeoutMs) override
    {
        std::unique_lock<std::mutex> lock(FLine.FMutex);
        ++FLine.FNaps;
        FLine.FAsleep = true;
        FLine.FNews.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            return FWoken || !FInput.empty() || !FLine.FWaits.empty() || FGeneration != FLine.FGeneration;
        });
        FLine.FAsleep = false;
        FWoken = false;
    }
    void Wake() override
    {
        {
            std::lock_guard<std::mutex> guard(FLine.FMutex);
            FWoken = true;
        }
        FLine.FNews.notify_all();
    }
    bool Lost(uint32_t& error) const override
    {
        std::lock_guard<std::mutex> guard(FLine.FMutex);
        error = FLine.FLossError;
        const bool lost = FGeneration != FLine.FGeneration;
        FLine.FLossReports += lost ? 1 : 0;
        return lost;
    }
    bool ReadOwed() const override
    {
        std::lock_guard<std::mutex> guard(FLine.FMutex);
        return !FLine.FOwed.empty();
    }
    // (WaitForNews need not look at FOwed: the worker does not sleep while a read is owed.)

private:
    bool Fail(bool fail)
    {
        if (fail)
            tError = platform::kErrorInvalidParameter;
        return !fail;
    }

    FakeLine& FLine;
    std::deque<uint8_t>& FInput; // map nodes stay put
    const int FGeneration;
    bool FWoken = false; // under the line's lock
};

FakeLine::FakeLine()
{
    gLine = this;
    FPrevious = platform::ReplaceSerialOpener(&OpenFake);
}

FakeLine::~FakeLine()
{
    platform::ReplaceSerialOpener(FPrevious);
    gLine = nullptr;
}

std::unique_ptr<platform::SerialDevice> FakeLine::OpenFake(uint16_t port, const std::string& where,
                                                           uint32_t& nativeError)
{
    FakeLine& line = *gLine;
    {
        std::lock_guard<std::mutex> guard(line.FMutex);
        ++line.FOpens;
        line.FWheres.push_back(where);
    }
    if (const int delay = line.OpenDelayMs.load())
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    std::lock_guard<std::mutex> guard(line.FMutex);
    line.FCalls.push_back("Open");
    if (line.FailOpen || line.FUnplugged) {
        nativeError = line.OpenError;
        return nullptr;
    }
    ++line.FOpenDevices;
    return std::make_unique<FakeDevice>(line, port);
}

void FakeLine::FeedPort(uint16_t port, const std::string& bytes)
{
    std::lock_guard<std::mutex> guard(FMutex);
    auto& input = FInputs[port];
    input.insert(input.end(), bytes.begin(), bytes.end());
    FNews.notify_all();
}

void FakeLine::ScriptWait(WaitResult result)
{
    std::lock_guard<std::mutex> guard(FMutex);
    FWaits.push_back(result);
    FNews.notify_all();
}

void FakeLine::Unplug(uint32_t error)
{
    std::lock_guard<std::mutex> guard(FMutex);
    FUnplugged = true;
    FLossError = error;
    ++FGeneration;
    for (auto& input : FInputs)
        input.second.clear();
    FNews.notify_all();
}

void FakeLine::PlugBack()
{
    std::lock_guard<std::mutex> guard(FMutex);
    FUnplugged = false;
}

void FakeLine::Owe(const std::string& bytes)
{
    std::lock_guard<std::mutex> guard(FMutex);
    FOwed = bytes;
    FNews.notify_all();
}

size_t FakeLine::Waiting()
{
    std::lock_guard<std::mutex> guard(FMutex);
    return FInputs[DefaultPort].size();
}

std::vector<ReadRecord> FakeLine::Reads()
{
    std::lock_guard<std::mutex> guard(FMutex);
    return FReads;
}

std::vector<platform::ControlBlock> FakeLine::SetStates()
{
    std::lock_guard<std::mutex> guard(FMutex);
    return FSetStates;
}

std::vector<uint32_t> FakeLine::Masks()
{
    std::lock_guard<std::mutex> guard(FMutex);
    return FMasks;
}

std::vector<std::string> FakeLine::Calls()
{
    std::lock_guard<std::mutex> guard(FMutex);
    return FCalls;
}

int FakeLine::Opens()
{
    std::lock_guard<std::mutex> guard(FMutex);
    return FOpens;
}

std::vector<std::string> FakeLine::Wheres()
{
    std::lock_guard<std::mutex> guard(FMutex);
    return FWheres;
}

int FakeLine::Waits()
{
    std::lock_guard<std::mutex> guard(FMutex);
    return FWaitCalls;
}

bool FakeLine::Idle(int cycles)
{
    std::unique_lock<std::mutex> lock(FMutex);
    const int waits = FWaitCalls + cycles;
    const int naps = FNaps;
    lock.unlock();
    for (int i = 0; i < 2500; ++i) {
        lock.lock();
        if (FWaitCalls >= waits || FNaps > naps || FAsleep)
            return true;
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

int FakeLine::OpenDevices()
{
    std::lock_guard<std::mutex> guard(FMutex);
    return FOpenDevices;
}

int FakeLine::LossReports()
{
    std::lock_guard<std::mutex> guard(FMutex);
    return FLossReports;
}

platform::ControlBlock FakeLine::CurrentState()
{
    std::lock_guard<std::mutex> guard(FMutex);
    return State;
}

} // namespace belvor::test
