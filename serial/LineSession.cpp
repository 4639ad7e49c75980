#include "serial/LineSession.h"

namespace belvor {

platform::LineConfig LineConfigOf(uint32_t baudRate, uint16_t parity, uint8_t dataBits, uint8_t stopBits)
{
    platform::LineConfig config;
    if (baudRate != kKeepBaudRate)
        config.BaudRate = baudRate;
    if (parity != kKeepParity)
        config.Parity = static_cast<uint8_t>(parity & 0xFF);
    if (dataBits != kKeepDataBits)
        config.DataBits = dataBits;
    if (stopBits != kKeepStopBits)
        config.StopBits = stopBits >= 2 ? 2 : 1; // 0 counts as one
    return config;
}

std::unique_ptr<LineSession> LineSession::Reopen(const LineParams& line)
{
    uint32_t error = 0;
    const std::string where = line.Place.Locate ? line.Place.Locate(line.PortNumber) : line.Place.Where;
    auto device = platform::OpenSerialDevice(line.PortNumber, where, error);
    if (!device || !device->SetQueueSizes(line.InQueue, line.OutQueue))
        return nullptr;
    auto session = std::make_unique<LineSession>(std::move(device));
    if (!session->Merge(line.BaudRate, line.Parity, line.DataBits, line.StopBits))
        return nullptr;
    return session;
}

uint32_t LineSession::RefreshStatus(platform::LineErrors& errors)
{
    uint32_t waiting = 0;
    errors = {};
    if (!FDevice->Status(waiting, errors))
        waiting = 0;
    return waiting;
}

} // namespace belvor
