#include "driver/Belvor.h"

#include "logging/Logger.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace belvor {

TBelvor::TBelvor(uint8_t portNumber) : TBelvor(portNumber, LoadDriverSettings(portNumber)) {}

TBelvor::TBelvor(uint8_t portNumber, const TDriverSettings& settings)
    : TComPort(portNumber, {settings.PortPath, &ConfiguredPortPath})
{
    try {
        SetBaudRate(settings.BaudRate);
        SetParity(settings.Parity);
        SetDataBits(settings.DataBits);
        SetStopBits(settings.StopBits);
        FState = kCollecting;
        Purge();
        // The log's records in the order they always came: the logger's own
        // (first driver only), then what the settings ignored or noted.
        InitLogger(settings.LogDir);
        TakeSettings(settings);
    } catch (...) {
        Close();
        throw;
    }
}

TBelvor::~TBelvor()
{
    // The worker must be gone before the queue and its lock are.
    Close();
}

void TBelvor::TakeSettings(const TDriverSettings& settings)
{
    FAllow = settings.Allow;
    FAssembler.emplace(settings.Allowed, settings.End, settings.MaxLength, settings.AimIds);
    FQueue.SetLimit(settings.QueueLimit);
    SetReconnect(settings.Reconnect);
    SetWakeOnEvent(settings.WakeOnEvent);
    for (const std::string& ignored : settings.Ignored)
        LogMessage(3, "Belvor.ini: " + ignored + " ignored");
    for (const std::string& note : settings.Notes)
        LogTextAfterValue(note);
}

void TBelvor::FillStats(BelvorStats& out, uint32_t size) const
{
    BelvorStats all{};
    const uint32_t known = size < sizeof all ? size : static_cast<uint32_t>(sizeof all);
    all.size = known;
    all.port = PortNumber();
    all.state = FStats.State.load();
    all.last_error = FStats.LastError.load();
    all.codes_delivered = FStats.CodesDelivered.Get();
    all.codes_undelivered = FStats.CodesUndelivered.Get();
    all.codes_cut = FStats.CodesCut.Get() + FStats.CodesCounted.Get();
    all.codes_dropped = FQueue.DroppedTotal();
    all.bytes_received = FStats.BytesReceived.Get();
    all.bytes_refused = FStats.BytesRefused.Get();
    all.overruns = FStats.Overruns.Get();
    all.parity_errors = FStats.ParityErrors.Get();
    all.framing_errors = FStats.FramingErrors.Get();
    all.breaks = FStats.Breaks.Get();
    all.losses = FStats.Losses.Get();
    all.returns = FStats.Returns.Get();
    all.queue_length = FQueue.Length();
    all.queue_high = FQueue.HighMark();
    const int64_t last = FStats.LastCodeMs.load();
    all.ms_since_code = last < 0 ? -1 : platform::SteadyMilliseconds() - last;
    all.reader_stalls = FStats.ReaderStalls.Get();
    all.reader_stalled = FStats.ReaderStalled.load() ? 1 : 0;
    all.ms_since_round = static_cast<uint32_t>(std::min<int64_t>(ReaderQuietMs(), UINT32_MAX));
    all.codes_unidentified = FStats.CodesUnidentified.Get();
    std::memcpy(&out, &all, known);
}

int TBelvor::WatchReader(int64_t stallMs, uint32_t& quietMs, int64_t& nextMs) const noexcept
{
    // One look for both: the time told is that of the round found stuck.
    const PortWorker::Sight sight = ReaderSight();
    const bool stalled = sight.OverdueMs >= stallMs;
    nextMs = stalled ? stallMs : stallMs - sight.OverdueMs;
    if (stalled == FStats.ReaderStalled.load())
        return 0;
    FStats.ReaderStalled.store(stalled);
    if (!stalled)
        return -1;
    FStats.ReaderStalls.Add();
    // Detail 0 says "running again".
    quietMs = static_cast<uint32_t>(std::clamp<int64_t>(sight.QuietMs, 1, UINT32_MAX));
    return 1;
}

void TBelvor::WakeDelivery() const
{
    if (platform::Event* wake = FDeliveryWake.load())
        wake->Set();
}

void TBelvor::Report(TQueuedItem::Kind what, uint32_t value) noexcept
{
    try {
        if (Enqueue({what, false, value, {}}))
            WakeDelivery();
    } catch (...) {
        // Out of memory: the report is lost, reception does not stop.
    }
}

void TBelvor::LineLost(uint32_t error)
{
    // A half code must never reach the host: the rest of it is gone with the device.
    FAssembler->Reset();
    FState = kCollecting;
    FStats.Losses.Add();
    FStats.LastError.store(error);
    FStats.State.store(BELVOR_PORT_LOST);
    Report(TQueuedItem::Lost, error);
}

void TBelvor::LineBack()
{
    FStats.Returns.Add();
    FStats.State.store(BELVOR_PORT_OPEN);
    Report(TQueuedItem::Back, 0);
}

void TBelvor::LineGone(uint32_t error)
{
    FStats.Losses.Add();
    FStats.LastError.store(error);
    FStats.State.store(BELVOR_PORT_GONE);
    Report(TQueuedItem::Gone, error);
}

void TBelvor::LineErrorsSeen(const platform::LineErrors& errors)
{
    // A full input queue loses characters as an overrun does: one look's reports of
    // both are taken as the same loss.
    FStats.Overruns.Add(std::max(errors.Overrun, errors.QueueOverflow));
    FStats.ParityErrors.Add(errors.Parity);
    FStats.FramingErrors.Add(errors.Framing);
    FStats.Breaks.Add(errors.Break);
}

void TBelvor::ProcessByte()
{
    const uint8_t byte = ReadChar();
    // Counted as taken: a count handed over again after a throw is not counted twice.
    FStats.BytesReceived.Add();
    switch (FAssembler->Take(byte)) {
    case TCodeAssembler::TStep::Complete:
        FState = kComplete;
        break;
    case TCodeAssembler::TStep::Refused:
        FStats.BytesRefused.Add();
        break;
    case TCodeAssembler::TStep::Collecting:
        break;
    }
}

void TBelvor::DataReceived(int32_t count)
{
    // One wake for all the codes of this call, after the last of them: the
    // delivery thread empties the queue on every wake. Also when a byte's
    // read throws, so that the codes queued before it are not left waiting.
    struct Wake {
        const TBelvor& Driver;
        bool Queued = false;
        ~Wake()
        {
            if (Queued)
                Driver.WakeDelivery();
        }
    } wake{*this};
    for (int32_t i = 0; i < count; ++i) {
        // The port is closing: finish now rather than hand over codes nobody
        // will deliver, so that the stop never waits for a long burst.
        if (StopRequested())
            return;
        ProcessByte();
        if (FState == kCollecting)
            continue;
        TQueuedItem code = FAssembler->TakeCode();
        FStats.CodeRead();
        if (code.Cut)
            FStats.CodesCut.Add();
        FState = kCollecting;
        if (Enqueue(std::move(code)))
            wake.Queued = true;
    }
}

} // namespace belvor
