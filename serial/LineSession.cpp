#include "serial/LineSession.h"

namespace belvor {

platform::LineConfig LineConfigOf(const LineParams& line)
{
    platform::LineConfig config{.BaudRate = line.BaudRate, .DataBits = line.DataBits, .Parity = line.Parity};
    if (line.StopBits)
        config.StopBits = static_cast<uint8_t>(*line.StopBits >= 2 ? 2 : 1);
    return config;
}

std::unique_ptr<LineSession> LineSession::Reopen(const LineParams& line)
{
    const std::string where = line.Place.Locate ? line.Place.Locate(line.PortNumber) : line.Place.Where;
    auto device = platform::OpenSerialDevice(line.PortNumber, where);
    if (!device || !(*device)->SetQueueSizes(line.InQueue, line.OutQueue))
        return nullptr;
    auto session = std::make_unique<LineSession>(std::move(*device));
    if (!session->Merge(LineConfigOf(line)))
        return nullptr;
    return session;
}

platform::Result<uint32_t> LineSession::RefreshStatus(platform::LineErrors& errors)
{
    const platform::Result<platform::InputState> state = FDevice->Status();
    if (!state) {
        errors = {};
        return platform::Failure{state.Error()};
    }
    errors = state->Errors;
    return state->Waiting;
}

} // namespace belvor
