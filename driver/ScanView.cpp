#include "driver/Scan.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>

namespace belvor {

namespace {

const unsigned char* Bytes(std::string_view text)
{
    return reinterpret_cast<const unsigned char*>(text.data());
}

// An AI into its fixed field: at most seven characters are kept, which every
// AI fits (two to four digits).
void CopyAi(char (&to)[8], std::string_view ai)
{
    const size_t n = std::min(ai.size(), sizeof to - 1);
    std::memcpy(to, ai.data(), n);
    to[n] = '\0';
}

} // namespace

TScanView::TScanView(int32_t driver, std::string_view code, const TScanReading& reading)
{
    FFields.resize(reading.Fields.size());
    for (size_t i = 0; i < FFields.size(); ++i) {
        CopyAi(FFields[i].ai, reading.Fields[i].Ai);
        FFields[i].value = Bytes(reading.Fields[i].Value);
        FFields[i].value_length = static_cast<uint32_t>(reading.Fields[i].Value.size());
    }
    FErrors.resize(reading.Errors.size());
    for (size_t i = 0; i < FErrors.size(); ++i) {
        CopyAi(FErrors[i].ai, reading.Errors[i].Ai);
        FErrors[i].kind = reading.Errors[i].Kind;
        FErrors[i].position = reading.Errors[i].Position;
    }
    FScan.size = sizeof FScan;
    FScan.driver = driver;
    FScan.data = Bytes(code);
    FScan.data_length = static_cast<uint32_t>(code.size());
    FScan.type = reading.Type;
    FScan.label = Bytes(reading.Label);
    FScan.label_length = static_cast<uint32_t>(reading.Label.size());
    FScan.flags = reading.Flags;
    CopyAi(FScan.aim, reading.Aim);
    FScan.fields = FFields.data();
    FScan.field_count = static_cast<uint32_t>(FFields.size());
    FScan.errors = FErrors.data();
    FScan.error_count = static_cast<uint32_t>(FErrors.size());
}

void CallWithScan(int32_t driver, std::string_view code, bool aimIds, ScanProc proc, void* context)
{
    std::optional<TScanReading> reading;
    std::optional<TScanView> view;
    try {
        reading.emplace(ReadScan(code, aimIds));
        view.emplace(driver, code, *reading);
    } catch (const std::bad_alloc&) {
        view.reset(); // the code still reaches the host, as received
    }
    if (view) {
        proc(view->Get(), context);
        return;
    }
    BelvorScan bare{};
    bare.size = sizeof bare;
    bare.driver = driver;
    bare.data = bare.label = Bytes(code);
    bare.data_length = bare.label_length = static_cast<uint32_t>(code.size());
    proc(&bare, context);
}

} // namespace belvor
