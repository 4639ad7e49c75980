/*
 * A Windows host linked against an import library instead of loading the DLL
 * itself: with Microsoft's toolchain (clang-cl and lld-link on Belvor.lib, no
 * C runtime: only kernel32 and the driver) or with mingw-w64 (libbelvor.dll.a).
 * It drives COM7 and writes "12AB\r" on COM8, the other end of the test
 * runner's null-modem pair, and expects the code at its callback.
 */
#include "belvor.h"

#include <windows.h>

static volatile LONG received;
static unsigned char code[256];

static void BELVOR_CALL on_code(const unsigned char* counted)
{
    for (unsigned i = 0; i <= counted[0]; ++i)
        code[i] = counted[i];
    received = 1;
}

static void say(const char* text)
{
    DWORD n = 0;
    while (text[n])
        ++n;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, n, &n, NULL);
}

static int run(void)
{
    HANDLE scanner =
        CreateFileA("\\\\.\\COM8", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (scanner == INVALID_HANDLE_VALUE) {
        say("FAILED: COM8 does not open\n");
        return 1;
    }
    if (InitDriver(7, on_code) != 0) {
        say("FAILED: InitDriver(7) did not return 0\n");
        return 1;
    }
    DWORD written = 0;
    WriteFile(scanner, "12AB\r", 5, &written, NULL);
    for (int i = 0; i < 1000 && !received; ++i)
        Sleep(10);
    const int ok =
        received && code[0] == 4 && code[1] == '1' && code[2] == '2' && code[3] == 'A' && code[4] == 'B';
    say(ok ? "ok: 12AB arrived through the import library\n" : "FAILED: 12AB did not arrive\n");
    const int left = DestroyDriver();
    if (left != 0)
        say("FAILED: DestroyDriver did not return 0\n");
    CloseHandle(scanner);
    return ok && left == 0 ? 0 : 1;
}

#if defined(_MSC_VER)
/* No C runtime: the process starts here. */
void __stdcall start(void)
{
    ExitProcess((UINT)run());
}
#else
int main(void)
{
    return run();
}
#endif
