/*
 * wait_race PORT SECONDS [--rearm]: the worker's calls on a serial port and
 * nothing else, to tell Wine's fault from the driver's.
 *
 * Opens \\.\COM<PORT> as the driver does (exclusive, overlapped), with its
 * queue sizes, event mask and time-outs, then for SECONDS: an overlapped
 * WaitCommEvent, looked at with GetOverlappedResult(FALSE) every 10 ms; when it
 * has ended, ClearCommError and, for what is queued, an overlapped ReadFile
 * bounded at 20 ms; then the next wait.
 *
 * A wait whose event is set while GetOverlappedResult still says
 * ERROR_IO_INCOMPLETE has lost its completion: on Windows the event is set
 * only after the status is written. Without --rearm the program waits on, as
 * the driver used to, and reports "stalled" if it never ends. With --rearm it
 * takes such a wait as ended after 50 ms and starts the next one.
 *
 * Prints one line: waits, bytes, lost completions, and "stalled" or "ok".
 * Exit status 1 when stalled. docs/evidence/wine-wait-race/run.sh runs it under load.
 */
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define MASK 0x000020C5u /* the driver's mask without the modem lines a pty refuses */
#define LOST_AFTER_MS 50
#define STALL_MS 1000

int main(int argc, char** argv)
{
    char name[32];
    HANDLE file;
    COMMTIMEOUTS timeouts = {MAXDWORD, 0, 0, 0, 20000};
    OVERLAPPED wait, read;
    DWORD mask = 0, waits = 0, bytes = 0, lost = 0, start, end, set_since = 0;
    int rearm, stalled = 0, pending = 0;
    static unsigned char buffer[4096];

    if (argc < 3) {
        fprintf(stderr, "usage: wait_race PORT SECONDS [--rearm]\n");
        return 2;
    }
    rearm = argc > 3 && strcmp(argv[3], "--rearm") == 0;
    snprintf(name, sizeof name, "\\\\.\\COM%d", atoi(argv[1]));
    file = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "wait_race: %s: error %lu\n", name, GetLastError());
        return 2;
    }
    SetupComm(file, 4096, 4096);
    SetCommMask(file, MASK);
    SetCommTimeouts(file, &timeouts);
    memset(&wait, 0, sizeof wait);
    memset(&read, 0, sizeof read);
    wait.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    read.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);

    start = GetTickCount();
    end = start + 1000u * (DWORD)atoi(argv[2]);
    while ((LONG)(GetTickCount() - end) < 0) {
        DWORD got = 0, errors = 0;
        COMSTAT stat;
        if (!pending) {
            ++waits;
            if (!WaitCommEvent(file, &mask, &wait) && GetLastError() == ERROR_IO_PENDING) {
                pending = 1;
                set_since = 0;
            }
        } else if (GetOverlappedResult(file, &wait, &got, FALSE) || GetLastError() != ERROR_IO_INCOMPLETE) {
            pending = 0;
        } else if (WaitForSingleObject(wait.hEvent, 0) == WAIT_OBJECT_0) {
            /* Set, and yet incomplete: its completion was written over. */
            DWORD now = GetTickCount();
            if (set_since == 0)
                set_since = now;
            if (rearm && now - set_since >= LOST_AFTER_MS) {
                ++lost;
                ResetEvent(wait.hEvent);
                pending = 0;
            } else if (!rearm && now - set_since >= STALL_MS) {
                ++lost;
                stalled = 1;
                break;
            }
        }
        if (!pending && ClearCommError(file, &errors, &stat) && stat.cbInQue != 0) {
            DWORD n = stat.cbInQue < sizeof buffer ? stat.cbInQue : sizeof buffer;
            ResetEvent(read.hEvent);
            if (ReadFile(file, buffer, n, NULL, &read) || GetLastError() == ERROR_IO_PENDING) {
                if (WaitForSingleObject(read.hEvent, 20) != WAIT_OBJECT_0)
                    CancelIoEx(file, &read);
                if (GetOverlappedResult(file, &read, &got, TRUE))
                    bytes += got;
            }
        }
        Sleep(10); /* the driver's pause between two cycles */
    }
    printf("wait_race: %lu waits, %lu bytes, %lu lost completions: %s\n", waits, bytes, lost,
           stalled ? "stalled" : "ok");
    if (pending)
        SetCommMask(file, 0);
    CloseHandle(file);
    return stalled ? 1 : 0;
}
