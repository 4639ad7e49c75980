#include "programs/bridge/system.h"
#include "programs/monitor/ports.h"

#include <boost/asio/signal_set.hpp>

#include <csignal>

namespace belvor::bridge {

struct StopSignals::State {
    explicit State(asio::io_context& io) : signals(io, SIGINT, SIGTERM) {}
    asio::signal_set signals;
};

StopSignals::StopSignals(asio::io_context& io) : state_(std::make_unique<State>(io)) {}

StopSignals::~StopSignals()
{
    beast::error_code ignored;
    state_->signals.cancel(ignored);
}

void StopSignals::Start(std::function<void()> onStop)
{
    state_->signals.async_wait([onStop = std::move(onStop)](beast::error_code ec, int) {
        if (!ec)
            onStop();
    });
}

std::string DefaultLibraryPath()
{
    return {};
}

void AllowQuickRestart(tcp::acceptor& acceptor)
{
    acceptor.set_option(asio::socket_base::reuse_address(true));
}

bool PortFree(uint32_t port)
{
    return ProbeCom(port) == PortUse::Free;
}

} // namespace belvor::bridge
