#include "tools/bridge/scanner_set.h"

#include <chrono>

namespace belvor::bridge {

ScannerSet::ScannerSet(const BelvorFunctions& belvor, asio::io_context& io, Hub& hub)
    : belvor_(belvor), hub_(hub), intake_(io)
{
}

ScannerSet::~ScannerSet()
{
    intake_.Open(); // the server's thread has stopped: a driver waiting on it would never be destroyed
    while (!drivers_.empty()) {
        belvor_.DestroyDriver();
        drivers_.pop_back();
    }
    belvor_.SetCodeProc(nullptr, nullptr);
    belvor_.SetStatusProc(nullptr, nullptr);
}

bool ScannerSet::Open(const std::vector<uint32_t>& ports, std::string& error)
{
    belvor_.SetCodeProc(&ScannerSet::OnCode, this);
    belvor_.SetStatusProc(&ScannerSet::OnStatus, this);
    for (const uint32_t port : ports) {
        const int32_t driver = belvor_.InitDriver(port, nullptr);
        if (driver < 0) {
            error = "cannot open COM" + std::to_string(port) + ": " + LastErrorText();
            return false;
        }
        drivers_.emplace_back(driver, port);
        hub_.AddScanner(driver, port, StateName(Stats(driver).state));
    }
    return true;
}

std::vector<ScannerReport> ScannerSet::Reports() const
{
    std::vector<ScannerReport> reports;
    for (const auto& [driver, port] : drivers_)
        reports.push_back(ScannerReport{port, Stats(driver)});
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

void BELVOR_CALL ScannerSet::OnCode(int32_t driver, const unsigned char* data, uint32_t length, void* context)
{
    // Copied here, rendered on the server's thread: a driver never waits for a client.
    auto* self = static_cast<ScannerSet*>(context);
    const auto received = std::chrono::system_clock::now();
    try {
        self->intake_.Push([hub = &self->hub_, driver, bytes = std::string(data, data + length), received] {
            hub->OnCode(driver, bytes, received);
        });
    } catch (...) {
        // Out of memory: the code is lost to the clients, as it would be to a full queue.
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
