// Loads the built library the way a host does: at run time, by file name,
// its functions looked up by name (and on Windows by ordinal too).
#pragma once

#include "belvor.h"

#include <cstdint>
#include <memory>

namespace belvor::test {

struct BelvorApi {
    int32_t(BELVOR_CALL* InitDriver)(uint32_t, EventProc) = nullptr;
    int32_t(BELVOR_CALL* DestroyDriver)() = nullptr;
    EventProc(BELVOR_CALL* SetEventProc)(EventProc) = nullptr;
    CodeProc(BELVOR_CALL* SetCodeProc)(CodeProc, void*) = nullptr;
    StatusProc(BELVOR_CALL* SetStatusProc)(StatusProc, void*) = nullptr;
    int32_t(BELVOR_CALL* GetDriverStats)(int32_t, BelvorStats*) = nullptr;
};

class LoadedLibrary {
public:
    virtual ~LoadedLibrary() = default;
    BelvorApi ByName;
    // Filled where the system exports by ordinal (Windows: 3, 2, 1, 4, 5, 6).
    BelvorApi ByOrdinal;
    bool HasOrdinals = false;
};

// Null when the library cannot be loaded.
std::unique_ptr<LoadedLibrary> LoadBelvor();

} // namespace belvor::test
