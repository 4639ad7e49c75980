#include "programs/bridge/scanner_set.h"
#include "programs/bridge/messages.h"

#include "platform/errors.h"

#include <algorithm>
#include <cstdio>

namespace belvor::bridge {

namespace {

// The hub's key for a port with no driver yet: below every driver index.
int32_t WaitingKey(uint32_t port)
{
    return -1 - static_cast<int32_t>(port);
}

} // namespace

bool RetryPlan::Due(Clock::time_point now, bool free)
{
    freed_ = free && !free_;
    free_ = free;
    return freed_ || now - tried_ >= (free ? wait_ : kReminder);
}

void RetryPlan::Failed(Clock::time_point now)
{
    // A refusal that follows one while the port stayed free waits twice as long.
    wait_ = free_ && !freed_ ? std::min<Clock::duration>(2 * wait_, kReminder) : std::chrono::seconds(1);
    tried_ = now;
}

ScannerSet::ScannerSet(const BelvorFunctions& belvor, asio::io_context& io, Hub& hub, PortSystem system)
    : belvor_(belvor), hub_(hub), system_(std::move(system)), intake_(io), retry_(io)
{
}

ScannerSet::~ScannerSet()
{
    intake_.Open(); // the server's thread has stopped: a driver waiting on it would never be destroyed
    while (!drivers_.empty()) {
        belvor_.DestroyDriver();
        drivers_.pop_back();
    }
    if (belvor_.SetScanProc)
        belvor_.SetScanProc(nullptr, nullptr);
    belvor_.SetCodeProc(nullptr, nullptr);
    belvor_.SetStatusProc(nullptr, nullptr);
}

void ScannerSet::Open(const std::vector<uint32_t>& ports)
{
    // What each code is, where the library reads it; its bytes alone otherwise.
    if (belvor_.SetScanProc)
        belvor_.SetScanProc(&ScannerSet::OnScan, this);
    else
        belvor_.SetCodeProc(&ScannerSet::OnCode, this);
    belvor_.SetStatusProc(&ScannerSet::OnStatus, this);
    for (const uint32_t port : ports) {
        const int32_t driver = belvor_.InitDriver(port, nullptr);
        if (driver >= 0) {
            drivers_.emplace_back(driver, port);
            hub_.AddScanner(driver, port, StateName(Stats(driver).state));
            continue;
        }
        // Not plugged in yet, or held by another program: the others are served meanwhile.
        // Reconnect=0 keeps it as it keeps a scanner lost later: gone.
        const uint32_t error = LastErrorCode();
        const bool gone = !system_.reconnects(port);
        std::fprintf(MessageFile(), "belvor-bridge: COM%u cannot be opened%s: %s; %s\n", port,
                     gone ? "" : " yet", platform::SystemMessage(error).c_str(),
                     gone ? "not tried again (Reconnect=0)" : "opened once it can be");
        waiting_.push_back(
            {port, WaitingKey(port), error, gone, RetryPlan(system_.now(), system_.free(port))});
        hub_.AddScanner(WaitingKey(port), port, gone ? "gone" : "lost");
    }
    std::fflush(MessageFile());
    RetryLater();
}

void ScannerSet::RetryLater()
{
    if (std::all_of(waiting_.begin(), waiting_.end(), [](const Waiting& waiting) { return waiting.gone; }))
        return;
    retry_.expires_after(std::chrono::seconds(1));
    retry_.async_wait([this](beast::error_code ec) {
        if (!ec)
            Retry();
    });
}

void ScannerSet::Retry()
{
    std::erase_if(waiting_, [this](Waiting& waiting) {
        const Clock::time_point now = system_.now();
        if (waiting.gone || !waiting.plan.Due(now, system_.free(waiting.port)))
            return false;
        const int32_t driver = belvor_.InitDriver(waiting.port, nullptr);
        if (driver < 0) {
            waiting.error = LastErrorCode();
            waiting.plan.Failed(now);
            return false;
        }
        drivers_.emplace_back(driver, waiting.port);
        hub_.ScannerOpened(waiting.key, driver);
        std::fprintf(MessageFile(), "belvor-bridge: COM%u opened\n", waiting.port);
        std::fflush(MessageFile());
        return true;
    });
    RetryLater();
}

std::vector<ScannerReport> ScannerSet::Reports() const
{
    std::vector<ScannerReport> reports;
    for (const auto& [driver, port] : drivers_)
        reports.push_back(ScannerReport{port, Stats(driver)});
    for (const Waiting& waiting : waiting_) {
        ScannerReport report{waiting.port, {}};
        report.stats.size = sizeof report.stats;
        report.stats.port = waiting.port;
        report.stats.state = waiting.gone ? BELVOR_PORT_GONE : BELVOR_PORT_LOST;
        report.stats.last_error = waiting.error;
        report.stats.ms_since_code = -1;
        reports.push_back(report);
    }
    return reports;
}

BelvorStats ScannerSet::Stats(int32_t driver) const
{
    BelvorStats stats{};
    stats.size = sizeof stats;
    if (belvor_.GetDriverStats(driver, &stats) != 0)
        stats = BelvorStats{};
    return stats;
}

void ScannerSet::PassOn(int32_t driver, ScannedCode code)
{
    // Copied on the driver's thread, rendered on the server's: a driver never waits for a client.
    const auto received = std::chrono::system_clock::now();
    intake_.Push(
        [hub = &hub_, driver, code = std::move(code), received] { hub->OnCode(driver, code, received); });
}

void BELVOR_CALL ScannerSet::OnCode(int32_t driver, const unsigned char* data, uint32_t length, void* context)
{
    try {
        static_cast<ScannerSet*>(context)->PassOn(
            driver, ScannedCode(std::string_view(reinterpret_cast<const char*>(data), length)));
    } catch (...) {
        // Out of memory: the code is lost to the clients, as it would be to a full queue.
    }
}

void BELVOR_CALL ScannerSet::OnScan(const BelvorScan* scan, void* context)
{
    try {
        static_cast<ScannerSet*>(context)->PassOn(scan->driver, ScannedCode(*scan));
    } catch (...) {
        // As above.
    }
}

void BELVOR_CALL ScannerSet::OnStatus(int32_t driver, int32_t status, uint32_t detail, void* context)
{
    auto* self = static_cast<ScannerSet*>(context);
    const bool gone = self->Stats(driver).state == BELVOR_PORT_GONE;
    try {
        self->intake_.Push([hub = &self->hub_, driver, status, detail, gone] {
            hub->OnStatus(driver, status, detail, gone);
        });
    } catch (...) {
        // Out of memory: the clients miss this status; /scanners still tells.
    }
}

} // namespace belvor::bridge
