// The cost of reading one code: its symbology identifier and its GS1 data, as
// the delivery thread would before the scan callback. A GS1 DataMatrix of 50
// bytes (GTIN, expiry, batch, serial), an EAN-13 and a Digital Link QR code.
// Plain timing, so that the Windows build runs it under Wine as it is.
#include "driver/ScanReading.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using namespace belvor;

volatile size_t gSink = 0;

struct TTimes {
    double Fastest, Median; // of 15 rounds, nanoseconds per code
};

// The fastest round shows the work itself on a machine shared with others; the median what it costs there.
TTimes NanosecondsPerCode(const std::string& code)
{
    constexpr int kPerRound = 20000;
    std::vector<double> rounds;
    for (int round = 0; round < 15; ++round) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kPerRound; ++i) {
            const TScanReading reading = ReadScan(code);
            gSink = gSink + reading.Gs1.Fields.size();
        }
        const std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
        rounds.push_back(took.count() / kPerRound);
    }
    std::sort(rounds.begin(), rounds.end());
    return {rounds.front(), rounds[rounds.size() / 2]};
}

} // namespace

int main()
{
    const struct {
        const char* name;
        std::string code;
    } codes[] = {
        {"gs1_datamatrix_50_bytes", "]d2"
                                    "0109521234543213"
                                    "17260131"
                                    "10ABC1234567"
                                    "\x1D"
                                    "21SN0042XY"},
        {"ean13", "]E05901234123457"},
        {"digital_link_qr", "]Q1https://id.gs1.org/01/09521234543213/10/ABC123?17=260131"},
    };
    for (const auto& c : codes) {
        const TTimes times = NanosecondsPerCode(c.code);
        std::printf("%s (%zu bytes): %.0f ns per code fastest, %.0f median\n", c.name, c.code.size(),
                    times.Fastest, times.Median);
    }
    return 0;
}
