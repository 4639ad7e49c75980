// The Linux serial line of the device tests: a pty whose slave is linked as
// <system dir>/comN, the way Wine's dosdevices name ports.
#pragma once

#include "device_line.h"

#include <string>

namespace belvor::test {

class PtyDeviceLine final : public DeviceLine {
public:
    PtyDeviceLine() = default;
    ~PtyDeviceLine() override;
    PtyDeviceLine(const PtyDeviceLine&) = delete;
    PtyDeviceLine& operator=(const PtyDeviceLine&) = delete;

    // Makes the pty and its link; false with the reason in `why`.
    bool Make(std::string& why);

    uint16_t PortNumber() const override { return FPort; }
    bool Send(const std::string& bytes) override;

    // Closes the far end: the near end is hung up for good.
    void HangUp();
    const std::string& SlavePath() const { return FSlavePath; }

private:
    int FMaster = -1;
    uint16_t FPort = 0;
    std::string FLink;
    std::string FSlavePath;
};

// The link that names COMn, whether or not it exists.
std::string PortLinkPath(uint16_t portNumber);

// The port numbers the tests may use (other test programs keep clear of them).
inline constexpr uint16_t kFirstTestPort = 40;
inline constexpr uint16_t kLastTestPort = 49;

// The next test port number, round the range; its link removed.
uint16_t FreshTestPort();

} // namespace belvor::test
