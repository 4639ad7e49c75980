#include "support/library_loader.h"

#include <windows.h>

namespace belvor::test {

namespace {

template <class F> void Find(HMODULE module, const char* name, F& into)
{
    into = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

class DllLibrary final : public LoadedLibrary {
public:
    explicit DllLibrary(HMODULE module) : FModule(module)
    {
        Find(module, "InitDriver", ByName.InitDriver);
        Find(module, "DestroyDriver", ByName.DestroyDriver);
        Find(module, "SetEventProc", ByName.SetEventProc);
        Find(module, MAKEINTRESOURCEA(3), ByOrdinal.InitDriver);
        Find(module, MAKEINTRESOURCEA(2), ByOrdinal.DestroyDriver);
        Find(module, MAKEINTRESOURCEA(1), ByOrdinal.SetEventProc);
        Find(module, "SetCodeProc", ByName.SetCodeProc);
        Find(module, MAKEINTRESOURCEA(4), ByOrdinal.SetCodeProc);
        Find(module, "SetStatusProc", ByName.SetStatusProc);
        Find(module, MAKEINTRESOURCEA(5), ByOrdinal.SetStatusProc);
        Find(module, "GetDriverStats", ByName.GetDriverStats);
        Find(module, MAKEINTRESOURCEA(6), ByOrdinal.GetDriverStats);
        HasOrdinals = true;
    }
    ~DllLibrary() override { FreeLibrary(FModule); }

private:
    HMODULE FModule;
};

} // namespace

std::unique_ptr<LoadedLibrary> LoadBelvor()
{
    HMODULE module = LoadLibraryA("Belvor.dll");
    if (!module)
        return nullptr;
    return std::make_unique<DllLibrary>(module);
}

} // namespace belvor::test
