// A pty standing in for a scanner's line, for the tests and the benchmarks:
// its master is where the scanner types; its slave, in raw mode, is the
// port's device, linked as COMn where the library looks for it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace belvor::test {

// Where the library looks for COMn: <system dir>/comN.
std::string PortLinkPath(uint16_t portNumber);
// Makes the system directory, where it is not there yet.
void MakeSystemDir();

class Pty {
public:
    // keepSlave: this side holds the slave open too, so that the line never
    // hangs up while readers come and go; otherwise the port under test is
    // the slave's only opener. Throws, with the reason, when no pty is made.
    explicit Pty(bool keepSlave = false);
    ~Pty(); // hung up, and its link removed
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    // Makes the slave COM<port> (another link of that name is replaced).
    // Throws, with the reason, when it cannot.
    void LinkAs(uint16_t port);
    // All the bytes, waiting while the line is full: false when the line took
    // no more; Write throws then instead.
    bool Send(const void* data, size_t size);
    bool Send(const std::string& bytes) { return Send(bytes.data(), bytes.size()); }
    void Write(const void* data, size_t size);
    void Write(const std::string& bytes) { Write(bytes.data(), bytes.size()); }
    // The far end goes away for good, as an unplugged scanner does.
    void HangUp();

    int Master() const { return FMaster; }
    int Slave() const { return FSlave; }
    const std::string& SlavePath() const { return FSlavePath; }

private:
    int FMaster = -1;
    int FSlave = -1;
    std::string FSlavePath;
    std::string FLink;
};

} // namespace belvor::test
