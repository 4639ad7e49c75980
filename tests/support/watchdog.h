// Turns a hang into a quick failure: a scope that is not left within its bound
// ends the test program with a message naming it, instead of leaving the run
// to the test driver's time-out.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>

namespace belvor::test {

class Watchdog {
public:
    Watchdog(std::string what, std::chrono::milliseconds bound) : FWhat(std::move(what))
    {
        FThread = std::thread([this, bound] {
            std::unique_lock<std::mutex> lock(FMutex);
            if (!FDone.wait_for(lock, bound, [this] { return FLeft; })) {
                std::fprintf(stderr, "\nHANG: %s did not finish within %lld ms\n", FWhat.c_str(),
                             static_cast<long long>(bound.count()));
                std::fflush(stderr);
                std::_Exit(3);
            }
        });
    }
    ~Watchdog()
    {
        {
            std::lock_guard<std::mutex> guard(FMutex);
            FLeft = true;
        }
        FDone.notify_one();
        FThread.join();
    }
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    std::string FWhat;
    std::mutex FMutex;
    std::condition_variable FDone;
    bool FLeft = false;
    std::thread FThread;
};

} // namespace belvor::test
