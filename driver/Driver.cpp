#include "driver/Driver.h"

#include "driver/Belvor.h"
#include "driver/Callbacks.h"
#include "driver/DeliveryThread.h"
#include "driver/DriverSlots.h"
#include "driver/DriverTable.h"
#include "driver/ScanView.h"
#include "driver/Settings.h"
#include "driver/Stats.h"
#include "logging/Logger.h"
#include "platform/errors.h"
#include "serial/Exceptions.h"

#include <cinttypes>
#include <cstdio>
#include <memory>
#include <new>
#include <optional>
#include <string>

namespace belvor {

namespace {

constexpr const char* kAddressPrefix = "\xC0\xE4\xF0\xE5\xF1: "; // "Адрес: "

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

int32_t Fail(platform::ErrorKind kind) noexcept
{
    return Fail(platform::SystemErrorCode(kind));
}

// A failure as the host sees it: -1, and the system's code as the thread's
// last error (one for the argument when the system gave none).
int32_t Fail(const char* message, uint32_t systemError) noexcept
{
    LogException(message);
    return systemError != 0 ? Fail(systemError) : Fail(platform::ErrorKind::InvalidArgument);
}

// A driver made on port with what Belvor.ini says for it now, in the next slot.
int32_t MakeDriver(uint32_t port)
{
    const auto number = static_cast<uint8_t>(port & 0xFF);
    const TDriverSettings settings = LoadDriverSettings(number);
    auto driver = std::make_unique<TBelvor>(number, settings);
    const platform::Result<int32_t> added =
        AddDriver(std::move(driver), DeliveryRecheckBound(settings.WakeOnEvent));
    return added ? *added : Fail("Cannot start the delivery thread", added.Error());
}

// Logs a swap of a callback that comes with a context, then waits for the
// old one's calls as every swap does.
template <class P> P SwapWithContext(const char* name, TSwap<P> swap, P proc, void* context) noexcept
{
    try {
        LogMessage(1,
                   name + Address(swap.Previous) + " -> " + Address(proc) + ", context " + Address(context));
    } catch (...) {
        // The swap stands whether or not it could be logged.
    }
    AwaitOlderCalls(swap.Generation);
    return swap.Previous;
}

} // namespace

int32_t InitDriverImpl(uint32_t port, EventProc callback) noexcept
{
    {
        const TSwap<EventProc> swap = SwapEventProc(callback);
        if (swap.Previous != callback)
            AwaitOlderCalls(swap.Generation);
    }
    if (DriverTable.DriverCount >= kMaxDrivers)
        return Fail(platform::ErrorKind::TooMany);
    try {
        return MakeDriver(port);
    } catch (const ESerialIO& e) {
        return Fail(e.Message().c_str(), e.NativeError());
    } catch (const std::bad_alloc& e) {
        LogException(e.what());
        return Fail(platform::ErrorKind::TooMany);
    } catch (const std::exception& e) {
        LogException(e.what());
        return Fail(platform::ErrorKind::InvalidArgument);
    } catch (...) {
        return Fail(platform::ErrorKind::InvalidArgument);
    }
}

int32_t DestroyDriverImpl() noexcept
{
    if (InCallback())
        return Fail(platform::ErrorKind::WouldDeadlock);
    if (DriverTable.DriverCount <= 0)
        return Fail(platform::ErrorKind::NoneLive);
    RemoveLastDriver();
    return DriverTable.DriverCount;
}

EventProc SetEventProcImpl(EventProc callback) noexcept
{
    const TSwap<EventProc> swap = SwapEventProc(callback);
    try {
        LogMessage(1, kAddressPrefix + Address(swap.Previous) + " -> " + Address(callback));
    } catch (...) {
        // The swap stands whether or not it could be logged.
    }
    AwaitOlderCalls(swap.Generation);
    return swap.Previous;
}

CodeProc SetCodeProcImpl(CodeProc proc, void* context) noexcept
{
    return SwapWithContext("CodeProc: ", SwapCodeProc(proc, context), proc, context);
}

StatusProc SetStatusProcImpl(StatusProc proc, void* context) noexcept
{
    return SwapWithContext("StatusProc: ", SwapStatusProc(proc, context), proc, context);
}

ScanProc SetScanProcImpl(ScanProc proc, void* context) noexcept
{
    return SwapWithContext("ScanProc: ", SwapScanProc(proc, context), proc, context);
}

int32_t ParseScanImpl(const unsigned char* data, uint32_t length, uint32_t flags, ScanProc proc,
                      void* context) noexcept
{
    if (!proc || (!data && length != 0) || length > kMaxMaxLength)
        return Fail(platform::ErrorKind::InvalidArgument);
    // The host's own thread: what its callback throws is its own, but it must
    // not cross the boundary.
    try {
        const std::string_view code(reinterpret_cast<const char*>(data), data ? length : 0);
        const std::optional<TScanReading> reading = TryReadScan(code, (flags & BELVOR_PARSE_AIM) != 0);
        CallWithScan(-1, code, reading ? &*reading : nullptr, proc, context);
        return 0;
    } catch (...) {
        return Fail(platform::ErrorKind::InvalidArgument);
    }
}

int32_t GetDriverStatsImpl(int32_t driver, BelvorStats* stats) noexcept
{
    if (!stats || stats->size < kFirstStatsSize)
        return Fail(platform::ErrorKind::InvalidArgument);
    const auto fill = [](const TBelvor& live, void* out) {
        auto& filled = *static_cast<BelvorStats*>(out);
        live.FillStats(filled, filled.size);
    };
    const bool filled = ReadDriver(driver, fill, stats);
    return filled ? 0 : Fail(platform::ErrorKind::NoneLive);
}

} // namespace belvor
