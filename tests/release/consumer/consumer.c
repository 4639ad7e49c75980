/*
 * A program built against the installed library (through find_package or
 * pkg-config) and linked with it: drives COM<port> and waits for one code.
 * Usage: consumer PORT EXPECTED  (EXPECTED "-": InitDriver must fail)
 */
#define _POSIX_C_SOURCE 200809L /* nanosleep under -std=c11 */

#include <belvor.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

static char first[256];
static volatile int received;

static void on_code(const unsigned char* counted)
{
    if (received)
        return;
    memcpy(first, counted + 1, counted[0]);
    first[counted[0]] = '\0';
    received = 1;
}

int main(int argc, char** argv)
{
    if (argc != 3)
        return 2;
    const int32_t index = InitDriver((uint32_t)atoi(argv[1]), on_code);
    if (strcmp(argv[2], "-") == 0) {
        printf("InitDriver(%s) = %d\n", argv[1], index);
        return index == -1 ? 0 : 1;
    }
    if (index < 0) {
        perror("InitDriver");
        return 1;
    }
    const struct timespec pause = {0, 10 * 1000 * 1000};
    for (int i = 0; i < 1000 && !received; ++i)
        nanosleep(&pause, NULL);
    const int left = DestroyDriver();
    printf("first code: \"%s\"; %d driver(s) left\n", received ? first : "(none)", left);
    return received && strcmp(first, argv[2]) == 0 && left == 0 ? 0 : 1;
}
