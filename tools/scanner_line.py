"""A scanner on a line, for the simulated scanner, the tests and the benchmarks.

ScannerLine: a pty in raw mode whose slave is linked as <com dir>/com<N>: where
the library looks for COM<N> (natively its system directory; under Wine, the
prefix's dosdevices). What is written to the pty's master arrives as if
scanned; closing the pty is pulling the cable, and plugging in again makes a
new pty under the same name, as a USB adapter comes back.

NullModemEnd: the far end of a cable someone else made (tools/wine-run.sh links
COM7 and COM8 of a Wine prefix to the two ends of a socat pair), typed into the
same way once it is there.
"""
import atexit
import contextlib
import glob
import os
import pty
import time
import tty


class _Typing:
    master = None

    def write(self, data):
        """All of data, however little the line takes at a time."""
        while data:
            data = data[os.write(self.master, data):]

    def type(self, codes, end=b"\r"):
        """Each code, then the end byte, as a scanner sends them."""
        for code in codes:
            self.write(code + end)


class ScannerLine(_Typing):
    def __init__(self, com_dir, port):
        self.link = os.path.join(com_dir, "com%d" % port)
        self.master = self.slave = None
        self.plug()
        atexit.register(self.unlink)  # left behind, it would name whatever pty gets its number next

    @property
    def tty(self):
        return os.ttyname(self.slave)

    def plug(self):
        self.master, self.slave = pty.openpty()
        tty.setraw(self.master)
        tty.setraw(self.slave)
        os.makedirs(os.path.dirname(self.link), exist_ok=True)
        # Replaced in one step: a program opening the port meanwhile finds the old link or this one, never none.
        fresh = "%s.%d" % (self.link, os.getpid())
        os.symlink(self.tty, fresh)
        os.replace(fresh, self.link)

    def pull(self):
        """The cable pulled: the pty closed (the driver's side hangs up) and its link gone."""
        self.unlink()
        os.close(self.master)
        os.close(self.slave)
        self.master = self.slave = None

    def unlink(self):
        with contextlib.suppress(OSError, TypeError):
            if os.readlink(self.link) == self.tty:
                os.remove(self.link)


class NullModemEnd(_Typing):
    def __init__(self, path, wait=30.0):
        """Waits up to wait seconds for path to appear (the cable's maker may still be starting)."""
        deadline = time.monotonic() + wait
        while not os.path.exists(path) and time.monotonic() < deadline:
            time.sleep(0.05)
        self.master = os.open(path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.master)
        self.tty = os.path.realpath(path)


def _process_name(pid):
    try:
        with open("/proc/%s/comm" % pid) as comm:
            return comm.read().strip()
    except OSError:
        return ""


def opened_elsewhere(tty_path, ignore=("socat",)):
    """Whether a process other than this one has tty_path open. socat, which makes a null-modem pair,
    holds both ends from the start: it is the cable, not a program waited for."""
    for fd in glob.glob("/proc/[0-9]*/fd/*"):
        pid = fd.split("/")[2]
        if pid == str(os.getpid()):
            continue
        try:
            if os.readlink(fd) == tty_path and _process_name(pid) not in ignore:
                return True
        except OSError:
            pass
    return False
