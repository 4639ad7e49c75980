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
    uint64_t reader_stalls;      /* times the port's reader got stuck (5 s past what a round may take) */
    uint32_t reader_stalled;     /* 1 while it is stuck so */
    uint32_t ms_since_round;     /* since its last round; 0 while the line is gone for good */
    uint64_t codes_unidentified; /* [Code] SymbologyId=Aim, yet no valid identifier came first */
} BelvorStats;

/*
 * Fills stats for the driver with that index (as InitDriver returned it).
 * Callable from any thread, also from inside a callback; cheap. Returns 0, or
 * -1 for an index that names no live driver, a NULL stats or a size smaller
 * than the first version's; GetLastError() or errno then tells why. Ordinal 6.
 */
BELVOR_API int32_t BELVOR_CALL GetDriverStats(int32_t driver, BelvorStats* stats);

/*
 * What a code is, for a till of the 2D era: its symbology and, for GS1 data
 * (GS1-128, GS1 DataMatrix, GS1 QR, GS1 DataBar, EAN/UPC, a GS1 Digital Link
 * URI), its fields. Every pointer points into buffers of the library's that
 * are valid only during the call that hands the BelvorScan over: copy what
 * you keep. See docs/hosts.md, "Tills of the 2D era".
 */

/* One GS1 field: its application identifier and its value, in the order scanned. */
typedef struct BelvorGs1Field {
    char ai[8];                 /* "01", "17", "3103": digits, zero-terminated */
    const unsigned char* value; /* value_length bytes, no terminating zero */
    uint32_t value_length;
} BelvorGs1Field;

/* BelvorGs1Error.kind: what is wrong with a GS1 code; the fields stay. */
#define BELVOR_GS1_UNKNOWN_AI 1     /* no such application identifier */
#define BELVOR_GS1_TOO_SHORT 2      /* a value shorter than its AI allows, or the data ran out */
#define BELVOR_GS1_TOO_LONG 3       /* longer than its AI allows (a separator lost?) */
#define BELVOR_GS1_BAD_CHARACTER 4  /* a character its AI's set does not have */
#define BELVOR_GS1_CHECK_DIGIT 5    /* a GTIN, SSCC, GLN... whose check digit is wrong */
#define BELVOR_GS1_BAD_DATE 6       /* no such date (YYMMDD; DD 00 is the month's end) */
#define BELVOR_GS1_BAD_TIME 7       /* no such hour, minute or second */
#define BELVOR_GS1_BAD_COUNTRY 8    /* no such ISO 3166 country code */
#define BELVOR_GS1_BAD_CURRENCY 9   /* no such ISO 4217 currency code */
#define BELVOR_GS1_BAD_KEY 10       /* a key without a GS1 Company Prefix */
#define BELVOR_GS1_BAD_VALUE 11     /* any other rule of its AI broken */
#define BELVOR_GS1_BAD_QUALIFIER 12 /* Digital Link: a path AI that does not qualify its key there */
#define BELVOR_GS1_NOT_ATTRIBUTE 13 /* Digital Link: a query AI that may not stand there */
#define BELVOR_GS1_BAD_URI 14       /* Digital Link: a bad percent escape, or no key */

typedef struct BelvorGs1Error {
    char ai[8];        /* the field's AI, "" when none could be read */
    uint32_t kind;     /* BELVOR_GS1_* */
    uint32_t position; /* where in the label it was found, from 0 */
} BelvorGs1Error;

/* BelvorScan.flags */
#define BELVOR_SCAN_IDENTIFIED 1   /* a valid symbology identifier came first */
#define BELVOR_SCAN_GS1 2          /* fields holds GS1 data (errors may hold what is wrong) */
#define BELVOR_SCAN_DIGITAL_LINK 4 /* read from a GS1 Digital Link URI */

/* BelvorScan.type: ScanDataType numbers of the point-of-sale standard; the
 * table is in docs/hosts.md (EAN-13 104, GS1-128 120, GS1 DataMatrix 208...). */
#define BELVOR_SCAN_UNKNOWN 0

typedef struct BelvorScan {
    uint32_t size;             /* the bytes the library filled; later versions add at the end */
    int32_t driver;            /* the driver that read it (InitDriver's index); -1 from ParseScan */
    const unsigned char* data; /* the code as received, identifier and all */
    uint32_t data_length;
    uint32_t type;              /* BELVOR_SCAN_UNKNOWN or a ScanDataType number */
    const unsigned char* label; /* the code without its identifier(s) */
    uint32_t label_length;
    uint32_t flags;               /* BELVOR_SCAN_* */
    char aim[8];                  /* the identifier, "]d2"; "" when none */
    const BelvorGs1Field* fields; /* GS1 fields in the order scanned */
    uint32_t field_count;
    uint32_t error_count;
    const BelvorGs1Error* errors; /* what is wrong with them */
} BelvorScan;

/*
 * The scan callback: one call per code, with what it is. The code, its order
 * and the status calls keep every rule said above of the CodeProc.
 */
typedef void(BELVOR_CALL* ScanProc)(const BelvorScan* scan, void* context);

/*
 * While a ScanProc is set, every code of every driver goes to it instead of
 * the CodeProc or EventProc; NULL clears it. Waited for as SetCodeProc's
 * CodeProc is. Without [Code] SymbologyId=Aim nothing is read as an
 * identifier: a code is typed unknown, but a GS1 Digital Link URI still gives
 * its fields. Ordinal 7.
 */
BELVOR_API ScanProc BELVOR_CALL SetScanProc(ScanProc proc, void* context);

/* ParseScan's flags */
#define BELVOR_PARSE_AIM 1 /* the data starts with its symbology identifier */

/*
 * Reads a code got elsewhere (a keyboard wedge, a camera) as a ScanProc would
 * get it, and calls proc once with it, on your thread, before it returns.
 * Needs no driver. Returns 0, or -1 for a NULL proc, NULL data with a length,
 * or a length over 8192. Ordinal 8.
 */
BELVOR_API int32_t BELVOR_CALL ParseScan(const unsigned char* data, uint32_t length, uint32_t flags,
                                         ScanProc proc, void* context);

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
typedef ScanProc(BELVOR_CALL* BelvorSetScanProcFn)(ScanProc proc, void* context);
typedef int32_t(BELVOR_CALL* BelvorParseScanFn)(const unsigned char* data, uint32_t length, uint32_t flags,
                                                ScanProc proc, void* context);

#ifdef __cplusplus
}
#endif

#endif /* BELVOR_H */
