#include "platform/win32/comm_calls.h"

#include "platform/win32/serial_device_testing.h"

namespace belvor::platform {

namespace {

constexpr CommCalls kSystemCalls{&::CreateFileA,    &::SetupComm,       &::GetCommState,  &::SetCommState,
                                 &::SetCommMask,    &::SetCommTimeouts, &::WaitCommEvent, &::ReadFile,
                                 &::ClearCommError, &::PurgeComm,       &::CancelIoEx};

// Replaced only while no device is open.
CommCalls gCalls = kSystemCalls;

} // namespace

const CommCalls& Comm()
{
    return gCalls;
}

CommCalls ReplaceCommCallsForTests(const CommCalls* calls)
{
    const CommCalls previous = gCalls;
    gCalls = calls ? *calls : kSystemCalls;
    return previous;
}

} // namespace belvor::platform
