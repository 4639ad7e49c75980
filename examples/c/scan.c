/*
 * scan PORT [--seconds N]: prints each code read on COM<PORT>, one per line.
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
#include <time.h>
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
    unsigned char code[256];
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

/* The driver's thread: copy and return at once. */
static void BELVOR_CALL on_code(const unsigned char* code)
{
    LOCK();
    if (head - tail < 64) {
        queue[head % 64].status = 0;
        memcpy(queue[head % 64].code, code, (size_t)code[0] + 1);
        ++head;
    }
    UNLOCK();
}

/* Likewise, in order with the codes. */
static void BELVOR_CALL on_status(int32_t driver, int32_t status, uint32_t detail, void* context)
{
    (void)driver;
    (void)context;
    LOCK();
    if (head - tail < 64) {
        queue[head % 64].status = status;
        queue[head % 64].detail = detail;
        ++head;
    }
    UNLOCK();
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
            fwrite(e.code + 1, 1, e.code[0], stdout);
            putchar('\n');
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
    /* An older library has neither; the scan goes on without them. */
    BelvorSetStatusProcFn set_status = (BelvorSetStatusProcFn)load(getenv("BELVOR_LIBRARY"), "SetStatusProc");
    BelvorGetDriverStatsFn get_stats =
        (BelvorGetDriverStatsFn)load(getenv("BELVOR_LIBRARY"), "GetDriverStats");

    LOCK_INIT();
    signal(SIGINT, on_interrupt);
    if (set_status)
        set_status(on_status, NULL); /* before InitDriver: a port may be lost at once */
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
