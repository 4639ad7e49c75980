// One overlapped operation on a file (a WaitCommEvent or a ReadFile), at most
// one at a time: the record the kernel fills, with a manual-reset event of its
// own, whether the operation is in flight, whether this side cancelled it, and
// the owner's purge count when it started. The record lives where the owner
// puts it: the kernel may write into it until the operation is seen to end, so
// an owner whose operation will not end leaves that memory behind.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

namespace belvor::platform {

// How long a cancelled operation is given to end: under Wine mostly well under
// a millisecond, at worst a few (bench/serial_read_bench).
inline constexpr DWORD kSettleLimitMs = 40;

enum class OpEnd { Pending, Done, Failed };

class OverlappedOp {
public:
    // Binds the operation to file and record and makes the record's event;
    // false when the event could not be made.
    bool Open(HANDLE file, OVERLAPPED& record);
    // Closes the record's event, once the operation has ended or is abandoned.
    void Close();

    // Starts it with call(file, record). It is in flight from then on until
    // Poll (or Taken, for one that ended at once) takes its end. Done: it
    // ended at once; Pending: it goes on; Failed: it did not start (error).
    template <typename Call> OpEnd Start(uint32_t generation, DWORD& error, Call call)
    {
        Prepare(generation);
        if (call(FFile, FRecord))
            return OpEnd::Done;
        error = GetLastError();
        if (error == ERROR_IO_PENDING)
            return OpEnd::Pending;
        FInFlight = false;
        return OpEnd::Failed;
    }
    // Its end without waiting, taken when there: the count (also of one that
    // failed) and, when it failed or goes on, the error.
    OpEnd Poll(DWORD& count, DWORD& error);
    // The owner took the end of one that ended at once without Poll.
    void Taken() { FInFlight = false; }
    // Whether its event says that it has ended, waiting up to ms for that.
    bool AwaitEnd(DWORD ms) const;
    void Cancel();
    void ResetSignal();
    // Waits, bounded, for it to end, cancelling it if need be; false when it
    // still has not.
    bool Settle();
    // After the file is closed (which cancels what is in flight): false when
    // it is in flight and does not end within the bound, so that its record
    // must be abandoned.
    bool EndsAfterClose() const;

    bool InFlight() const { return FInFlight.load(); }
    bool Ended() const { return HasOverlappedIoCompleted(FRecord); }
    bool CancelledHere() const { return FCancelledHere; }
    // The purge count it started with: a purge since was meant to drop its bytes.
    uint32_t Generation() const { return FGeneration; }
    HANDLE Event() const { return FRecord ? FRecord->hEvent : nullptr; }
    const OVERLAPPED* Record() const { return FRecord; }

private:
    void Prepare(uint32_t generation);

    HANDLE FFile = INVALID_HANDLE_VALUE;
    OVERLAPPED* FRecord = nullptr;
    std::atomic<bool> FInFlight{false};
    bool FCancelledHere = false;
    uint32_t FGeneration = 0;
};

} // namespace belvor::platform
