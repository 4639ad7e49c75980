#include "platform/win32/comm_calls.h"

#include "platform/win32/serial_device_testing.h"

namespace belvor::platform {

namespace {

constexpr CommCalls kSystemCalls{.CreateFile = &::CreateFileA,
                                 .SetupComm = &::SetupComm,
                                 .GetCommState = &::GetCommState,
                                 .SetCommState = &::SetCommState,
                                 .SetCommMask = &::SetCommMask,
                                 .SetCommTimeouts = &::SetCommTimeouts,
                                 .WaitCommEvent = &::WaitCommEvent,
                                 .ReadFile = &::ReadFile,
                                 .ClearCommError = &::ClearCommError,
                                 .PurgeComm = &::PurgeComm,
                                 .CancelIoEx = &::CancelIoEx,
                                 .GetOverlappedResult = &::GetOverlappedResult,
                                 .CreateEvent = &::CreateEventA,
                                 .SetEvent = &::SetEvent,
                                 .ResetEvent = &::ResetEvent,
                                 .WaitForSingleObject = &::WaitForSingleObject,
                                 .WaitForMultipleObjects = &::WaitForMultipleObjects,
                                 .QueryUnbiasedInterruptTime = &::QueryUnbiasedInterruptTime};

// Replaced only while no device is open.
CommCalls gCalls = kSystemCalls;

} // namespace

const CommCalls& Comm()
{
    return gCalls;
}

const CommCalls& SystemComm()
{
    return kSystemCalls;
}

int64_t CommMilliseconds()
{
    // As AwakeMilliseconds: without the time asleep or hibernating.
    ULONGLONG awake = 0;
    (void)gCalls.QueryUnbiasedInterruptTime(&awake);
    return static_cast<int64_t>(awake / 10000);
}

CommCalls ReplaceCommCallsForTests(const CommCalls* calls)
{
    const CommCalls previous = gCalls;
    gCalls = calls ? *calls : kSystemCalls;
    return previous;
}

} // namespace belvor::platform
