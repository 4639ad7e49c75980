#include "support/device_faults.h"

#include "platform/thread.h"
#include "support/process_census.h"

namespace belvor::test {

namespace {

DeviceFaults* gFaults = nullptr;
platform::SerialOpener gInner = nullptr;
thread_local uint32_t tError = 0;

// The scopes a call counts in: the status poll runs both while a port opens
// and in every receive step.
constexpr unsigned kSetup = 1;
constexpr unsigned kReception = 2;
constexpr unsigned kBoth = kSetup | kReception;

// Forwards every call, failing the one the plan names.
class FaultyDevice final : public platform::SerialDevice {
public:
    explicit FaultyDevice(std::unique_ptr<platform::SerialDevice> inner) : FInner(std::move(inner)) {}

    bool SetQueueSizes(uint32_t in, uint32_t out) override
    {
        return Gate("SetQueueSizes") && Pass(FInner->SetQueueSizes(in, out));
    }
    bool Configure(const platform::LineConfig& config) override
    {
        return Gate("Configure") && Pass(FInner->Configure(config));
    }
    bool Settings(platform::LineConfig& config) override
    {
        return Gate("Settings") && Pass(FInner->Settings(config));
    }
    // A failing arm leaves the device as it was.
    void Arm(const platform::RefusedWatches& refused) override
    {
        if (Gate("Arm"))
            FInner->Arm(refused);
    }
    platform::RefusedWatches Refused() const override { return FInner->Refused(); }
    bool Status(uint32_t& waiting, platform::LineErrors& errors) override
    {
        if (!Gate("Status", kBoth)) {
            waiting = 0;
            errors = {};
            return false;
        }
        return Pass(FInner->Status(waiting, errors));
    }
    bool DropInput() override { return Gate("DropInput") && Pass(FInner->DropInput()); }
    bool Look(platform::LineNews& news) override
    {
        return Gate("Look", kReception) && Pass(FInner->Look(news));
    }
    uint32_t Read(uint8_t* dest, uint32_t size) override
    {
        if (!Gate("Read", kReception))
            return 0;
        const uint32_t got = FInner->Read(dest, size);
        if (got == 0)
            tError = FInner->LastError();
        return got;
    }
    uint32_t LastError() const override { return tError; }
    bool ReadOwed() const override { return FInner->ReadOwed(); }
    void WaitForNews(uint32_t timeoutMs) override { FInner->WaitForNews(timeoutMs); }
    void Wake() override { FInner->Wake(); }
    void Interrupt() override { FInner->Interrupt(); }
    bool Lost(uint32_t& error) const override { return FInner->Lost(error); }

private:
    static bool Gate(const char* call, unsigned scopes = kSetup)
    {
        if (gFaults && gFaults->ShouldFail(call, scopes)) {
            tError = InjectedDeviceError();
            return false;
        }
        return true;
    }
    bool Pass(bool ok)
    {
        if (!ok)
            tError = FInner->LastError();
        return ok;
    }

    std::unique_ptr<platform::SerialDevice> FInner;
};

std::unique_ptr<platform::SerialDevice> OpenFaulty(uint16_t port, const std::string& where,
                                                   uint32_t& nativeError)
{
    if (gFaults && gFaults->ShouldFail("Open", kSetup)) {
        nativeError = InjectedDeviceError();
        return nullptr;
    }
    auto inner = gInner ? gInner(port, where, nativeError)
                        : platform::OpenSystemSerialDevice(port, where, nativeError);
    if (!inner)
        return nullptr;
    return std::make_unique<FaultyDevice>(std::move(inner));
}

bool ThreadStartGate()
{
    return !(gFaults && gFaults->ShouldFail("ThreadStart", kSetup));
}

} // namespace

DeviceFaults::DeviceFaults()
{
    gFaults = this;
    FPrevious = platform::ReplaceSerialOpener(&OpenFaulty);
    gInner = FPrevious;
    platform::ReplaceThreadStartHook(&ThreadStartGate);
}

DeviceFaults::~DeviceFaults()
{
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
    FReception = scope == FaultScope::Reception;
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
    if (FTarget.load() == 0 || (scopes & (FReception.load() ? kReception : kSetup)) == 0)
        return false;
    std::lock_guard<std::mutex> guard(FMutex);
    if (FTarget == 0 || (!FOnly.empty() && FOnly != call) || ++FCounted != FTarget)
        return false;
    FFailed = call;
    FTarget = 0; // one fault per run
    return true;
}

} // namespace belvor::test
