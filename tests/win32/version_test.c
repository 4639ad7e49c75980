/*
 * Reads Belvor.dll's version resource back as Explorer's Details tab does,
 * through version.dll (which only this test program imports, not the DLL).
 */
#include <stdio.h>
#include <string.h>
#include <windows.h>

static int passed, failed;

static void check(int ok, const char* what, const char* got)
{
    printf("%s: %s%s%s\n", ok ? "ok" : "FAILED", what, got ? ": " : "", got ? got : "");
    if (ok)
        ++passed;
    else
        ++failed;
}

static const char* string_value(void* info, const char* name)
{
    char query[128];
    void* value = NULL;
    UINT length = 0;
    snprintf(query, sizeof query, "\\StringFileInfo\\040904B0\\%s", name);
    if (!VerQueryValueA(info, query, &value, &length) || length == 0)
        return NULL;
    return (const char*)value;
}

static int same(const char* got, const char* expected)
{
    return got && strcmp(got, expected) == 0;
}

int main(void)
{
    static char info[8192];
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA("Belvor.dll", &ignored);
    check(size > 0 && size <= sizeof info, "Belvor.dll has a version resource", NULL);
    if (size == 0 || size > sizeof info || !GetFileVersionInfoA("Belvor.dll", 0, size, info)) {
        printf("%d passed, %d failed\n", passed, failed + 1);
        return 1;
    }

    VS_FIXEDFILEINFO* fixed = NULL;
    UINT length = 0;
    check(VerQueryValueA(info, "\\", (void**)&fixed, &length) && length >= sizeof *fixed &&
              fixed->dwSignature == 0xFEEF04BD,
          "the VS_FIXEDFILEINFO block is there", NULL);
    if (fixed) {
        const DWORD ms = (BELVOR_MAJOR << 16) | BELVOR_MINOR, ls = (DWORD)BELVOR_PATCH << 16;
        check(fixed->dwFileVersionMS == ms && fixed->dwFileVersionLS == ls, "binary FileVersion", NULL);
        check(fixed->dwProductVersionMS == ms && fixed->dwProductVersionLS == ls, "binary ProductVersion",
              NULL);
        check(fixed->dwFileType == VFT_DLL, "file type is a DLL", NULL);
    }
    const char* file_version = string_value(info, "FileVersion");
    check(same(file_version, BELVOR_VERSION), "FileVersion is " BELVOR_VERSION, file_version);
    const char* product_version = string_value(info, "ProductVersion");
    check(same(product_version, BELVOR_VERSION), "ProductVersion is " BELVOR_VERSION, product_version);
    const char* product = string_value(info, "ProductName");
    check(same(product, "Belvor"), "ProductName is Belvor", product);
    const char* original = string_value(info, "OriginalFilename");
    check(same(original, "Belvor.dll"), "OriginalFilename is Belvor.dll", original);
    const char* copyright = string_value(info, "LegalCopyright");
    check(copyright && strncmp(copyright, BELVOR_COPYRIGHT, strlen(BELVOR_COPYRIGHT)) == 0,
          "LegalCopyright names the copyright holders", copyright);
    const char* description = string_value(info, "FileDescription");
    check(description && strstr(description, BELVOR_BITS) != NULL, "FileDescription names the build",
          description);

    printf("%d passed, %d failed\n", passed, failed);
    return failed ? 1 : 0;
}
