// The receive ring alone: positions, the full flag, the spans offered for
// writing and the bytes read back, from every edge the ring has.
#include "serial/ReceiveRing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using belvor::ReceiveRing;

namespace {

constexpr uint32_t kSize = ReceiveRing::kSize;

// The n-th byte ever written; 251 is prime, so a read a ring's length off shows.
uint8_t Stamp(uint64_t n)
{
    return static_cast<uint8_t>(n % 251);
}

struct Step {
    char Op; // w: write n (across the end as the spans allow), c: consume n, x: clear, z: reset
    uint32_t N;
};

struct Case {
    const char* Name;
    std::vector<Step> Steps;
    uint16_t Write, Read;
    bool Full;
    uint32_t Unread;
    uint32_t Wanted; // asked of Spans afterwards
    uint16_t Start;
    uint32_t First, Second;
};

} // namespace

TEST(ReceiveRing, EdgeCases)
{
    const Case cases[] = {
        {"new", {}, 0, 0, false, 0, 100, 0, kSize, 0},
        {"advance by nothing keeps an empty ring empty", {{'w', 0}}, 0, 0, false, 0, 9000, 0, kSize, 0},
        {"a write that exactly fills", {{'w', kSize}}, 0, 0, true, kSize, 1, 0, 0, 0},
        {"advance by nothing keeps a full ring full",
         {{'w', kSize}, {'w', 0}},
         0,
         0,
         true,
         kSize,
         1,
         0,
         0,
         0},
        {"full in the middle, filled across the end",
         {{'w', 100}, {'c', 100}, {'w', kSize}},
         100,
         100,
         true,
         kSize,
         5,
         100,
         0,
         0},
        {"one consume clears full", {{'w', kSize}, {'c', 1}}, 0, 1, false, kSize - 1, kSize, 0, 1, 0},
        {"read all of a full ring: the read position wraps",
         {{'w', kSize}, {'c', kSize}},
         0,
         0,
         false,
         0,
         10,
         0,
         kSize,
         0},
        {"write exactly to the end, not full",
         {{'w', 100}, {'c', 100}, {'w', kSize - 100}},
         0,
         100,
         false,
         kSize - 100,
         500,
         0,
         100,
         0},
        {"empty near the end: the rest goes to the start",
         {{'w', 8000}, {'c', 8000}},
         8000,
         8000,
         false,
         0,
         500,
         8000,
         192,
         308},
        {"more wanted than fits: the second span stops at what is free",
         {{'w', 100}, {'c', 100}},
         100,
         100,
         false,
         0,
         9000,
         100,
         8092,
         100},
        {"write behind read: the first span ends at the read position",
         {{'w', 8100}, {'c', 50}},
         8100,
         50,
         false,
         8050,
         300,
         8100,
         92,
         50},
        {"less wanted than the first span: no second",
         {{'w', 8100}, {'c', 50}},
         8100,
         50,
         false,
         8050,
         60,
         8100,
         92,
         0},
        {"a write across the end",
         {{'w', 8000}, {'c', 8000}, {'w', 500}},
         308,
         8000,
         false,
         500,
         10000,
         308,
         7692,
         0},
        {"reads across the end",
         {{'w', 8000}, {'c', 8000}, {'w', 500}, {'c', 300}},
         308,
         108,
         false,
         200,
         9000,
         308,
         7884,
         108},
        {"read ahead of write: one span up to it",
         {{'w', kSize}, {'c', 5000}, {'w', 1000}},
         1000,
         5000,
         false,
         4192,
         9000,
         1000,
         4000,
         0},
        {"clear when new", {{'x', 0}}, 0, 0, false, 0, 1, 0, kSize, 0},
        {"clear when full", {{'w', kSize}, {'x', 0}}, 0, 0, false, 0, 1, 0, kSize, 0},
        {"clear when full in the middle",
         {{'w', 100}, {'c', 100}, {'w', kSize}, {'x', 0}},
         100,
         100,
         false,
         0,
         kSize,
         100,
         8092,
         100},
        {"clear with the write ahead",
         {{'w', 300}, {'c', 100}, {'x', 0}},
         300,
         300,
         false,
         0,
         1,
         300,
         7892,
         0},
        {"clear across the end",
         {{'w', 8000}, {'c', 8000}, {'w', 500}, {'x', 0}},
         308,
         308,
         false,
         0,
         1,
         308,
         7884,
         0},
        {"reset across the end",
         {{'w', 8000}, {'c', 8000}, {'w', 500}, {'z', 0}},
         0,
         0,
         false,
         0,
         1,
         0,
         kSize,
         0},
        {"reset when full", {{'w', 100}, {'c', 100}, {'w', kSize}, {'z', 0}}, 0, 0, false, 0, 1, 0, kSize, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        ReceiveRing ring;
        ring.Allocate();
        ring.Reset();
        uint64_t written = 0; // bytes ever written, and ever consumed or dropped
        uint64_t gone = 0;
        const auto store = [&](uint32_t at, uint32_t n) {
            for (uint32_t i = 0; i < n; ++i)
                ring.Data()[at + i] = Stamp(written++);
            ring.Advance(n);
        };
        for (const Step& s : c.Steps) {
            if (s.Op == 'w') {
                const auto spans = ring.Spans(s.N);
                ASSERT_LE(s.N, spans.First + spans.Second) << "the case writes more than fits";
                const uint32_t first = std::min(s.N, spans.First);
                ASSERT_LE(spans.Start + first, kSize);
                store(spans.Start, first);
                if (s.N > first) {
                    ASSERT_EQ(ring.Snapshot().WritePos, 0) << "a second span only from the ring's end";
                    store(0, s.N - first);
                }
            } else if (s.Op == 'c') {
                for (uint32_t i = 0; i < s.N; ++i, ++gone) {
                    ASSERT_EQ(ring.At(0), Stamp(gone)) << "consume #" << i;
                    ring.Consume();
                }
            } else {
                gone = written;
                s.Op == 'x' ? ring.Clear() : ring.Reset();
            }
        }
        const auto at = ring.Snapshot();
        EXPECT_EQ(at.WritePos, c.Write);
        EXPECT_EQ(at.ReadPos, c.Read);
        EXPECT_EQ(at.Full, c.Full);
        EXPECT_EQ(ring.Full(), c.Full);
        EXPECT_EQ(ring.Unread(), c.Unread);
        EXPECT_EQ(ring.Free(), kSize - c.Unread);
        ASSERT_EQ(written - gone, c.Unread) << "the bytes unread are the bytes written and not taken";
        if (c.Unread != 0) {
            EXPECT_EQ(ring.At(0), Stamp(gone)) << "the oldest";
            EXPECT_EQ(ring.At(c.Unread - 1), Stamp(written - 1)) << "the newest";
        }
        const auto spans = ring.Spans(c.Wanted);
        EXPECT_EQ(spans.Start, c.Start);
        EXPECT_EQ(spans.First, c.First);
        EXPECT_EQ(spans.Second, c.Second);
    }
}
