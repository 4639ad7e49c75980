#include "support/device_faults.h"

#include "platform/sync.h"
#include "platform/thread.h"
#include "support/process_census.h"

namespace belvor::test {

namespace {

DeviceFaults* gFaults = nullptr;
platform::SerialOpener gInner = nullptr;

// The scopes a call counts in: the status poll runs both while a port opens
// and in every receive step.
constexpr auto kSetup = static_cast<unsigned>(FaultScope::Setup);
constexpr auto kReception = static_cast<unsigned>(FaultScope::Reception);
constexpr unsigned kBoth = kSetup | kReception;

bool ShouldFail(const char* call, unsigned scopes = kSetup)
{
    return gFaults && gFaults->ShouldFail(call, scopes);
}

// Forwards every call, failing the one the plan names.
class FaultyDevice final : public platform::SerialDevice {
public:
    explicit FaultyDevice(std::unique_ptr<platform::SerialDevice> inner) : FInner(std::move(inner)) {}

    platform::Result<> SetQueueSizes(uint32_t in, uint32_t out) override
    {
        return Gate("SetQueueSizes", [&] { return FInner->SetQueueSizes(in, out); });
    }
    platform::Result<> Configure(const platform::LineConfig& config) override
    {
        return Gate("Configure", [&] { return FInner->Configure(config); });
    }
    platform::Result<platform::LineConfig> Settings() override
    {
        return Gate("Settings", [&] { return FInner->Settings(); });
    }
    // A failing arm leaves the device as it was.
    void Arm(const platform::RefusedWatches& refused) override
    {
        if (!ShouldFail("Arm"))
            FInner->Arm(refused);
    }
    platform::RefusedWatches Refused() const override { return FInner->Refused(); }
    platform::Result<platform::InputState> Status() override
    {
        return Gate(
            "Status", [&] { return FInner->Status(); }, kBoth);
    }
    platform::Result<> DropInput() override
    {
        return Gate("DropInput", [&] { return FInner->DropInput(); });
    }
    platform::Result<platform::LineSighting> Look() override
    {
        return Gate(
            "Look", [&] { return FInner->Look(); }, kReception);
    }
    platform::Result<uint32_t> Read(uint8_t* dest, uint32_t size) override
    {
        return Gate(
            "Read", [&] { return FInner->Read(dest, size); }, kReception);
    }
    bool ReadOwed() const override { return FInner->ReadOwed(); }
    void WaitForNews(uint32_t timeoutMs) override { FInner->WaitForNews(timeoutMs); }
    void Wake() override { FInner->Wake(); }
    void Interrupt() override { FInner->Interrupt(); }

private:
    template <class F>
    static auto Gate(const char* call, F forward, unsigned scopes = kSetup) -> decltype(forward())
    {
        if (ShouldFail(call, scopes))
            return platform::Failure{InjectedDeviceError()};
        return forward();
    }

    std::unique_ptr<platform::SerialDevice> FInner;
};

platform::OpenedDevice OpenFaulty(uint16_t port, const std::string& where)
{
    if (ShouldFail("Open"))
        return platform::Failure{InjectedDeviceError()};
    auto inner = gInner ? gInner(port, where) : platform::OpenSystemSerialDevice(port, where);
    if (!inner)
        return inner;
    return std::unique_ptr<platform::SerialDevice>(std::make_unique<FaultyDevice>(std::move(*inner)));
}

bool ThreadStartGate()
{
    return !ShouldFail("ThreadStart");
}

uint32_t EventCreateGate()
{
    return ShouldFail("EventCreate", static_cast<unsigned>(FaultScope::Events)) ? InjectedDeviceError() : 0;
}

} // namespace

DeviceFaults::DeviceFaults()
{
    gFaults = this;
    FPrevious = platform::ReplaceSerialOpener(&OpenFaulty);
    gInner = FPrevious;
    platform::ReplaceThreadStartHook(&ThreadStartGate);
    platform::ReplaceEventCreateHook(&EventCreateGate);
}

DeviceFaults::~DeviceFaults()
{
    platform::ReplaceEventCreateHook(nullptr);
    platform::ReplaceThreadStartHook(nullptr);
    platform::ReplaceSerialOpener(FPrevious);
    gInner = nullptr;
    gFaults = nullptr;
}

void DeviceFaults::Arm(uint32_t n, FaultScope scope, std::string only)
{
    std::lock_guard<std::mutex> guard(FMutex);
    FOnly = std::move(only);
    FTarget = 0;
    FCounted = 0;
    FScope = static_cast<unsigned>(scope);
    FFailed.clear();
    FTarget = n;
}

std::string DeviceFaults::Failed()
{
    std::lock_guard<std::mutex> guard(FMutex);
    return FFailed;
}

bool DeviceFaults::ShouldFail(const char* call, unsigned scopes)
{
    if (FTarget.load() == 0 || (scopes & FScope.load()) == 0)
        return false;
    std::lock_guard<std::mutex> guard(FMutex);
    if (FTarget == 0 || (!FOnly.empty() && FOnly != call) || ++FCounted != FTarget)
        return false;
    FFailed = call;
    FTarget = 0; // one fault per run
    return true;
}

} // namespace belvor::test
