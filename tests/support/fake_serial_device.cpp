#include "support/fake_serial_device.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

namespace belvor::test {

namespace {
FakeLine* gLine = nullptr;
} // namespace

class FakeDevice final : public platform::SerialDevice {
public:
    FakeDevice(FakeLine& line, uint16_t port)
        : FLine(line), FInput(line.FInputs[port]), FGeneration(line.FGeneration), FPort(port)
    {
    }
    ~FakeDevice() override
    {
        std::lock_guard<std::mutex> guard(FLine.FMutex);
        FLine.FCalls.push_back("Close");
        --FLine.FOpenDevices;
    }

    platform::Result<> SetQueueSizes(uint32_t inQueue, uint32_t outQueue) override
    {
        std::lock_guard<std::mutex> guard(FLine.FMutex);
        FLine.FCalls.push_back("SetQueueSizes");
        FLine.QueueIn = inQueue;
        FLine.QueueOut = outQueue;
        return Fail(FLine.RefuseQueueSizes);
    }
    platform::Result<> Configure(const platform::LineConfig& config) override
    {
        std::lock_guard<std::mutex> guard(FLine.FMutex);
        FLine.FCalls.push_back("Configure");
        FLine.FConfigs.push_back(config);
        if (FLine.RefuseConfigure)
            return Fail(true);
        FakeSettings& now = FLine.State;
        now = {config.BaudRate.value_or(now.BaudRate), config.DataBits.value_or(now.DataBits),
               config.Parity.value_or(now.Parity), config.StopBits.value_or(now.StopBits)};
        FLine.FPortStates[FPort] = now;
        return {};
    }
    platform::Result<platform::LineConfig> Settings() override
    {
        std::lock_guard<std::mutex> guard(FLine.FMutex);
        const FakeSettings& now = FLine.State;
        return platform::LineConfig{now.BaudRate, now.DataBits, now.Parity, now.StopBits};
    }
    void Arm(const platform::RefusedWatches& refused) override
    {
        std::lock_guard<std::mutex> guard(FLine.FMutex);
        FLine.FArms.push_back(refused);
        FArmed = true;
    }
    platform::RefusedWatches Refused() const override
    {
        std::lock_guard<std::mutex> guard(FLine.FMutex);
        return FArmed ? FLine.Refuse : platform::RefusedWatches{};
    }
    platform::Result<platform::InputState> Status() override
    {
        std::lock_guard<std::mutex> guard(FLine.FMutex);
        FLine.FCalls.push_back("Status");
        return platform::InputState{static_cast<uint32_t>(FInput.size()), std::exchange(FLine.FErrors, {})};
    }
    platform::Result<> DropInput() override
    {
        std::lock_guard<std::mutex> guard(FLine.FMutex);
        FLine.FCalls.push_back("DropInput");
        FInput.clear();
        return {};
    }
    platform::Result<platform::LineSighting> Look() override
    {
        if (const int block = FLine.BlockLookMs.exchange(0))
            std::this_thread::sleep_for(std::chrono::milliseconds(block));
        std::lock_guard<std::mutex> guard(FLine.FMutex);
        ++FLine.FLookCalls;
        platform::LineSighting sighting;
        if (FGeneration != FLine.FGeneration) {
            sighting.Lost = FLine.FLossError;
            ++FLine.FLossReports;
        }
        if (!FLine.FLooks.empty()) {
            const LookResult result = FLine.FLooks.front();
            FLine.FLooks.pop_front();
            FLine.FCalls.push_back("Look");
            if (result.Ok)
                sighting.News = result.News;
        } else if (FLine.LiveEvents && !FInput.empty()) {
            sighting.News = platform::LineNews{true, false};
        }
        return sighting;
    }
    platform::Result<uint32_t> Read(uint8_t* dest, uint32_t size) override
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
    void WaitForNews(uint32_t timeoutMs) override
    {
        std::unique_lock<std::mutex> lock(FLine.FMutex);
        ++FLine.FNaps;
        FLine.FAsleep = true;
        if (FLine.HoldNaps)
            FLine.FNews.wait(lock, [&] { return FWoken; });
        else
            FLine.FNews.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
                return FWoken || !FInput.empty() || !FLine.FLooks.empty() || FGeneration != FLine.FGeneration;
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
    bool ReadOwed() const override
    {
        std::lock_guard<std::mutex> guard(FLine.FMutex);
        return !FLine.FOwed.empty();
    }
    // (WaitForNews need not look at FOwed: the worker does not sleep while a read is owed.)

private:
    static platform::Result<> Fail(bool fail)
    {
        if (fail)
            return platform::Failure{kFakeRefusal};
        return {};
    }

    FakeLine& FLine;
    std::deque<uint8_t>& FInput; // map nodes stay put
    const int FGeneration;
    const uint16_t FPort;
    bool FWoken = false; // under the line's lock
    bool FArmed = false; // under the line's lock
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

platform::OpenedDevice FakeLine::OpenFake(uint16_t port, const std::string& where)
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
    if (line.FailOpen || line.FUnplugged)
        return platform::Failure{line.OpenError};
    ++line.FOpenDevices;
    return std::unique_ptr<platform::SerialDevice>(std::make_unique<FakeDevice>(line, port));
}

void FakeLine::FeedPort(uint16_t port, const std::string& bytes)
{
    std::lock_guard<std::mutex> guard(FMutex);
    auto& input = FInputs[port];
    input.insert(input.end(), bytes.begin(), bytes.end());
    FNews.notify_all();
}

void FakeLine::ScriptLook(LookResult result)
{
    std::lock_guard<std::mutex> guard(FMutex);
    FLooks.push_back(result);
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

std::vector<platform::LineConfig> FakeLine::Configs()
{
    std::lock_guard<std::mutex> guard(FMutex);
    return FConfigs;
}

std::vector<platform::RefusedWatches> FakeLine::Arms()
{
    std::lock_guard<std::mutex> guard(FMutex);
    return FArms;
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

int FakeLine::Looks()
{
    std::lock_guard<std::mutex> guard(FMutex);
    return FLookCalls;
}

bool FakeLine::Idle(int cycles)
{
    std::unique_lock<std::mutex> lock(FMutex);
    const int looks = FLookCalls + cycles;
    const int naps = FNaps;
    lock.unlock();
    for (int i = 0; i < 2500; ++i) {
        lock.lock();
        if (FLookCalls >= looks || FNaps > naps || FAsleep)
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

FakeSettings FakeLine::StateOf(uint16_t port)
{
    std::lock_guard<std::mutex> guard(FMutex);
    return FPortStates.count(port) ? FPortStates[port] : State;
}

void FakeLine::ReportErrors(const platform::LineErrors& errors)
{
    std::lock_guard<std::mutex> guard(FMutex);
    FErrors = errors;
}

FakeSettings FakeLine::CurrentState()
{
    std::lock_guard<std::mutex> guard(FMutex);
    return State;
}

} // namespace belvor::test
