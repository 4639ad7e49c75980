// A driver object with a hook that runs on the port's worker, at the start of
// each DataReceived: a test can see, hold or measure the worker there.
#pragma once

#include "driver/Driver.h"

#include <functional>

namespace belvor::test {

class ProbedDriver : public TBelvor {
public:
    explicit ProbedDriver(uint8_t port) : TBelvor(port) {}
    ~ProbedDriver() override { Close(); }

    using TComPort::StopRequested;
    std::function<void()> Probe; // set before StartReceiving

protected:
    void DataReceived(int32_t count) override
    {
        if (Probe)
            Probe();
        TBelvor::DataReceived(count);
    }
};

} // namespace belvor::test
