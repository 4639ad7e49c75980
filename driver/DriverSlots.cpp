#include "driver/DriverSlots.h"

#include "driver/Belvor.h"
#include "driver/DeliveryThread.h"

#include <mutex>

namespace belvor {

namespace {

// Held by a reader of a driver from outside its own threads, and by the
// removal of a driver from its slot: never while anything else is awaited.
std::mutex gReadLock;

// Takes a slot's object back from the table, leaving the slot empty.
template <class T> std::unique_ptr<T> Vacate(std::atomic<T*>& slot) noexcept
{
    return std::unique_ptr<T>(slot.exchange(nullptr));
}

} // namespace

platform::Result<int32_t> AddDriver(std::unique_ptr<TBelvor> driver, uint32_t recheckMs)
{
    const int32_t index = DriverTable.DriverCount;
    driver->SetIndex(index);
    auto thread = std::make_unique<TBelvorThread>(index, recheckMs);
    if (const platform::Result<> started = thread->Start(); !started)
        return platform::Failure{started.Error()};
    driver->SetDeliveryWake(&thread->WakeEvent());
    DriverTable.Drivers[static_cast<size_t>(index)] = driver.get();
    DriverTable.Threads[static_cast<size_t>(index)] = thread.get();
    DriverTable.DriverCount = index + 1;
    // Now owned by the table; receiving starts once both are in their slots,
    // so that no code finds a slot still empty.
    driver.release()->StartReceiving();
    thread.release();
    return index;
}

void RemoveLastDriver() noexcept
{
    const auto slot = static_cast<size_t>(--DriverTable.DriverCount);
    TBelvor& driver = *DriverTable.Drivers[slot].load();
    TBelvorThread& thread = *DriverTable.Threads[slot].load();
    // Stop delivery of what is queued, then reception; the delivery thread may
    // still finish the pass it is in, so the driver outlives it.
    thread.Terminate();
    driver.Close();
    thread.Wake();
    thread.WaitFor();
    std::unique_ptr<TBelvor> gone;
    {
        std::lock_guard<std::mutex> guard(gReadLock);
        gone = Vacate(DriverTable.Drivers[slot]);
    }
    gone.reset();
    Vacate(DriverTable.Threads[slot]).reset();
}

bool ReadDriver(int32_t index, void (*read)(const TBelvor&, void*), void* context) noexcept
{
    if (index < 0 || index >= kMaxDrivers)
        return false;
    std::lock_guard<std::mutex> guard(gReadLock);
    const TBelvor* driver = DriverTable.Drivers[static_cast<size_t>(index)].load();
    if (!driver)
        return false;
    read(*driver, context);
    return true;
}

} // namespace belvor
