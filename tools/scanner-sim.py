#!/usr/bin/env python3
"""A simulated bar-code scanner on a pty.

Makes a pty, links its slave side as <system dir>/com<N> (where the driver
looks for COM<N> on Linux), and types codes into it as a scanner would:
each code's characters followed by a carriage return.
"""
import argparse
import codecs
import os
import signal
import sys
import time

from scanner_line import NullModemEnd, ScannerLine, opened_elsewhere

# What a shop's scanner sends, and what the driver makes of it with the
# default allow-list (upper-case hexadecimal digits).
CODES = [
    b"4006381333931\r",    # EAN-13
    b"12ab34CD\r",         # lower-case letters: dropped
    b"5901234123457\r\n",  # CR LF ending: the LF is dropped
    b"\r",                 # an empty code
    b"ABC-123\r",          # a character outside the list: dropped
    b"0012345678905\r",    # UPC-A as EAN-13
]

# A till of the 2D era's scanner, set to send each code's AIM symbology
# identifier first: an EAN-13, a GS1 DataMatrix of a medicine (GTIN, expiry,
# batch, then after the group separator that ends the batch, a serial), a QR
# code with a GS1 Digital Link URI, and a GS1-128 of fresh food (GTIN, net
# weight 1.250 kg, best before).
CODES_2D = [
    b"]E04006381333931\r",
    b"]d201095011015300031727123110AB-123\x1d21SN00042\r",
    b"]Q1https://id.gs1.org/01/09506000134352/10/LOT7?17=270630\r",
    b"]C10119501101530000310300125015271215\r",
]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--dir", help="directory that stands for the COM ports")
    parser.add_argument("--port", type=int, default=5, help="COM number to appear as")
    parser.add_argument("--interval", type=float, default=0.8, help="seconds between codes")
    parser.add_argument("--count", type=int, default=0, help="codes to send, 0 for ever")
    parser.add_argument("--delay", type=float, default=1.0, help="seconds before the first code")
    parser.add_argument("--wait-open", nargs="?", const="", metavar="TTY",
                        help="first wait until another program opens TTY (default: this scanner's port)")
    parser.add_argument("--line", metavar="TTY",
                        help="type into this tty (one end of a null-modem pair, waited for up to 30 s) instead of a pty of our own")
    parser.add_argument("--code", action="append", metavar="BYTES",
                        help="send this code (repeatable, in turn) instead of the built-in ones; Python escapes, "
                             "e.g. '0104606\\x1d21abc\\r' for a GS1 code with its group separator and CR")
    parser.add_argument("--2d", dest="two_d", action="store_true",
                        help="send 2D and GS1 codes, each with its AIM symbology identifier, "
                             "instead of the built-in shop codes")
    parser.add_argument("--stdin", action="store_true",
                        help="type the bytes of standard input as they come, instead of codes; its end "
                             "pulls the cable (the C# and Pascal binding tests' scanner)")
    args = parser.parse_args()
    if args.stdin:
        # A test program's other pipes, inherited, would keep its other scanners from seeing their input end.
        os.closerange(3, os.sysconf("SC_OPEN_MAX"))
    codes = [codecs.escape_decode(code.encode())[0] for code in args.code] if args.code else (
        CODES_2D if args.two_d else CODES)
    if not args.dir and not args.line:
        parser.error("--dir or --line is needed")

    line = NullModemEnd(args.line) if args.line else ScannerLine(args.dir, args.port)

    def stop(*_):
        if isinstance(line, ScannerLine):
            line.unlink()
        sys.exit(0)

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    print("scanner-sim: COM%d is %s" % (args.port, line.tty), flush=True)
    while args.stdin and (data := os.read(0, 65536)):
        line.write(data)
    if args.stdin:
        stop()
    if args.wait_open is not None:
        # A program slow to start (Mono, Wine) must not miss the first codes.
        watched = os.path.realpath(args.wait_open) if args.wait_open else line.tty
        while not opened_elsewhere(watched):
            time.sleep(0.05)
    time.sleep(args.delay)
    sent = 0
    while args.count == 0 or sent < args.count:
        line.write(codes[sent % len(codes)])
        sent += 1
        time.sleep(args.interval)
    time.sleep(0.5)
    stop()


if __name__ == "__main__":
    main()
