#include "platform/win32/comm_file.h"

#include "platform/win32/comm_calls.h"
#include "platform/win32/handles.h"
#include "platform/win32/serial_device_testing.h"
#include "platform/win32/serial_reads.h"

#include <cstdio>
#include <mutex>
#include <utility>

namespace belvor::platform {

namespace {

std::mutex gKeptLock;
KeptReadForTests gKept;

} // namespace

Result<std::unique_ptr<CommFile>> CommFile::Open(uint16_t portNumber)
{
    auto file = std::make_unique<CommFile>();
    if (const Result<> taken = file->Take(portNumber); !taken)
        return Failure{taken.Error()}; // its destructor has released what it took
    return file;
}

Result<> CommFile::Take(uint16_t portNumber)
{
    char name[16];
    std::snprintf(name, sizeof name, "\\\\.\\COM%u", static_cast<unsigned>(portNumber));
    FHandle = TrackHandle(Comm().CreateFile(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr));
    if (FHandle == INVALID_HANDLE_VALUE)
        return Failure{GetLastError()};
    FIo = std::make_unique<IoRecords>();
    const bool read = FRead.Open(FHandle, FIo->Read);
    const bool wait = FWait.Open(FHandle, FIo->Wait);
    const bool sleeping = FSleepingRead.Open(FHandle, FIo->SleepingRead);
    FWakeEvent = TrackHandle(Comm().CreateEvent(nullptr, FALSE, FALSE, nullptr));
    if (!read || !wait || !sleeping || !FWakeEvent)
        return Failure{GetLastError()};
    return {};
}

bool CommFile::SettleAll()
{
    bool settled = true;
    if (FWait.InFlight()) {
        (void)Comm().SetCommMask(FHandle, 0); // ends the wait with an empty mask
        settled = FWait.Settle();
    }
    if (FRead.InFlight())
        settled = EndReadOnClose() && FRead.Settle() && settled;
    if (FSleepingRead.InFlight())
        settled = FSleepingRead.Settle() && settled;
    return settled;
}

CommFile::~CommFile()
{
    bool settled = !FIo || SettleAll();
    if (FIo && FRead.InFlight() && !EndReadOnClose()) {
        // A test's stand-in for a cancel that never ends: the test closes the
        // handle later (Wine's reads need the very handle they started on).
        std::lock_guard<std::mutex> guard(gKeptLock);
        gKept = {std::exchange(FHandle, INVALID_HANDLE_VALUE), FRead.Record()};
    }
    if (FHandle != INVALID_HANDLE_VALUE)
        CloseTrackedHandle(FHandle); // also cancels whatever is still in flight
    if (FWakeEvent)
        CloseTrackedHandle(FWakeEvent);
    if (!FIo)
        return;
    // Give the cancellations a last chance before abandoning the records.
    settled = settled || (FWait.EndsAfterClose() && FRead.EndsAfterClose() && FSleepingRead.EndsAfterClose());
    FRead.Close();
    FWait.Close();
    FSleepingRead.Close();
    if (!settled)
        (void)FIo.release(); // the kernel may still write into the records: leave them
}

KeptReadForTests TakeKeptReadForTests()
{
    std::lock_guard<std::mutex> guard(gKeptLock);
    return std::exchange(gKept, KeptReadForTests{});
}

} // namespace belvor::platform
