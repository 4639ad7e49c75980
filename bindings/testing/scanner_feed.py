"""A scanner on a pty for the binding tests whose language has no pty of its own (C#, Pascal).

scanner_feed.py COM_DIR PORT makes the tests' scanner line (tools/scanner_line.py, the one the
Python binding's tests use) as COM<PORT>, says "ready <tty>" once it is linked, then types into it
every byte that comes on standard input, as it comes. At the end of the input the cable is pulled
(the pty closed, its link gone) before the program ends.
"""
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from scanner_line import ScannerLine  # noqa: E402


def main():
    # What else the test program had open stays its own: a copy of another feed's input held here
    # would keep that feed from ever seeing the end of its input.
    os.closerange(3, os.sysconf("SC_OPEN_MAX"))
    line = ScannerLine(sys.argv[1], int(sys.argv[2]))
    print("ready", line.tty, flush=True)
    while True:
        data = os.read(0, 65536)
        if not data:
            break
        line.write(data)
    line.pull()


if __name__ == "__main__":
    main()
