// The bridge's news desk: every code and status of every scanner, rendered
// once and handed to every WebSocket client in the same order. It lives on the
// server's one thread; the scanners' threads only post to it.
#pragma once

#include "programs/bridge/metrics.h"
#include "programs/bridge/render.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace belvor::bridge {

// WebSocket close codes the bridge sends.
inline constexpr uint16_t kCloseGoingAway = 1001;
inline constexpr uint16_t kCloseTryAgainLater = 1013;

// A WebSocket client as the hub sees it.
class Client {
public:
    virtual ~Client() = default;
    // Queues a message. False when that takes the client over its bound: it is
    // closing then (code 1013) and takes no more. Never ends the client at once.
    virtual bool Send(const std::shared_ptr<const std::string>& message) = 0;
    // Closes with code once what is queued has been sent, or at once when it is too slow.
    virtual void Close(uint16_t code) = 0;
};

class Hub {
public:
    // A driver made for port, in the state its statistics gave; or, by a
    // negative key, a port whose driver could not be made yet ("lost").
    void AddScanner(int32_t driver, uint32_t port, const char* state);
    // The port known by key has its driver now: it is open, and the clients are told ("back").
    void ScannerOpened(int32_t key, int32_t driver);

    void OnCode(int32_t driver, const ScannedCode& code, std::chrono::system_clock::time_point received);
    // gone: the driver's statistics said BELVOR_PORT_GONE when the status was reported.
    void OnStatus(int32_t driver, int32_t status, uint32_t detail, bool gone);

    // A client that has completed its handshake: its hello, then everything.
    // After CloseAll it joins only to be closed with its code, and waited for.
    void Join(const std::shared_ptr<Client>& client);
    // A client that has gone, for whatever reason; it gets nothing more.
    void Leave(const Client* client);
    // Closes every client, including those already closing, with code; calls
    // whenAllGone once the last has left.
    void CloseAll(uint16_t code, std::function<void()> whenAllGone);

    BridgeCounters Counters() const;

private:
    void Publish(std::string message);
    void CallWhenAllGone();

    std::map<int32_t, PortState> scanners_;                         // by driver index
    std::map<std::pair<uint32_t, uint32_t>, uint64_t> bySymbology_; // codes by port and symbology
    std::vector<std::shared_ptr<Client>> clients_;
    std::vector<std::shared_ptr<Client>> closing_;
    uint64_t closedSlow_ = 0;
    std::function<void()> whenAllGone_;
    std::optional<uint16_t> closedWith_; // CloseAll's code, once it has been called
};

} // namespace belvor::bridge
