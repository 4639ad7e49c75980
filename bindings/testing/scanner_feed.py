"""scanner_feed.py COM_DIR PORT: the Python tests' scanner line (tools/scanner_line.py) as COM<PORT>
for the C# and Pascal tests. Says "ready <tty>" once it is linked, types in every byte of standard
input as it comes, and at its end pulls the cable (the pty closed, its link gone).
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
