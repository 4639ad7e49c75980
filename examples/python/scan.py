#!/usr/bin/env python3
"""scan PORT [--seconds N]: prints each code read on COM<PORT>, one per line.

A code the library knows more of is followed by its type and, for GS1 data,
its GTIN, expiry and batch: "0109501101530003...  (type 208, GTIN ...)".
"""
import argparse
import queue
import sys
import time

from belvor import Scanner


def describe(scan):
    facts = ["type %d" % scan.type] if scan.type else []
    for name, value in (("GTIN", scan.gtin), ("expiry", scan.expiry), ("batch", scan.batch)):
        if value is not None:
            facts.append("%s %s" % (name, value))
    text = scan.label.decode("latin-1")
    return (text + "  (%s)" % ", ".join(facts)) if facts else text


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("port", type=int)
    parser.add_argument("--seconds", type=float, help="stop after this long (default: at Ctrl-C)")
    parser.add_argument("--library", help="path of the Belvor library (default: its usual name)")
    args = parser.parse_args()

    codes = queue.Queue()  # the driver's thread only puts; this thread prints
    try:
        scanner = Scanner(args.port, on_scan=codes.put, library=args.library)
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
                print(describe(code), flush=True)
        except KeyboardInterrupt:
            pass
    while not codes.empty():  # what came before the driver was gone
        print(describe(codes.get()), flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
