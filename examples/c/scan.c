/*
 * scan PORT [--seconds N]: prints each code read on COM<PORT>, one per line;
 * one the library knows more of with its type and, for GS1 data, its GTIN,
 * expiry and batch.
 *
 * Loads Belvor.dll / libbelvor.so.1 (or $BELVOR_LIBRARY) at run time. The
 * callbacks only copy the code or the status into a queue; this thread prints
 * it: codes on stdout, the scanner lost and back on stderr, and at the end
 * the driver's statistics on stderr.
 */
#define _POSIX_C_SOURCE 200809L /* nanosleep */
#include "belvor.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#ifdef _WIN32
#include <windows.h>
static CRITICAL_SECTION lock;
#define LOCK_INIT() InitializeCriticalSection(&lock)
#define LOCK() EnterCriticalSection(&lock)
#define UNLOCK() LeaveCriticalSection(&lock)
#define SLEEP_MS(ms) Sleep(ms)
#else
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
#define LOCK_INIT() ((void)0)
#define LOCK() pthread_mutex_lock(&lock)
#define UNLOCK() pthread_mutex_unlock(&lock)
#define SLEEP_MS(ms) nanosleep(&(struct timespec){0, (ms)*1000000L}, NULL)
#endif

/* Codes (status 0, the counted string they came as) and statuses waiting to be printed. */
struct event {
    int32_t status;
    uint32_t detail;
    unsigned char code[256];             /* from a scan: its label's first 255 characters */
    uint32_t type;                       /* a scan's ScanDataType, 0 when not known */
    char gtin[15], expiry[7], batch[21]; /* GS1 fields 01, 17, 10; "" when absent */
};
static struct event queue[64];
static unsigned head, tail;
static int port;
static volatile sig_atomic_t stop;

static void on_interrupt(int signal_number)
{
    (void)signal_number;
    stop = 1;
}

/* The next free place in the queue, cleared; NULL when full. Under the lock. */
static struct event* next_event(void)
{
    if (head - tail >= 64)
        return NULL;
    memset(&queue[head % 64], 0, sizeof queue[0]);
    return &queue[head++ % 64];
}

/* The driver's thread: copy and return at once. */
static void BELVOR_CALL on_code(const unsigned char* code)
{
    LOCK();
    struct event* e = next_event();
    if (e)
        memcpy(e->code, code, (size_t)code[0] + 1);
    UNLOCK();
}

static void copy_value(char* to, size_t size, const BelvorGs1Field* field)
{
    size_t n = field->value_length < size - 1 ? field->value_length : size - 1;
    memcpy(to, field->value, n);
    to[n] = '\0';
}

/* Likewise, with what the code is (a library that has SetScanProc). */
static void BELVOR_CALL on_scan(const BelvorScan* scan, void* context)
{
    (void)context;
    LOCK();
    struct event* e = next_event();
    if (e) {
        size_t n = scan->label_length < 255 ? scan->label_length : 255;
        e->code[0] = (unsigned char)n;
        memcpy(e->code + 1, scan->label, n);
        e->type = scan->type;
        for (uint32_t i = 0; i < scan->field_count; ++i) {
            const BelvorGs1Field* field = &scan->fields[i];
            if (strcmp(field->ai, "01") == 0)
                copy_value(e->gtin, sizeof e->gtin, field);
            else if (strcmp(field->ai, "17") == 0)
                copy_value(e->expiry, sizeof e->expiry, field);
            else if (strcmp(field->ai, "10") == 0)
                copy_value(e->batch, sizeof e->batch, field);
        }
    }
    UNLOCK();
}

/* Likewise, in order with the codes. */
static void BELVOR_CALL on_status(int32_t driver, int32_t status, uint32_t detail, void* context)
{
    (void)driver;
    (void)context;
    LOCK();
    struct event* e = next_event();
    if (e) {
        e->status = status;
        e->detail = detail;
    }
    UNLOCK();
}

/* A GS1 date (YYMMDD) as YYYY-MM-DD; 0 when it names no day. DD 00 is the month's
 * last day; the century puts the year within 49 years before and 50 after this one. */
static int gs1_date(const char* yymmdd, char out[32])
{
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (strlen(yymmdd) != 6 || strspn(yymmdd, "0123456789") != 6)
        return 0;
    time_t now = time(NULL);
    int current = localtime(&now)->tm_year + 1900;
    int year = current - current % 100 + (yymmdd[0] - '0') * 10 + (yymmdd[1] - '0');
    int month = (yymmdd[2] - '0') * 10 + (yymmdd[3] - '0'), day = (yymmdd[4] - '0') * 10 + (yymmdd[5] - '0');
    if (year - current > 50)
        year -= 100;
    else if (year - current < -49)
        year += 100;
    if (month < 1 || month > 12)
        return 0;
    int last = days[month - 1] + (month == 2 && year % 4 == 0 && (year % 100 != 0 || year % 400 == 0));
    if (day > last)
        return 0;
    snprintf(out, 32, "%04d-%02d-%02d", year, month, day ? day : last);
    return 1;
}

