/*
 * Belvor: bar-code scanner driver.
 *
 * Load the library (Belvor.dll on Windows, libbelvor.so on Linux) at run
 * time, call InitDriver once per scanner, and receive every scanned code
 * through your callback. Call the library's functions from one thread at a
 * time (a callback's own calls aside, as said below).
 *
 * The callback receives a counted string: byte 0 is the code's length n
 * (0 to 255), bytes 1..n are its characters, in the order scanned. There is
 * no terminating zero. The buffer belongs to the library and is valid only
 * until the callback returns: copy what you keep. The callback runs on a
 * thread of the driver's own, never on yours; with several scanners it may
 * run on several threads at once, and nothing in a code tells which scanner
 * sent it. Do not call DestroyDriver from inside the callback.
 *
 * Before writing a host, read docs/hosts.md: the driver's life, the callback's
 * thread, errors, configuration, and the bindings for Python, C# and Pascal.
 */
#ifndef BELVOR_H
#define BELVOR_H

#include <stdint.h>

#if defined(_WIN32)
#define BELVOR_CALL __stdcall
#define BELVOR_API
#else
#define BELVOR_CALL
#define BELVOR_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The host's callback: one call per code. */
typedef void(BELVOR_CALL* EventProc)(const unsigned char* code);

/*
 * Opens COM<port> (1-255; only the low 8 bits count) for a scanner, makes
 * callback the one callback of all drivers (NULL: codes are dropped), and
 * returns the new driver's index, 0 to 9. Returns -1 when no driver was
 * created (port 0, the port cannot be opened or configured, ten drivers
 * live); GetLastError() on Windows or errno on Linux then tells why. When
 * callback replaces another, it waits for the other as SetEventProc does.
 */
BELVOR_API int32_t BELVOR_CALL InitDriver(uint32_t port, EventProc callback);

/*
 * Destroys the newest driver and returns how many are still live; -1 when
 * none is live or when called from inside the callback.
 */
BELVOR_API int32_t BELVOR_CALL DestroyDriver(void);

/*
 * Replaces the callback of all drivers and returns the previous one. Called
 * from your thread, it returns only once no driver's thread is still in the
 * previous callback, nor can call it again: what that callback used may be
 * freed from then on. So do not call it while holding something the callback
 * waits for. Called from inside a callback it cannot wait (the callback may
 * be its own caller's): it returns at once, and the previous callback may
 * still be running on another driver's thread, or about to be called there
 * once more with the code it has in hand.
 */
BELVOR_API EventProc BELVOR_CALL SetEventProc(EventProc callback);

/*
 * The source-tagged callback, for a till with several scanners or codes
 * longer than a counted string suits: one call per code with the index of
 * the driver that read it (as InitDriver returned it), the code's bytes and
 * their number (no length byte, no terminating zero; valid only during the
 * call: copy what you keep), and the context you gave SetCodeProc.
 */
typedef void(BELVOR_CALL* CodeProc)(int32_t driver, const unsigned char* data, uint32_t length,
                                    void* context);

/*
 * While a CodeProc is set, every code of every driver goes to it instead of
 * the EventProc; NULL clears it, and codes go to the EventProc again. Takes
 * effect from the next code. Returns the previous CodeProc. Everything said
 * above of the EventProc holds for it too: it runs on the drivers' threads,
 * possibly on several at once, and must not call DestroyDriver. A code longer
 * than 255 characters ([Code] MaxLength= in Belvor.ini, up to 8192) reaches a
 * CodeProc whole; an EventProc gets its first 255. Like SetEventProc, called
 * from your thread it returns only once no driver's thread is still in the
 * previous CodeProc or can call it again with the previous context, so the
 * context may then be freed; from inside a callback it returns at once,
 * without that promise. Ordinal 4.
 */
BELVOR_API CodeProc BELVOR_CALL SetCodeProc(CodeProc proc, void* context);

/* What a StatusProc is told. */
#define BELVOR_STATUS_LOST 1          /* the scanner is gone; detail: the system's error code */
#define BELVOR_STATUS_BACK 2          /* it is back and reading again; detail: 0 */
#define BELVOR_STATUS_CODES_DROPPED 3 /* detail: codes dropped while the queue was full */
#define BELVOR_STATUS_CODE_CUT 4      /* detail: the length the next code had as received */
#define BELVOR_STATUS_STALLED 5       /* the port's reader is stuck (see below) */

