#include "platform/win32/line_settings.h"

#include "platform/win32/comm_calls.h"

#include <cstddef>
#include <cstring>

namespace belvor::platform {

namespace {

// The DCB keeps its flags as a bitfield: the 32-bit word right after BaudRate.
constexpr size_t kFlagWordOffset = offsetof(DCB, BaudRate) + sizeof(DWORD);
static_assert(offsetof(DCB, wReserved) == kFlagWordOffset + sizeof(uint32_t), "DCB flag word is not 32 bits");

uint32_t FlagWord(const DCB& dcb)
{
    uint32_t word = 0;
    std::memcpy(&word, reinterpret_cast<const unsigned char*>(&dcb) + kFlagWordOffset, sizeof word);
    return word;
}

void SetFlagWord(DCB& dcb, uint32_t word)
{
    std::memcpy(reinterpret_cast<unsigned char*>(&dcb) + kFlagWordOffset, &word, sizeof word);
}

constexpr COMMTIMEOUTS kBlockingRead{0, 0, 0, 0, 0};
constexpr COMMTIMEOUTS kWorkerTimeouts{
    0xFFFFFFFFu, // reads return at once with what has arrived
    0,           0, 0, 20000,
};

} // namespace

LineConfig ConfigOf(const DCB& dcb)
{
    LineConfig config{dcb.BaudRate, dcb.ByteSize, dcb.Parity, std::nullopt};
    if (dcb.StopBits != ONE5STOPBITS)
        config.StopBits = dcb.StopBits == TWOSTOPBITS ? 2 : 1;
    return config;
}

void MergeLineConfig(DCB& dcb, const LineConfig& config)
{
    dcb.DCBlength = sizeof(DCB);
    if (config.BaudRate)
        dcb.BaudRate = *config.BaudRate;
    if (config.DataBits)
        dcb.ByteSize = *config.DataBits;
    if (config.Parity)
        dcb.Parity = *config.Parity;
    if (config.StopBits)
        dcb.StopBits = *config.StopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
    SetFlagWord(dcb, FlagWord(dcb) & kControlFlagsKept);
    // Windows checks parity, and reports CE_RXPARITY, only with fParity set.
    if (config.Parity && *config.Parity != NOPARITY)
        dcb.fParity = TRUE;
}

uint32_t EventMask(const RefusedWatches& refused)
{
    return kFullEventMask & ~(refused.ModemLines ? kModemEventBits : 0) &
           ~(refused.VendorEvent ? kVendorEventBit : 0);
}

RefusedWatches RefusalAfter(const RefusedWatches& refused, uint32_t error)
{
    // Each is dropped once, and the rest goes on: received bytes are still reported.
    RefusedWatches after = refused;
    if (error == ERROR_INVALID_PARAMETER && !refused.VendorEvent)
        after.VendorEvent = true;
    else if (error == ERROR_NOT_SUPPORTED && !refused.ModemLines)
        after.ModemLines = true;
    return after;
}

void LineSettings::Bind(HANDLE file)
{
    FFile = file;
    FDcb.DCBlength = sizeof(DCB);
    (void)Comm().GetCommState(FFile, &FDcb);
}

Result<> LineSettings::SetQueueSizes(uint32_t inQueue, uint32_t outQueue)
{
    if (Comm().SetupComm(FFile, inQueue, outQueue))
        return {};
    return Failure{GetLastError()};
}

Result<LineConfig> LineSettings::Read()
{
    std::lock_guard<std::mutex> guard(FLock);
    FDcb.DCBlength = sizeof(DCB);
    if (!Comm().GetCommState(FFile, &FDcb))
        return Failure{GetLastError()};
    return ConfigOf(FDcb);
}

Result<> LineSettings::Configure(const LineConfig& config)
{
    std::lock_guard<std::mutex> guard(FLock);
    // A line that cannot be read is set from the DCB last read.
    FDcb.DCBlength = sizeof(DCB);
    (void)Comm().GetCommState(FFile, &FDcb);
    MergeLineConfig(FDcb, config);
    const BOOL done = Comm().SetCommState(FFile, &FDcb);
    if (done == 1)
        return {};
    return Failure{done == 0 ? GetLastError() : ERROR_GEN_FAILURE};
}

bool LineSettings::SetMask(uint32_t mask)
{
    if (!Comm().SetCommMask(FFile, mask))
        return false;
    FMask = mask;
    return true;
}

void LineSettings::Arm(const RefusedWatches& refused)
{
    {
        std::lock_guard<std::mutex> guard(FLock);
        FRefused = refused;
    }
    (void)SetMask(EventMask(refused));
    COMMTIMEOUTS worker = kWorkerTimeouts;
    if (Comm().SetCommTimeouts(FFile, &worker))
        FTimeouts = worker;
}

void LineSettings::Narrow(uint32_t error)
{
    std::lock_guard<std::mutex> guard(FLock);
    const RefusedWatches after = RefusalAfter(FRefused, error);
    if (after == FRefused)
        return;
    FRefused = after;
    (void)SetMask(EventMask(after));
}

RefusedWatches LineSettings::Refused() const
{
    std::lock_guard<std::mutex> guard(FLock);
    return FRefused;
}

void LineSettings::AskNoEvents()
{
    (void)SetMask(0);
}

bool LineSettings::BlockReads()
{
    COMMTIMEOUTS blocking = kBlockingRead;
    return Comm().SetCommTimeouts(FFile, &blocking);
}

void LineSettings::RestoreTimeouts()
{
    COMMTIMEOUTS worker = FTimeouts;
    (void)Comm().SetCommTimeouts(FFile, &worker);
}

} // namespace belvor::platform
