// The scanners the bridge owns, through the library's exports: made in the
// order given, destroyed newest first. Their codes and statuses are copied
// on the drivers' threads and handed to the hub on the server's thread
// through an Intake.
#pragma once

#include "tools/bridge/beast.h"
#include "tools/bridge/hub.h"
#include "tools/bridge/intake.h"
#include "tools/host/host.h"

#include <string>
#include <vector>

namespace belvor::bridge {

class ScannerSet {
public:
    ScannerSet(const BelvorFunctions& belvor, asio::io_context& io, Hub& hub);
    ~ScannerSet();
    ScannerSet(const ScannerSet&) = delete;
    ScannerSet& operator=(const ScannerSet&) = delete;

    // A driver for each port that can be opened; the others are reported as
    // lost and tried again every second until they open.
    void Open(const std::vector<uint32_t>& ports);

    // Every port's statistics: the drivers', then those not open yet (lost,
    // with the system's reason).
    std::vector<ScannerReport> Reports() const;

private:
    static void BELVOR_CALL OnCode(int32_t driver, const unsigned char* data, uint32_t length, void* context);
    static void BELVOR_CALL OnScan(const BelvorScan* scan, void* context);
    // Copies a code to the hub through the intake.
    void PassOn(int32_t driver, ScannedCode code);
    static void BELVOR_CALL OnStatus(int32_t driver, int32_t status, uint32_t detail, void* context);
    BelvorStats Stats(int32_t driver) const;
    // Tries the ports not open yet again, and again a second later while any is left.
    void RetryLater();
    void Retry();

    // A port whose driver could not be made yet: the hub knows it by a key of its own.
    struct Waiting {
        uint32_t port;
        int32_t key;
        uint32_t error;
    };

    BelvorFunctions belvor_;
    Hub& hub_;
    Intake intake_;
    std::vector<std::pair<int32_t, uint32_t>> drivers_; // index and port
    std::vector<Waiting> waiting_;
    asio::steady_timer retry_;
};

} // namespace belvor::bridge