/*
 * BELVOR_STATUS_STALLED: the port's reader is 5 s past what one of its rounds
 * may take (a call of the system's that does not return): scans may not
 * arrive. Detail: the milliseconds since its last round. Told again, with
 * detail 0, once it runs on.
 *
 * The status callback: one call per change of a scanner's line or per loss of
 * codes, on the delivery thread of the driver it concerns, in order with its
 * codes: a code read before a loss reaches the host before the loss does, and
 * a CODE_CUT comes just before the code it concerns.
 */
typedef void(BELVOR_CALL* StatusProc)(int32_t driver, int32_t status, uint32_t detail, void* context);

/*
 * Sets the status callback of all drivers (NULL: none, the default) and
 * returns the previous one. It is waited for as SetCodeProc's CodeProc is,
 * and the same rules hold inside it: it must not call DestroyDriver.
 * Ordinal 5.
 */
BELVOR_API StatusProc BELVOR_CALL SetStatusProc(StatusProc proc, void* context);

/* BelvorStats.state */
#define BELVOR_PORT_OPEN 1 /* the scanner's port is open */
#define BELVOR_PORT_LOST 2 /* the scanner is gone; the port is opened anew every second */
#define BELVOR_PORT_GONE 3 /* the scanner is gone and Reconnect=0 keeps it so */

/*
 * What a driver has done since InitDriver made it. Set size to
 * sizeof(BelvorStats) before the call: a later version may add fields at
 * the end, and fills only what the caller's size holds. Every field keeps its
 * offset on 32- and 64-bit builds alike.
 */
typedef struct BelvorStats {
    uint32_t size;              /* in: the struct's size; out: how many bytes were filled */
    uint32_t port;              /* COMn */
    uint32_t state;             /* BELVOR_PORT_* */
    uint32_t last_error;        /* the system's code of the last loss, 0 when none */
    uint64_t codes_delivered;   /* handed to a callback */
    uint64_t codes_undelivered; /* no callback was set */
    uint64_t codes_cut;         /* longer than [Code] MaxLength= */
    uint64_t codes_dropped;     /* the queue was full */
    uint64_t bytes_received;
    uint64_t bytes_refused; /* not allowed in a code, left out */
    uint64_t overruns;      /* the line's errors as the device reported them */
    uint64_t parity_errors;
    uint64_t framing_errors;
    uint64_t breaks;
    uint64_t losses;
    uint64_t returns;
    uint32_t queue_length; /* codes waiting for delivery now */
    uint32_t queue_high;   /* the most that ever waited */
    int64_t ms_since_code; /* since the last code was read, -1 before the first */
    /* Added in 1.2: a caller whose size ends before them does not get them. */
    uint64_t reader_stalls;  /* times the port's reader got stuck (5 s past what a round may take) */
    uint32_t reader_stalled; /* 1 while it is stuck so */
    uint32_t ms_since_round; /* since its last round; 0 while the line is gone for good */
} BelvorStats;

/*
 * Fills stats for the driver with that index (as InitDriver returned it).
 * Callable from any thread, also from inside a callback; cheap. Returns 0, or
 * -1 for an index that names no live driver, a NULL stats or a size smaller
 * than the first version's; GetLastError() or errno then tells why. Ordinal 6.
 */
BELVOR_API int32_t BELVOR_CALL GetDriverStats(int32_t driver, BelvorStats* stats);

/*
 * The functions' types, for a host that looks them up at run time
 * (GetProcAddress, dlsym) instead of linking to the library.
 */
typedef int32_t(BELVOR_CALL* BelvorInitDriverFn)(uint32_t port, EventProc callback);
typedef int32_t(BELVOR_CALL* BelvorDestroyDriverFn)(void);
typedef EventProc(BELVOR_CALL* BelvorSetEventProcFn)(EventProc callback);
typedef CodeProc(BELVOR_CALL* BelvorSetCodeProcFn)(CodeProc proc, void* context);
typedef StatusProc(BELVOR_CALL* BelvorSetStatusProcFn)(StatusProc proc, void* context);
typedef int32_t(BELVOR_CALL* BelvorGetDriverStatsFn)(int32_t driver, BelvorStats* stats);

#ifdef __cplusplus
}
#endif

#endif /* BELVOR_H */
