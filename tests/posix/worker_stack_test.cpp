// The port's worker keeps a small stack, since it runs only the library's own
// code. This measures how deep that code goes: the unused part of the worker's
// stack is painted from inside the worker, the deepest paths are run (codes,
// line errors, an owner that throws), and what was overwritten is measured.
#include "driver/Testing.h"
#include "support/fake_serial_device.h"
#include "support/probed_driver.h"
#include "support/test_port.h"

#include <atomic>
#include <gtest/gtest.h>
#include <pthread.h>

using namespace belvor;
using namespace belvor::test;

namespace {

constexpr uint8_t kPaint = 0xA5;

struct StackArea {
    uint8_t* Low = nullptr; // lowest usable address (above the guard)
    uint8_t* High = nullptr;
};

StackArea CurrentStack()
{
    pthread_attr_t attr;
    StackArea area;
    if (pthread_getattr_np(pthread_self(), &attr) != 0)
        return area;
    void* addr = nullptr;
    size_t size = 0;
    size_t guard = 0;
    pthread_attr_getstack(&attr, &addr, &size);
    pthread_attr_getguardsize(&attr, &guard);
    pthread_attr_destroy(&attr);
    area.Low = static_cast<uint8_t*>(addr) + guard;
    area.High = static_cast<uint8_t*>(addr) + size;
    return area;
}

} // namespace

TEST(WorkerStack, DeepestPathFitsItsStackWithAWideMargin)
{
    LiveFakeLine line;
    ProbedDriver driver(3);
    std::atomic<int> calls{0};
    std::atomic<size_t> stackSize{0};
    std::atomic<size_t> used{0};
    driver.Probe = [&] {
        const int call = ++calls;
        if (call == 1) {
            const StackArea area = CurrentStack();
            // Everything well below this frame: the memory the deeper calls will use.
            auto* const top = static_cast<uint8_t*>(__builtin_frame_address(0)) - 4096;
            for (volatile uint8_t* p = area.Low; p < top; ++p)
                *p = kPaint;
            stackSize = static_cast<size_t>(area.High - area.Low);
        } else if (call == 3) {
            throw std::runtime_error("owner failed"); // the unwinder's path
        } else if (call == 5) {
            const StackArea area = CurrentStack();
            uint8_t* p = area.Low;
            while (p < area.High && *p == kPaint)
                ++p;
            used = static_cast<size_t>(area.High - p);
        }
    };
    driver.StartReceiving();
    std::string codes;
    for (int i = 0; i < 200; ++i)
        codes += "0123456789ABCDEF0123456789ABCDEF\r";
    for (int call = 1; call <= 4; ++call) {
        if (call == 2)
            line.ScriptLook({true, {true, true}});
        line.Feed(codes);
        ASSERT_TRUE(Eventually([&] { return calls.load() >= call && line.Waiting() == 0; }));
    }
    line.Feed("\r");
    ASSERT_TRUE(Eventually([&] { return used.load() != 0; }));
    driver.Close();
    RecordProperty("worker_stack_used", static_cast<int>(used.load()));
    std::printf("worker stack: %zu of %zu bytes used\n", used.load(), stackSize.load());
    EXPECT_GT(used.load(), 0u);
    EXPECT_LE(used.load() * 4, stackSize.load()) << "the deepest path must leave three quarters free";
}
