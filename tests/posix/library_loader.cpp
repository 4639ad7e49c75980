#include "support/library_loader.h"

#include <dlfcn.h>

namespace belvor::test {

namespace {

class DlLibrary final : public LoadedLibrary {
public:
    explicit DlLibrary(void* handle) : FHandle(handle)
    {
        ByName.InitDriver = reinterpret_cast<decltype(ByName.InitDriver)>(dlsym(handle, "InitDriver"));
        ByName.DestroyDriver =
            reinterpret_cast<decltype(ByName.DestroyDriver)>(dlsym(handle, "DestroyDriver"));
        ByName.SetEventProc = reinterpret_cast<decltype(ByName.SetEventProc)>(dlsym(handle, "SetEventProc"));
        ByName.SetCodeProc = reinterpret_cast<decltype(ByName.SetCodeProc)>(dlsym(handle, "SetCodeProc"));
        ByName.SetStatusProc =
            reinterpret_cast<decltype(ByName.SetStatusProc)>(dlsym(handle, "SetStatusProc"));
        ByName.GetDriverStats =
            reinterpret_cast<decltype(ByName.GetDriverStats)>(dlsym(handle, "GetDriverStats"));
    }
    ~DlLibrary() override { dlclose(FHandle); }

private:
    void* FHandle;
};

} // namespace

std::unique_ptr<LoadedLibrary> LoadBelvor()
{
    void* handle = dlopen(BELVOR_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    if (!handle)
        return nullptr;
    return std::make_unique<DlLibrary>(handle);
}

} // namespace belvor::test
