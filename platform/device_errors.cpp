#include "platform/device_errors.h"

namespace belvor::platform {

namespace {

struct ThreadError {
    const DeviceErrors* Device = nullptr;
    uint32_t Code = 0;
};
thread_local ThreadError tLastError;

} // namespace

bool DeviceErrors::Fail(uint32_t code)
{
    tLastError = {this, code};
    FLatest.store(code);
    return false;
}

uint32_t DeviceErrors::Last() const
{
    return tLastError.Device == this ? tLastError.Code : FLatest.load();
}

} // namespace belvor::platform
