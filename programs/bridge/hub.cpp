#include "programs/bridge/hub.h"

#include <algorithm>

namespace belvor::bridge {

namespace {

void Remove(std::vector<std::shared_ptr<Client>>& clients, const Client* client)
{
    std::erase_if(clients, [client](const std::shared_ptr<Client>& c) { return c.get() == client; });
}

} // namespace

void Hub::AddScanner(int32_t driver, uint32_t port, const char* state)
{
    scanners_[driver] = PortState{port, state};
}

void Hub::ScannerOpened(int32_t key, int32_t driver)
{
    const auto waiting = scanners_.find(key);
    if (waiting == scanners_.end())
        return;
    const uint32_t port = waiting->second.port;
    scanners_.erase(waiting);
    scanners_[driver] = PortState{port, "open"};
    Publish(StatusMessage(port, BELVOR_STATUS_BACK, 0));
}

void Hub::OnCode(int32_t driver, const ScannedCode& code, std::chrono::system_clock::time_point received)
{
    const auto scanner = scanners_.find(driver);
    if (scanner == scanners_.end())
        return;
    ++bySymbology_[{scanner->second.port, code.symbology}];
    Publish(CodeMessage(scanner->second.port, code, received));
}

void Hub::OnStatus(int32_t driver, int32_t status, uint32_t detail, bool gone)
{
    const auto scanner = scanners_.find(driver);
    if (scanner == scanners_.end())
        return;
    if (status == BELVOR_STATUS_LOST)
        scanner->second.state = gone ? "gone" : "lost";
    else if (status == BELVOR_STATUS_BACK)
        scanner->second.state = "open";
    Publish(StatusMessage(scanner->second.port, status, detail, gone));
}

void Hub::Join(const std::shared_ptr<Client>& client)
{
    if (closedWith_) {
        closing_.push_back(client);
        client->Close(*closedWith_);
        return;
    }
    std::vector<PortState> ports;
    for (const auto& [driver, state] : scanners_)
        ports.push_back(state);
    clients_.push_back(client);
    (void)client->Send(std::make_shared<const std::string>(HelloMessage(ports)));
}

void Hub::Leave(const Client* client)
{
    Remove(clients_, client);
    Remove(closing_, client);
    CallWhenAllGone();
}

void Hub::CloseAll(uint16_t code, std::function<void()> whenAllGone)
{
    whenAllGone_ = std::move(whenAllGone);
    closedWith_ = code;
    // A client may leave while it is told: work on copies.
    for (const auto& clients : {clients_, closing_})
        for (const std::shared_ptr<Client>& client : clients)
            client->Close(code);
    CallWhenAllGone();
}

void Hub::CallWhenAllGone()
{
    if (!whenAllGone_ || !clients_.empty() || !closing_.empty())
        return;
    const std::function<void()> call = std::move(whenAllGone_);
    whenAllGone_ = nullptr;
    call();
}

BridgeCounters Hub::Counters() const
{
    BridgeCounters counters{clients_.size(), closedSlow_, {}};
    for (const auto& [key, count] : bySymbology_)
        counters.codesBySymbology.push_back({key.first, key.second, count});
    return counters;
}

void Hub::Publish(std::string message)
{
    if (message.empty())
        return;
    const auto shared = std::make_shared<const std::string>(std::move(message));
    // A client that cannot take it any more is closing: it moves to closing_.
    std::erase_if(clients_, [&](const std::shared_ptr<Client>& client) {
        if (client->Send(shared))
            return false;
        ++closedSlow_;
        closing_.push_back(client);
        return true;
    });
}

} // namespace belvor::bridge
