#include "platform/win32/overlapped_op.h"

#include "platform/win32/comm_calls.h"
#include "platform/win32/handles.h"

namespace belvor::platform {

bool OverlappedOp::Open(HANDLE file, OVERLAPPED& record)
{
    FFile = file;
    FRecord = &record;
    record.hEvent = TrackHandle(Comm().CreateEvent(nullptr, TRUE, FALSE, nullptr));
    return record.hEvent != nullptr;
}

void OverlappedOp::Close()
{
    if (FRecord && FRecord->hEvent)
        CloseTrackedHandle(FRecord->hEvent);
}

void OverlappedOp::Prepare(uint32_t generation)
{
    FRecord->Offset = FRecord->OffsetHigh = 0;
    FGeneration = generation;
    FCancelledHere = false;
    FInFlight = true;
}

OpEnd OverlappedOp::Poll(DWORD& count, DWORD& error)
{
    if (Comm().GetOverlappedResult(FFile, FRecord, &count, FALSE)) {
        FInFlight = false;
        return OpEnd::Done;
    }
    error = GetLastError();
    if (error == ERROR_IO_INCOMPLETE)
        return OpEnd::Pending;
    FInFlight = false;
    return OpEnd::Failed;
}

bool OverlappedOp::AwaitEnd(DWORD ms) const
{
    return Comm().WaitForSingleObject(FRecord->hEvent, ms) == WAIT_OBJECT_0;
}

void OverlappedOp::Cancel()
{
    // From any thread: the operation may have been started by another.
    (void)Comm().CancelIoEx(FFile, FRecord);
    FCancelledHere = true;
}

void OverlappedOp::ResetSignal()
{
    (void)Comm().ResetEvent(FRecord->hEvent);
}

bool OverlappedOp::Settle()
{
    if (!AwaitEnd(kSettleLimitMs)) {
        Cancel();
        if (!AwaitEnd(kSettleLimitMs))
            return false;
    }
    DWORD ignored = 0;
    return Comm().GetOverlappedResult(FFile, FRecord, &ignored, FALSE) ||
           GetLastError() != ERROR_IO_INCOMPLETE;
}

bool OverlappedOp::EndsAfterClose() const
{
    return !InFlight() || AwaitEnd(kSettleLimitMs);
}

} // namespace belvor::platform