static void print_codes(void)
{
    struct event e;
    for (;;) {
        LOCK();
        int any = tail != head;
        if (any)
            e = queue[tail++ % 64];
        UNLOCK();
        if (!any)
            return;
        if (e.status == BELVOR_STATUS_LOST)
            fprintf(stderr, "scan: COM%d lost (error %lu)\n", port, (unsigned long)e.detail);
        else if (e.status == BELVOR_STATUS_BACK)
            fprintf(stderr, "scan: COM%d back\n", port);
        else if (e.status != 0)
            fprintf(stderr, "scan: COM%d status %d (%lu)\n", port, (int)e.status, (unsigned long)e.detail);
        else {
            const char* separator = "  (";
            char date[32];
            fwrite(e.code + 1, 1, e.code[0], stdout);
            if (e.type) {
                printf("%stype %lu", separator, (unsigned long)e.type);
                separator = ", ";
            }
            if (e.gtin[0]) {
                printf("%sGTIN %s", separator, e.gtin);
                separator = ", ";
            }
            if (gs1_date(e.expiry, date)) {
                printf("%sexpiry %s", separator, date);
                separator = ", ";
            }
            if (e.batch[0]) {
                printf("%sbatch %s", separator, e.batch);
                separator = ", ";
            }
            puts(separator[0] == ',' ? ")" : "");
            fflush(stdout);
        }
    }
}

static void* load(const char* name, const char* function)
{
    static void* library;
#ifdef _WIN32
    if (!library)
        library = LoadLibraryA(name ? name : "Belvor.dll");
    return library ? (void*)GetProcAddress((HMODULE)library, function) : NULL;
#else
    if (!library)
        library = name ? dlopen(name, RTLD_NOW) : dlopen("libbelvor.so.1", RTLD_NOW);
    if (!library && !name)
        library = dlopen("libbelvor.so", RTLD_NOW);
    return library ? dlsym(library, function) : NULL;
#endif
}

int main(int argc, char** argv)
{
    port = argc > 1 ? atoi(argv[1]) : -1;
    double seconds = argc > 3 && strcmp(argv[2], "--seconds") == 0 ? atof(argv[3]) : -1;
    if (port < 0 || (argc != 2 && argc != 4)) {
        fprintf(stderr, "usage: scan PORT [--seconds N]\n");
        return 2;
    }
    BelvorInitDriverFn init = (BelvorInitDriverFn)load(getenv("BELVOR_LIBRARY"), "InitDriver");
    BelvorDestroyDriverFn destroy = (BelvorDestroyDriverFn)load(getenv("BELVOR_LIBRARY"), "DestroyDriver");
    if (!init || !destroy) {
        fprintf(stderr, "scan: cannot load the Belvor library\n");
        return 1;
    }
    /* An older library has none of these; the scan goes on without them. */
    BelvorSetStatusProcFn set_status = (BelvorSetStatusProcFn)load(getenv("BELVOR_LIBRARY"), "SetStatusProc");
    BelvorGetDriverStatsFn get_stats =
        (BelvorGetDriverStatsFn)load(getenv("BELVOR_LIBRARY"), "GetDriverStats");
    BelvorSetScanProcFn set_scan = (BelvorSetScanProcFn)load(getenv("BELVOR_LIBRARY"), "SetScanProc");

    LOCK_INIT();
    signal(SIGINT, on_interrupt);
    if (set_status)
        set_status(on_status, NULL); /* before InitDriver: a port may be lost at once */
    if (set_scan)
        set_scan(on_scan, NULL); /* every code to on_scan instead of on_code */
    int32_t driver = init((uint32_t)port, on_code);
    if (driver < 0) {
#ifdef _WIN32
        DWORD error = GetLastError(); /* before any other call can change it */
        char text[256] = "";
        FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, error, 0, text,
                       sizeof text, NULL);
        text[strcspn(text, "\r\n")] = '\0';
        fprintf(stderr, "scan: COM%d: %s (error %lu)\n", port, text, (unsigned long)error);
#else
        int error = errno;
        fprintf(stderr, "scan: COM%d: %s (errno %d)\n", port, strerror(error), error);
#endif
        return 1;
    }
    for (long ticks = 0; !stop && (seconds < 0 || ticks < seconds * 20); ++ticks) {
        print_codes();
        SLEEP_MS(50);
    }
    BelvorStats stats = {0};
    stats.size = sizeof stats;
    if (get_stats && get_stats(driver, &stats) == 0)
        fprintf(stderr, "scan: %llu codes, %llu cut, %llu dropped; lost %llu times\n",
                (unsigned long long)stats.codes_delivered, (unsigned long long)stats.codes_cut,
                (unsigned long long)stats.codes_dropped, (unsigned long long)stats.losses);
    destroy();
    print_codes(); /* what came before the driver was gone */
    return 0;
}
