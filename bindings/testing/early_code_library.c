/* A stand-in for the Belvor library whose InitDriver hands the new driver's
 * first code ("early") to the callback before it returns, as the real driver's
 * thread may: the bindings must already know which scanner it is for. One
 * thread at a time, as the real library asks. */
#include "belvor.h"

#include <stddef.h>

static EventProc gEventProc;
static CodeProc gCodeProc;
static void* gContext;
static int32_t gLive;

BELVOR_API int32_t BELVOR_CALL InitDriver(uint32_t port, EventProc callback)
{
    static const unsigned char counted[] = "\005early";
    const int32_t index = gLive++;
    (void)port;
    gEventProc = callback;
    if (gCodeProc)
        gCodeProc(index, counted + 1, 5, gContext);
    else if (gEventProc)
        gEventProc(counted);
    return index;
}

BELVOR_API int32_t BELVOR_CALL DestroyDriver(void)
{
    return gLive > 0 ? --gLive : -1;
}

BELVOR_API EventProc BELVOR_CALL SetEventProc(EventProc callback)
{
    const EventProc previous = gEventProc;
    gEventProc = callback;
    return previous;
}

/* How many times SetCodeProc was called: a binding swaps only when something changes. */
static int32_t gCodeProcSwaps;

BELVOR_API int32_t BELVOR_CALL CodeProcSwaps(void)
{
    return gCodeProcSwaps;
}

BELVOR_API CodeProc BELVOR_CALL SetCodeProc(CodeProc proc, void* context)
{
    const CodeProc previous = gCodeProc;
    ++gCodeProcSwaps;
    gCodeProc = proc;
    gContext = context;
    return previous;
}
