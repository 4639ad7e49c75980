// The scanners the bridge owns, through the library's exports: made in the
// order given, destroyed newest first. Their codes and statuses are copied
// on the drivers' threads and handed to the hub on the server's thread
// through an Intake.
#pragma once

#include "programs/bridge/beast.h"
#include "programs/bridge/hub.h"
#include "programs/bridge/intake.h"
#include "programs/host/host.h"

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace belvor::bridge {

using Clock = std::chrono::steady_clock;

// What the set asks of its system besides the library (the tests give their own).
struct PortSystem {
    // Whether COMn can be opened now, looked at without the library.
    std::function<bool(uint32_t port)> free;
    // Whether Belvor.ini lets the driver open COMn again once lost (Reconnect).
    std::function<bool(uint32_t port)> reconnects;
    std::function<Clock::time_point()> now;
};

// When to try again, through the library, a port whose driver could not be
// made. Each refusal is a record in the driver's log, and a port tried every
// second would push the codes' records out of it within hours. So the port is
// looked at without the library every second, and tried as soon as the look
// finds it free to open; while it stays free and refused, after 1, 2, 4 ... s
// up to an hour; and once an hour whatever the look finds, in case it looks
// where the library does not.
class RetryPlan {
public:
    static constexpr Clock::duration kReminder = std::chrono::hours(1);

    // A try that failed at now, with the port free to open or not.
    RetryPlan(Clock::time_point now, bool free) : tried_(now), free_(free) {}
    // Whether to try now, with what the look at the port found.
    bool Due(Clock::time_point now, bool free);
    // The try Due asked for failed at now.
    void Failed(Clock::time_point now);

private:
    Clock::time_point tried_;
    Clock::duration wait_ = std::chrono::seconds(1); // after the last refusal, while free
    bool free_;
    bool freed_ = false; // the last look found it free after one that did not
};

class ScannerSet {
public:
    ScannerSet(const BelvorFunctions& belvor, asio::io_context& io, Hub& hub, PortSystem system);
    ~ScannerSet();
    ScannerSet(const ScannerSet&) = delete;
    ScannerSet& operator=(const ScannerSet&) = delete;

    // A driver for each port that can be opened. The others are reported as
    // lost and tried again as their RetryPlan says, one round a second; with
    // Reconnect=0 as gone, and never again.
    void Open(const std::vector<uint32_t>& ports);
    // One round of tries: what the timer runs every second while a port waits.
    void Retry();

    // Every port's statistics: the drivers', then those not open (lost or
    // gone, with the system's reason).
    std::vector<ScannerReport> Reports() const;

private:
    static void BELVOR_CALL OnCode(int32_t driver, const unsigned char* data, uint32_t length, void* context);
    static void BELVOR_CALL OnScan(const BelvorScan* scan, void* context);
    // Copies a code to the hub through the intake.
    void PassOn(int32_t driver, ScannedCode code);
    static void BELVOR_CALL OnStatus(int32_t driver, int32_t status, uint32_t detail, void* context);
    BelvorStats Stats(int32_t driver) const;
    // A round a second later while any port is left to try.
    void RetryLater();

    // A port whose driver could not be made: the hub knows it by a key of its own.
    struct Waiting {
        uint32_t port;
        int32_t key;
        uint32_t error;
        bool gone; // Reconnect=0: never tried again
        RetryPlan plan;
    };

    BelvorFunctions belvor_;
    Hub& hub_;
    PortSystem system_;
    Intake intake_;
    std::vector<std::pair<int32_t, uint32_t>> drivers_; // index and port
    std::vector<Waiting> waiting_;
    asio::steady_timer retry_;
};

} // namespace belvor::bridge
