#include "programs/monitor/win32_ports.h"

#include "platform/errors.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <setupapi.h>

namespace {

// GUID_DEVCLASS_PORTS, spelt out rather than pulled in through initguid.h.
const GUID kPortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

std::string Upper(std::string text)
{
    for (char& c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

// n of "COMn" with n 1..255 (what InitDriver takes), else 0.
unsigned ComNumber(const std::string& name)
{
    const std::string upper = Upper(name);
    if (upper.size() < 4 || upper.size() > 6 || upper.compare(0, 3, "COM") != 0 || upper[3] == '0')
        return 0;
    unsigned n = 0;
    for (size_t i = 3; i < upper.size(); ++i) {
        if (upper[i] < '0' || upper[i] > '9')
            return 0;
        n = n * 10 + static_cast<unsigned>(upper[i] - '0');
    }
    return n <= 255 ? n : 0;
}

// A REG_SZ value that may lack its terminating NUL.
std::string StringValue(const char* data, DWORD size)
{
    std::string value(data, size);
    value.erase(std::find(value.begin(), value.end(), '\0'), value.end());
    return value;
}

} // namespace

std::vector<std::pair<std::string, std::string>> SerialCommEntries()
{
    std::vector<std::pair<std::string, std::string>> entries;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return entries;
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD nameSize = sizeof name;
        char data[256];
        DWORD dataSize = sizeof data;
        DWORD type = 0;
        const LONG result =
            RegEnumValueA(key, i, name, &nameSize, nullptr, &type, reinterpret_cast<BYTE*>(data), &dataSize);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result != ERROR_SUCCESS || type != REG_SZ)
            continue;
        entries.emplace_back(std::string(name, nameSize), StringValue(data, dataSize));
    }
    RegCloseKey(key);
    return entries;
}

std::vector<std::pair<std::string, std::string>> DosComDevices()
{
    std::vector<std::pair<std::string, std::string>> devices;
    // The list of every DOS name has no size to ask for: grow until it fits.
    std::vector<char> names(16384);
    for (;;) {
        const DWORD length = QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
        if (length != 0)
            break;
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || names.size() >= (1u << 24))
            return devices;
        names.resize(names.size() * 2);
    }
    for (const char* name = names.data(); *name; name += std::strlen(name) + 1) {
        if (_strnicmp(name, "COM", 3) != 0)
            continue;
        char target[1024] = {};
        // The first of the targets is the one a CreateFile reaches.
        if (!QueryDosDeviceA(name, target, sizeof target))
            target[0] = '\0';
        devices.emplace_back(name, target);
    }
    return devices;
}

std::map<std::string, std::string> FriendlyNames()
{
    std::map<std::string, std::string> names;
    HDEVINFO set = SetupDiGetClassDevsA(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE)
        return names;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
        char friendly[512];
        DWORD type = 0;
        if (!SetupDiGetDeviceRegistryPropertyA(set, &device, SPDRP_FRIENDLYNAME, &type,
                                               reinterpret_cast<BYTE*>(friendly), sizeof friendly, nullptr))
            continue;
        friendly[sizeof friendly - 1] = '\0';
        // The device's own key says which COM it is; the friendly name only
        // happens to show it.
        HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
        if (key == INVALID_HANDLE_VALUE)
            continue;
        char port[64];
        DWORD size = sizeof port;
        if (RegQueryValueExA(key, "PortName", nullptr, &type, reinterpret_cast<BYTE*>(port), &size) ==
                ERROR_SUCCESS &&
            type == REG_SZ)
            names[Upper(StringValue(port, size))] = friendly;
        RegCloseKey(key);
    }
    SetupDiDestroyDeviceInfoList(set);
    return names;
}

PortUse UseOfOpenError(unsigned long error)
{
    // Windows refuses a second open of a COM port with access denied; a
    // sharing violation says the same of other devices.
    if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION)
        return PortUse::InUse;
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return PortUse::Missing;
    return PortUse::Unknown;
}

PortUse ProbePort(const std::string& name, std::string& note)
{
    note.clear();
    const std::string path = "\\\\.\\" + name;
    HANDLE handle =
        CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        return PortUse::Free;
    }
    const DWORD error = GetLastError();
    const PortUse use = UseOfOpenError(error);
    if (use == PortUse::Unknown)
        note = belvor::platform::SystemMessageWithCode(error, true);
    return use;
}

PortUse ProbeCom(unsigned n)
{
    std::string note;
    return ProbePort("COM" + std::to_string(n), note);
}

PortListing ListSystemPorts(unsigned firstOpened)
{
    struct Found {
        std::string Name;
        std::string Kind;
        std::string Target;
        PortUse Use = PortUse::Missing;
        std::string Note;
    };
    std::map<unsigned, Found> found; // by number, so that COM10 comes after COM9
    std::vector<Found> odd;          // COM names the driver cannot take (COM0, COM300)
    const auto add = [&](const std::string& name, const char* kind, const std::string& target) {
        const unsigned n = ComNumber(name);
        if (n == 0) {
            odd.push_back({name, kind, target, PortUse::Missing, {}});
            return;
        }
        Found& f = found[n];
        if (f.Name.empty())
            f = {"COM" + std::to_string(n), kind, target, PortUse::Missing, {}};
        if (f.Target.empty())
            f.Target = target;
    };
    for (const auto& [device, com] : SerialCommEntries())
        add(com, "registry", device);
    for (const auto& [name, target] : DosComDevices())
        add(name, "dosdevice", target);
    // Wine knows a COM port added after its start (a dosdevices link) by
    // neither name list, yet opens it: ask every number the driver takes.
    for (unsigned n = 1; n <= 255; ++n) {
        std::string note;
        const auto it = found.find(n);
        if (n < firstOpened) {
            if (it != found.end()) {
                it->second.Use = PortUse::Unknown;
                it->second.Note = "not opened";
            }
            continue;
        }
        const PortUse use = ProbePort("COM" + std::to_string(n), note);
        if (it != found.end()) {
            it->second.Use = use;
            it->second.Note = note;
        } else if (use != PortUse::Missing) {
            found[n] = {"COM" + std::to_string(n), "opens", {}, use, note};
        }
    }
    const std::map<std::string, std::string> friendly = FriendlyNames();

    PortListing listing;
    const auto list = [&](const Found& f, std::vector<unsigned> coms) {
        ListedPort port{std::move(coms), f.Kind, f.Name, f.Target, {}, f.Use, f.Note};
        if (const auto it = friendly.find(Upper(f.Name)); it != friendly.end())
            port.About = it->second;
        listing.Ports.push_back(port);
    };
    for (const auto& [n, f] : found)
        list(f, {n});
    for (Found& f : odd) {
        f.Use = ProbePort(f.Name, f.Note);
        list(f, {});
    }
    if (friendly.empty())
        listing.Notes.push_back("the system names no Ports class device: no friendly names");
    return listing;
}
