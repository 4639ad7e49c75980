// The bodies of the exported functions: each driver a host makes is a TBelvor
// with its delivery thread, kept in the DriverTable until the host destroys it.
#pragma once

#include "belvor.h"

#include <cstdint>

namespace belvor {

// None lets an exception out.
int32_t InitDriverImpl(uint32_t port, EventProc callback) noexcept;
int32_t DestroyDriverImpl() noexcept;
EventProc SetEventProcImpl(EventProc callback) noexcept;
CodeProc SetCodeProcImpl(CodeProc proc, void* context) noexcept;
StatusProc SetStatusProcImpl(StatusProc proc, void* context) noexcept;
int32_t GetDriverStatsImpl(int32_t driver, BelvorStats* stats) noexcept;
ScanProc SetScanProcImpl(ScanProc proc, void* context) noexcept;
int32_t ParseScanImpl(const unsigned char* data, uint32_t length, uint32_t flags, ScanProc proc,
                      void* context) noexcept;

} // namespace belvor
