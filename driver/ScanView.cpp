#include "driver/ScanView.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <optional>

namespace belvor {

namespace {

// The C names of the kinds, one for one.
static_assert(static_cast<int>(gs1::TErrorKind::UnknownAi) + 1 == BELVOR_GS1_UNKNOWN_AI);
static_assert(static_cast<int>(gs1::TErrorKind::BadCheckDigit) + 1 == BELVOR_GS1_CHECK_DIGIT);
static_assert(static_cast<int>(gs1::TErrorKind::BadValue) + 1 == BELVOR_GS1_BAD_VALUE);
static_assert(static_cast<int>(gs1::TErrorKind::BadUri) + 1 == BELVOR_GS1_BAD_URI);

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
    const std::vector<gs1::TField>& fields = reading.Gs1.Fields;
    FFields.resize(fields.size());
    for (size_t i = 0; i < FFields.size(); ++i) {
        CopyAi(FFields[i].ai, fields[i].Ai);
        FFields[i].value = Bytes(fields[i].Value);
        FFields[i].value_length = static_cast<uint32_t>(fields[i].Value.size());
    }
    const std::vector<gs1::TFieldError>& errors = reading.Gs1.Errors;
    FErrors.resize(errors.size());
    for (size_t i = 0; i < FErrors.size(); ++i) {
        CopyAi(FErrors[i].ai, errors[i].Ai);
        // BELVOR_GS1_* number the kinds from 1, in the same order.
        FErrors[i].kind = static_cast<uint32_t>(errors[i].Kind) + 1;
        FErrors[i].position = errors[i].Position;
    }
    const TSymbologyId& id = reading.Symbology;
    FScan.size = sizeof FScan;
    FScan.driver = driver;
    FScan.data = Bytes(code);
    FScan.data_length = static_cast<uint32_t>(code.size());
    FScan.type = static_cast<uint32_t>(id.Type);
    FScan.label = Bytes(id.Label);
    FScan.label_length = static_cast<uint32_t>(id.Label.size());
    FScan.flags = (id.Valid ? BELVOR_SCAN_IDENTIFIED : 0u) |
                  (reading.Data != TScanData::None ? BELVOR_SCAN_GS1 : 0u) |
                  (reading.Data == TScanData::DigitalLink ? BELVOR_SCAN_DIGITAL_LINK : 0u);
    CopyAi(FScan.aim, id.Identifier);
    FScan.fields = FFields.data();
    FScan.field_count = static_cast<uint32_t>(FFields.size());
    FScan.errors = FErrors.data();
    FScan.error_count = static_cast<uint32_t>(FErrors.size());
}

bool StartsWithSymbologyId(std::string_view code) noexcept
{
    try {
        return ReadSymbologyId(code).Valid;
    } catch (...) {
        return true; // out of memory: not counted against the scanner
    }
}

std::optional<TScanReading> TryReadScan(std::string_view code, bool aimIds) noexcept
{
    try {
        return ReadScan(code, aimIds);
    } catch (...) {
        return std::nullopt; // out of memory: the code still reaches the host, as received
    }
}

void CallWithScan(int32_t driver, std::string_view code, const TScanReading* reading, ScanProc proc,
                  void* context)
{
    std::optional<TScanView> view;
    try {
        if (reading)
            view.emplace(driver, code, *reading);
    } catch (const std::bad_alloc&) {
        view.reset();
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
