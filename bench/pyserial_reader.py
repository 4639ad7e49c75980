#!/usr/bin/env python3
"""Reads codes from a serial line with pyserial's read_until(b'\\r').

The comparison reader of the line benchmark: it opens the line as a host
written in Python would (9600 8N1, blocking), prints "ready", then records the
CLOCK_MONOTONIC time at which each read_until returns, until the end code
EEEE arrives. It then prints one line per code: the time in nanoseconds and
the code.
"""
import sys
import time

import serial


def main():
    path = sys.argv[1]
    line = serial.Serial(path, baudrate=9600, bytesize=8, parity="N", stopbits=1, timeout=None)
    print("ready", flush=True)
    clock = time.clock_gettime_ns
    monotonic = time.CLOCK_MONOTONIC
    read_until = line.read_until
    got = []
    append = got.append
    while True:
        code = read_until(b"\r")
        now = clock(monotonic)
        if code == b"EEEE\r":
            break
        append((now, code))
    line.close()
    out = sys.stdout
    for now, code in got:
        out.write("%d %s\n" % (now, code[:-1].decode("ascii", "replace")))
    out.flush()


if __name__ == "__main__":
    main()
