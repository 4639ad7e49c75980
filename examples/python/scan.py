#!/usr/bin/env python3
"""scan PORT [--seconds N]: prints each code read on COM<PORT>, one per line."""
import argparse
import queue
import sys
import time

from belvor import Scanner


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("port", type=int)
    parser.add_argument("--seconds", type=float, help="stop after this long (default: at Ctrl-C)")
    parser.add_argument("--library", help="path of the Belvor library (default: its usual name)")
    args = parser.parse_args()

    codes = queue.Queue()  # the driver's thread only puts; this thread prints
    try:
        scanner = Scanner(args.port, codes.put, library=args.library)
    except OSError as error:
        print("scan: %s" % error, file=sys.stderr)
        return 1
    end = time.monotonic() + args.seconds if args.seconds is not None else None
    with scanner:
        try:
            while end is None or time.monotonic() < end:
                try:
                    code = codes.get(timeout=0.1)
                except queue.Empty:
                    continue
                print(code.decode("latin-1"), flush=True)
        except KeyboardInterrupt:
            pass
    while not codes.empty():  # what came before the driver was gone
        print(codes.get().decode("latin-1"), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
