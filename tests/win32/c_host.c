/*
 * A plain C host, as a shop's program would be: loads Belvor.dll at run time,
 * finds its functions by name and by ordinal, drives COM7 and reads what a
 * scanner on COM8 (the other end of a null-modem pair) sends.
 */
#include "belvor.h"

#include <stdio.h>
#include <string.h>
#include <windows.h>

typedef int32_t(BELVOR_CALL* InitDriverFn)(uint32_t, EventProc);
typedef int32_t(BELVOR_CALL* DestroyDriverFn)(void);
typedef EventProc(BELVOR_CALL* SetEventProcFn)(EventProc);

static int passed, failed;
static volatile LONG calls;
static unsigned char first[256];

static void check(int ok, const char* what)
{
    printf("%s: %s\n", ok ? "ok" : "FAILED", what);
    if (ok)
        ++passed;
    else
        ++failed;
}

static void BELVOR_CALL on_code(const unsigned char* code)
{
    if (InterlockedIncrement(&calls) == 1)
        memcpy(first, code, (size_t)code[0] + 1);
}

int main(void)
{
    HMODULE dll = LoadLibraryA("Belvor.dll");
    check(dll != NULL, "Belvor.dll loads");
    if (!dll)
        return 1;
    InitDriverFn init = (InitDriverFn)(void*)GetProcAddress(dll, "InitDriver");
    DestroyDriverFn destroy = (DestroyDriverFn)(void*)GetProcAddress(dll, "DestroyDriver");
    SetEventProcFn set_proc = (SetEventProcFn)(void*)GetProcAddress(dll, "SetEventProc");
    check(init && destroy && set_proc, "the three functions are exported by name");
    check((void*)GetProcAddress(dll, MAKEINTRESOURCEA(1)) == (void*)set_proc &&
              (void*)GetProcAddress(dll, MAKEINTRESOURCEA(2)) == (void*)destroy &&
              (void*)GetProcAddress(dll, MAKEINTRESOURCEA(3)) == (void*)init,
          "ordinals 1, 2, 3 are SetEventProc, DestroyDriver, InitDriver");
    check(GetProcAddress(dll, MAKEINTRESOURCEA(4)) == GetProcAddress(dll, "SetCodeProc") &&
              GetProcAddress(dll, MAKEINTRESOURCEA(4)) != NULL,
          "ordinal 4 is SetCodeProc");
    check(GetProcAddress(dll, MAKEINTRESOURCEA(5)) == GetProcAddress(dll, "SetStatusProc") &&
              GetProcAddress(dll, MAKEINTRESOURCEA(6)) == GetProcAddress(dll, "GetDriverStats") &&
              GetProcAddress(dll, MAKEINTRESOURCEA(6)) != NULL,
          "ordinals 5 and 6 are SetStatusProc and GetDriverStats");
    check(GetProcAddress(dll, MAKEINTRESOURCEA(7)) == GetProcAddress(dll, "SetScanProc") &&
              GetProcAddress(dll, MAKEINTRESOURCEA(8)) == GetProcAddress(dll, "ParseScan") &&
              GetProcAddress(dll, MAKEINTRESOURCEA(8)) != NULL,
          "ordinals 7 and 8 are SetScanProc and ParseScan");
    check(GetProcAddress(dll, MAKEINTRESOURCEA(9)) == NULL, "nothing else is exported");
    if (!init || !destroy || !set_proc)
        return 1;

    HANDLE scanner =
        CreateFileA("\\\\.\\COM8", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    check(scanner != INVALID_HANDLE_VALUE, "the scanner's end of the line opens");

    check(init(7, on_code) == 0, "InitDriver(7) returns index 0");
    DWORD written = 0;
    WriteFile(scanner, "12AB\r", 5, &written, NULL);
    for (int i = 0; i < 500 && calls == 0; ++i)
        Sleep(10);
    check(calls == 1 && memcmp(first,
                               "\x04"
                               "12AB",
                               5) == 0,
          "12AB arrives as 04 31 32 41 42");
    check(set_proc(NULL) == on_code, "SetEventProc returns the callback InitDriver set");
    check(destroy() == 0, "DestroyDriver returns 0 drivers left");
    check(destroy() == -1, "DestroyDriver with none live returns -1");

    SetLastError(0);
    check(init(0, on_code) == -1 && GetLastError() != 0, "InitDriver(0) returns -1 and sets the last error");

    CloseHandle(scanner);
    FreeLibrary(dll);
    printf("%d passed, %d failed\n", passed, failed);
    return failed ? 1 : 0;
}
