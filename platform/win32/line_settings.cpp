#include "platform/win32/line_settings.h"

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

} // namespace

ControlBlock ControlBlockOf(const DCB& dcb)
{
    return {dcb.BaudRate, FlagWord(dcb), dcb.ByteSize, dcb.Parity, dcb.StopBits};
}

void MergeControlBlock(DCB& dcb, const ControlBlock& block)
{
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = block.BaudRate;
    SetFlagWord(dcb, block.Flags);
    dcb.ByteSize = block.ByteSize;
    dcb.Parity = block.Parity;
    dcb.StopBits = block.StopBits;
}

COMMTIMEOUTS NativeTimeouts(const CommTimeouts& timeouts)
{
    return {timeouts.ReadIntervalTimeout, timeouts.ReadTotalTimeoutMultiplier,
            timeouts.ReadTotalTimeoutConstant, timeouts.WriteTotalTimeoutMultiplier,
            timeouts.WriteTotalTimeoutConstant};
}

void LineSettings::Bind(HANDLE file)
{
    FFile = file;
    FDcb.DCBlength = sizeof(DCB);
    (void)GetCommState(FFile, &FDcb);
}

bool LineSettings::Setup(uint32_t inQueue, uint32_t outQueue, uint32_t& error)
{
    if (SetupComm(FFile, inQueue, outQueue))
        return true;
    error = GetLastError();
    return false;
}

bool LineSettings::GetState(ControlBlock& block, uint32_t& error)
{
    std::lock_guard<std::mutex> guard(FDcbLock);
    FDcb.DCBlength = sizeof(DCB);
    if (!GetCommState(FFile, &FDcb)) {
        error = GetLastError();
        return false;
    }
    block = ControlBlockOf(FDcb);
    return true;
}

bool LineSettings::SetState(const ControlBlock& block, uint32_t& error)
{
    std::lock_guard<std::mutex> guard(FDcbLock);
    MergeControlBlock(FDcb, block);
    const BOOL done = SetCommState(FFile, &FDcb);
    if (done == 1)
        return true;
    error = done == 0 ? GetLastError() : ERROR_GEN_FAILURE;
    return false;
}

bool LineSettings::SetMask(uint32_t mask, uint32_t& error)
{
    if (!SetCommMask(FFile, mask)) {
        error = GetLastError();
        return false;
    }
    FMask = mask;
    return true;
}

bool LineSettings::SetTimeouts(const CommTimeouts& timeouts, uint32_t& error)
{
    COMMTIMEOUTS native = NativeTimeouts(timeouts);
    if (!SetCommTimeouts(FFile, &native)) {
        error = GetLastError();
        return false;
    }
    FTimeouts = native;
    return true;
}

bool LineSettings::BlockReads()
{
    COMMTIMEOUTS blocking = kBlockingRead;
    return SetCommTimeouts(FFile, &blocking);
}

void LineSettings::RestoreTimeouts()
{
    COMMTIMEOUTS worker = FTimeouts;
    (void)SetCommTimeouts(FFile, &worker);
}

} // namespace belvor::platform
