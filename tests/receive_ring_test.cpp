// The receive ring alone: positions, the full flag, the spans offered for
// writing and the bytes read back, from every edge the ring has.
#include "serial/ReceiveRing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <tuple>

using belvor::ReceiveRing;

namespace {

constexpr uint32_t kSize = ReceiveRing::kSize;

// The n-th byte ever written; 251 is prime, so a read a ring's length off shows.
uint8_t Stamp(uint64_t n)
{
    return static_cast<uint8_t>(n % 251);
}

struct Case {
    // From a new ring: wN fills N bytes (across the end as the spans allow),
    // sN the same with a stop asked for after the first span, cN consumes N,
    // x clears, z resets.
    const char* Steps;
    uint16_t Write, Read;
    bool Full;
    uint32_t Unread;
    uint32_t Wanted; // then asked of Spans
    uint16_t Start;
    uint32_t First, Second;
};

} // namespace

TEST(ReceiveRing, EdgeCases)
{
    const Case cases[] = {
        // New, and advanced by nothing: still empty, though the positions meet.
        {"", 0, 0, false, 0, 100, 0, 8192, 0},
        {"w0", 0, 0, false, 0, 9000, 0, 8192, 0},
        // A write that exactly fills; advancing by nothing keeps it full.
        {"w8192", 0, 0, true, 8192, 1, 0, 0, 0},
        {"w8192 w0", 0, 0, true, 8192, 1, 0, 0, 0},
        {"w100 c100 w8192", 100, 100, true, 8192, 5, 100, 0, 0},
        // One consume clears full; reading a full ring out wraps the read position.
        {"w8192 c1", 0, 1, false, 8191, 8192, 0, 1, 0},
        {"w8192 c8192", 0, 0, false, 0, 10, 0, 8192, 0},
        // A write exactly to the end: not full, the write position wraps.
        {"w100 c100 w8092", 0, 100, false, 8092, 500, 0, 100, 0},
        // Empty near the end: what the first span cannot take goes to the start,
        // up to what is free.
        {"w8000 c8000", 8000, 8000, false, 0, 500, 8000, 192, 308},
        {"w100 c100", 100, 100, false, 0, 9000, 100, 8092, 100},
        // Write ahead of read: the second span ends at the read position; none
        // when the first span is enough.
        {"w8100 c50", 8100, 50, false, 8050, 300, 8100, 92, 50},
        {"w8100 c50", 8100, 50, false, 8050, 60, 8100, 92, 0},
        // Writes and reads across the end.
        {"w8000 c8000 w500", 308, 8000, false, 500, 10000, 308, 7692, 0},
        {"w8000 c8000 w500 c300", 308, 108, false, 200, 9000, 308, 7884, 108},
        // Read ahead of write: one span, up to the read position.
        {"w8192 c5000 w1000", 1000, 5000, false, 4192, 9000, 1000, 4000, 0},
        // Clear drops the unread where writing goes on; reset goes back to the start.
        {"x", 0, 0, false, 0, 1, 0, 8192, 0},
        {"w8192 x", 0, 0, false, 0, 1, 0, 8192, 0},
        {"w100 c100 w8192 x", 100, 100, false, 0, 8192, 100, 8092, 100},
        {"w300 c100 x", 300, 300, false, 0, 1, 300, 7892, 0},
        {"w8000 c8000 w500 x", 308, 308, false, 0, 1, 308, 7884, 0},
        {"w8000 c8000 w500 z", 0, 0, false, 0, 1, 0, 8192, 0},
        {"w100 c100 w8192 z", 0, 0, false, 0, 1, 0, 8192, 0},
        // A stop between the spans: the second waits for the next fill.
        {"w8000 c8000 s500", 0, 8000, false, 192, 500, 0, 8000, 0},
        {"w8000 c8000 s500 w308", 308, 8000, false, 500, 1, 308, 7692, 0},
        {"w8100 c50 s92", 0, 50, false, 8142, 1, 0, 50, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("steps \"") + c.Steps + "\", wanted " + std::to_string(c.Wanted));
        ReceiveRing ring;
        ring.Allocate();
        ring.Reset();
        uint64_t written = 0; // bytes ever written, and ever consumed or dropped
        uint64_t gone = 0;
        std::istringstream steps(c.Steps);
        for (std::string step; steps >> step;) {
            const uint32_t n = step.size() > 1 ? static_cast<uint32_t>(std::stoul(step.substr(1))) : 0;
            if (step[0] == 'w' || step[0] == 's') {
                // A device holding n bytes, handing out what each read asks for.
                uint32_t left = n;
                const auto read = [&](uint8_t* dest, uint32_t size) {
                    EXPECT_TRUE(dest >= ring.Data() && dest + size <= ring.Data() + kSize)
                        << "outside the ring";
                    const uint32_t got = std::min(left, size);
                    for (uint32_t i = 0; i < got; ++i)
                        dest[i] = Stamp(written++);
                    left -= got;
                    return got;
                };
                const bool stop = step[0] == 's';
                const uint32_t stored = ring.Fill(n, read, [stop] { return !stop; });
                ASSERT_EQ(stored + left, n) << "stored what it read";
                ASSERT_TRUE(stop || left == 0) << "the case writes more than fits";
            } else if (step[0] == 'c') {
                for (uint32_t i = 0; i < n; ++i, ++gone) {
                    ASSERT_EQ(ring.At(0), Stamp(gone)) << "consume #" << i;
                    ring.Consume();
                }
            } else {
                gone = written;
                step[0] == 'x' ? ring.Clear() : ring.Reset();
            }
        }
        const auto at = ring.Snapshot();
        EXPECT_EQ(std::tie(at.WritePos, at.ReadPos, at.Full), std::tie(c.Write, c.Read, c.Full))
            << "W, R, full";
        EXPECT_EQ(ring.Full(), c.Full);
        EXPECT_EQ(ring.Unread(), c.Unread);
        EXPECT_EQ(ring.Free(), kSize - c.Unread);
        ASSERT_EQ(written - gone, c.Unread) << "the bytes unread are the bytes written and not taken";
        // Every unread byte in the order written, the ones past the ring's end included.
        uint32_t misread = 0;
        for (uint32_t i = 0; i < c.Unread; ++i)
            misread += ring.At(i) != Stamp(gone + i);
        EXPECT_EQ(misread, 0u);
        const auto spans = ring.Spans(c.Wanted);
        EXPECT_EQ(std::tie(spans.Start, spans.First, spans.Second), std::tie(c.Start, c.First, c.Second))
            << "the spans offered";
    }
}
