#include "serial/LineSession.h"

#include "platform/errors.h"

namespace belvor {

namespace {

constexpr uint32_t kControlFlagsKept = 0x0000CFFF; // RTS control off, bits 16-31 cleared

constexpr platform::CommTimeouts kWorkerTimeouts{
    0xFFFFFFFFu, // reads return at once with what has arrived
    0,           0, 0, 20000,
};

} // namespace

bool MergeLineSettings(platform::SerialDevice& device, platform::ControlBlock& block, uint32_t baudRate,
                       uint16_t parity, uint8_t dataBits, uint8_t stopBits)
{
    (void)device.GetState(block);
    if (stopBits != kKeepStopBits) {
        if (stopBits == 0)
            stopBits = 1;
        else if (stopBits > 2)
            stopBits = 2;
    }
    if (baudRate != kKeepBaudRate)
        block.BaudRate = baudRate;
    if (parity != kKeepParity)
        block.Parity = static_cast<uint8_t>(parity & 0xFF);
    if (dataBits != kKeepDataBits)
        block.ByteSize = dataBits;
    if (stopBits != kKeepStopBits)
        block.StopBits = stopBits == 1 ? 0 : 2; // one stop bit, or two; never one and a half
    block.Flags &= kControlFlagsKept;
    return device.SetState(block);
}

std::unique_ptr<LineSession> LineSession::Reopen(const LineParams& line)
{
    uint32_t error = 0;
    const std::string where = line.Place.Locate ? line.Place.Locate(line.PortNumber) : line.Place.Where;
    auto device = platform::OpenSerialDevice(line.PortNumber, where, error);
    if (!device || !device->Setup(line.InQueue, line.OutQueue))
        return nullptr;
    auto session = std::make_unique<LineSession>(std::move(device));
    if (!session->Merge(line.BaudRate, line.Parity, line.DataBits, line.StopBits))
        return nullptr;
    return session;
}

uint32_t LineSession::RefreshStatus()
{
    uint32_t errors = 0;
    uint32_t waiting = 0;
    if (!FDevice->ClearError(errors, waiting))
        waiting = 0;
    return waiting;
}

void LineSession::Arm(uint32_t mask)
{
    FMask = mask;
    (void)FDevice->SetMask(mask);
    (void)FDevice->SetTimeouts(kWorkerTimeouts);
}

void LineSession::Look()
{
    if (FDevice->WaitEvent(FEvents))
        return;
    const uint32_t error = FDevice->LastError();
    // Drivers that refuse part of the mask: drop that part once and go on
    // with the rest, so that received bytes are still reported.
    if (error == platform::kErrorInvalidParameter && (FMask & kUnnamedEventBit)) {
        FMask &= ~kUnnamedEventBit;
        (void)FDevice->SetMask(FMask);
    } else if (error == platform::kErrorNotSupported && (FMask & kModemEventBits)) {
        FMask &= ~kModemEventBits;
        (void)FDevice->SetMask(FMask);
    }
    // A wait in flight (kErrorIoPending) reports its mask when it completes.
}

void LineSession::Interrupt()
{
    (void)FDevice->SetMask(0); // ends a wait in flight
    FDevice->Wake();           // and a worker asleep until news
}

} // namespace belvor
