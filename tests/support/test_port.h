// A port that keeps what DataReceived handed it, for the serial tests.
#pragma once

#include "serial/ComCom.h"
#include "serial/Testing.h"
#include "support/config_file.h"

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace belvor::test {

// Waits (bounded) for a condition that another thread makes true.
inline bool Eventually(const std::function<bool()>& condition, int timeoutMs = 5000)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < until) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return condition();
}

class TestPort : public TComPort {
public:
    // How many of the announced bytes DataReceived takes out (all by default).
    std::function<int32_t(int32_t)> Take = [](int32_t count) { return count; };
    std::function<void()> OnDataReceived;

    explicit TestPort(uint16_t port, bool enable = true) : TComPort(port)
    {
        SetWakeOnEvent(EventModeRun());
        if (enable)
            EnableDataReceived();
    }
    ~TestPort() override { Close(); }

    using TComPort::EnableDataReceived;
    using TComPort::StopRequested;

    // The receive step on the test's thread; false when a device call failed.
    bool ReceiveData() { return PortTesting::ReceiveData(*this); }
    ReceiveRing::Positions Ring() { return PortTesting::Ring(*this); }
    const uint8_t* RxBuffer() const { return PortTesting::RxBuffer(*this); }
    uint8_t Peek(uint16_t index) { return PortTesting::Peek(*this, index); }

    std::vector<int32_t> Counts()
    {
        std::lock_guard<std::mutex> guard(FMutex);
        return FCounts;
    }
    std::string Received()
    {
        std::lock_guard<std::mutex> guard(FMutex);
        return FReceived;
    }
    // Waits (bounded) until DataReceived has handed over at least n bytes.
    bool WaitForBytes(size_t n, int timeoutMs = 5000)
    {
        return Eventually([&] { return Received().size() >= n; }, timeoutMs);
    }

protected:
    void DataReceived(int32_t count) override
    {
        if (OnDataReceived)
            OnDataReceived();
        std::string got;
        const int32_t take = Take(count);
        for (int32_t i = 0; i < take; ++i)
            got.push_back(static_cast<char>(ReadChar()));
        std::lock_guard<std::mutex> guard(FMutex);
        FCounts.push_back(count);
        FReceived += got;
    }

private:
    std::mutex FMutex;
    std::vector<int32_t> FCounts;
    std::string FReceived;
};

} // namespace belvor::test
