// A driver object with a hook that runs on the port's worker, at the start of
// each DataReceived: a test can see, hold or measure the worker there.
#pragma once

#include "driver/Testing.h"

#include <atomic>
#include <functional>

namespace belvor::test {

class ProbedDriver : public TBelvor {
public:
    explicit ProbedDriver(uint8_t port) : TBelvor(port) {}
    ~ProbedDriver() override { Close(); }

    using TComPort::StopRequested;
    std::function<void()> Probe; // set before StartReceiving
    // DataReceived calls that have returned (or thrown): what they handed over is queued.
    std::atomic<int> Handled{0};

protected:
    void DataReceived(int32_t count) override
    {
        struct Count {
            std::atomic<int>& N;
            ~Count() { ++N; }
        } count_{Handled};
        if (Probe)
            Probe();
        TBelvor::DataReceived(count);
    }
};

} // namespace belvor::test
