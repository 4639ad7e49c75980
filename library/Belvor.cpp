// The library's face: the exported functions, with C linkage and the
// standard Windows calling convention. No exception gets past them.
#include "belvor.h"
#include "driver/Driver.h"

extern "C" {

BELVOR_API int32_t BELVOR_CALL InitDriver(uint32_t port, EventProc callback)
{
    return belvor::InitDriverImpl(port, callback);
}

BELVOR_API int32_t BELVOR_CALL DestroyDriver(void)
{
    return belvor::DestroyDriverImpl();
}

BELVOR_API EventProc BELVOR_CALL SetEventProc(EventProc callback)
{
    return belvor::SetEventProcImpl(callback);
}

BELVOR_API CodeProc BELVOR_CALL SetCodeProc(CodeProc proc, void* context)
{
    return belvor::SetCodeProcImpl(proc, context);
}

BELVOR_API StatusProc BELVOR_CALL SetStatusProc(StatusProc proc, void* context)
{
    return belvor::SetStatusProcImpl(proc, context);
}

BELVOR_API int32_t BELVOR_CALL GetDriverStats(int32_t driver, BelvorStats* stats)
{
    return belvor::GetDriverStatsImpl(driver, stats);
}

BELVOR_API ScanProc BELVOR_CALL SetScanProc(ScanProc proc, void* context)
{
    return belvor::SetScanProcImpl(proc, context);
}

BELVOR_API int32_t BELVOR_CALL ParseScan(const unsigned char* data, uint32_t length, uint32_t flags,
                                         ScanProc proc, void* context)
{
    return belvor::ParseScanImpl(data, length, flags, proc, context);
}

} // extern "C"
