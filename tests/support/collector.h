// What a test's EventProc callback recorded, and the counted strings it is
// compared with.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace belvor::test {

// A code as the callback gets it: its length in the first byte, then its bytes.
inline std::string Counted(const std::string& code)
{
    return std::string(1, static_cast<char>(code.size())) + code;
}

// The counted strings a callback was handed, in order; filled on the delivery
// threads, read on the test's.
class Collector {
public:
    // Keeps the whole counted string, length byte included.
    void Add(const unsigned char* counted)
    {
        std::lock_guard<std::mutex> guard(FMutex);
        FCalls.emplace_back(reinterpret_cast<const char*>(counted), counted[0] + 1u);
    }
    void Clear()
    {
        std::lock_guard<std::mutex> guard(FMutex);
        FCalls.clear();
    }
    size_t Count() const
    {
        std::lock_guard<std::mutex> guard(FMutex);
        return FCalls.size();
    }
    // Each call's counted string.
    std::vector<std::string> Calls() const
    {
        std::lock_guard<std::mutex> guard(FMutex);
        return FCalls;
    }
    // Each call's code, without its length byte.
    std::vector<std::string> Codes() const
    {
        std::vector<std::string> codes = Calls();
        for (std::string& code : codes)
            code.erase(0, 1);
        return codes;
    }

private:
    mutable std::mutex FMutex;
    std::vector<std::string> FCalls;
};

} // namespace belvor::test
