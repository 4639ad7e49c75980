#include "platform/win32/comm_calls.h"

#include "platform/seams.h"

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

} // namespace

const CommCalls& Comm()
{
    const CommCalls* seam = CommSeam(); // a test's, set only while no device is open
    return seam ? *seam : kSystemCalls;
}

const CommCalls& SystemComm()
{
    return kSystemCalls;
}

int64_t CommMilliseconds()
{
    // As AwakeMilliseconds: without the time asleep or hibernating.
    ULONGLONG awake = 0;
    (void)Comm().QueryUnbiasedInterruptTime(&awake);
    return static_cast<int64_t>(awake / 10000);
}

} // namespace belvor::platform
