"""Belvor bar-code scanner driver for Python, through ctypes.

    from belvor import Scanner

    with Scanner(3, lambda code: print(code)) as scanner:   # COM3
        ...

``on_code(code: bytes)`` runs on a thread of the driver's own: copy the code
somewhere (a queue.Queue) and return; never block there, never close a
scanner there. So do ``on_status(status: Status, detail: int)``, given as
``Scanner(3, on_code, on_status=...)``, in order with the codes, and
``on_scan(scan: Scan)``, what the code is (its symbology, a GS1 code's GTIN,
expiry, batch, serial and fields). ``parse_scan(data)`` tells the same of a
code got elsewhere. Scanners close newest first. See docs/hosts.md.
"""

import ctypes
import dataclasses
import os
import sys
import threading

from ._scan import UNKNOWN, Gs1Error, Gs1ErrorKind, Scan, ScanFlags, _BelvorScan, gs1_date
from ._status import PortState, Stats, Status, _BelvorStats

__all__ = [
    "Library", "Scanner", "BelvorError", "Status", "PortState", "Stats", "LIBRARY_NAMES",
    "Scan", "ScanFlags", "Gs1ErrorKind", "Gs1Error", "UNKNOWN", "gs1_date", "parse_scan",
]

_WINDOWS = sys.platform == "win32"

if _WINDOWS:
    # 32-bit Belvor.dll exports stdcall functions; on x64 there is one convention.
    _Loader = ctypes.WinDLL
    _FUNCTYPE = ctypes.WINFUNCTYPE
    LIBRARY_NAMES = ("Belvor.dll",)
else:
    _Loader = ctypes.CDLL
    _FUNCTYPE = ctypes.CFUNCTYPE
    LIBRARY_NAMES = ("libbelvor.so.1", "libbelvor.so")

# Addresses as plain integers: the buffers belong to the driver and are
# copied before the callback returns.
_EventProc = _FUNCTYPE(None, ctypes.c_void_p)
_CodeProc = _FUNCTYPE(None, ctypes.c_int32, ctypes.c_void_p, ctypes.c_uint32, ctypes.c_void_p)
_StatusProc = _FUNCTYPE(None, ctypes.c_int32, ctypes.c_int32, ctypes.c_uint32, ctypes.c_void_p)
_ScanProc = _FUNCTYPE(None, ctypes.POINTER(_BelvorScan), ctypes.c_void_p)
_PARSE_AIM = 1


class BelvorError(RuntimeError):
    """A scanner used against the driver's rules (order of closing, the callback's thread)."""


_in_handler = threading.local()  # active while a driver's thread runs a user's handler


def _run_handler(handler, *args):
    _in_handler.active = True
    try:
        handler(*args)
    finally:
        _in_handler.active = False


def _last_error():
    return ctypes.get_last_error() if _WINDOWS else ctypes.get_errno()


def _os_error(code, what):
    if _WINDOWS:
        return OSError(0, ctypes.FormatError(code).strip(), what, code)
    return OSError(code, os.strerror(code), what)


class Library:
    """One loaded Belvor library and the one callback all its drivers share.

    ``path``: a file name or path; None tries $BELVOR_LIBRARY, then the library
    inside this package (a wheel's), then the usual names (LIBRARY_NAMES). ``tagged``: when the library has SetCodeProc, use it
    so that each scanner receives only its own codes; False keeps to the
    counted-string EventProc, whose codes all go to the newest scanner.
    """

    _loaded = {}
    _loaded_lock = threading.RLock()
    _every = []

    def __init__(self, path=None, tagged=True):
        if path:
            candidates = [path]
        elif os.environ.get("BELVOR_LIBRARY"):
            candidates = [os.environ["BELVOR_LIBRARY"]]
        else:
            # A wheel's own library first: the binding and the library of one release go together.
            here = os.path.dirname(os.path.abspath(__file__))
            candidates = [os.path.join(here, name) for name in LIBRARY_NAMES
                          if os.path.isfile(os.path.join(here, name))] + list(LIBRARY_NAMES)
        errors = []
        for name in candidates:
            try:
                # The error code is kept by ctypes right after each call.
                self._dll = _Loader(name, use_last_error=_WINDOWS, use_errno=not _WINDOWS)
                self.path = name
                break
            except OSError as e:
                errors.append(str(e))
        else:
            raise OSError("cannot load the Belvor library: " + "; ".join(errors))
        dll = self._dll
        dll.InitDriver.argtypes = [ctypes.c_uint32, _EventProc]
        dll.InitDriver.restype = ctypes.c_int32
        dll.DestroyDriver.argtypes = []
        dll.DestroyDriver.restype = ctypes.c_int32
        dll.SetEventProc.argtypes = [_EventProc]
        dll.SetEventProc.restype = ctypes.c_void_p
        try:
            dll.SetCodeProc.argtypes = [_CodeProc, ctypes.c_void_p]
            dll.SetCodeProc.restype = ctypes.c_void_p
            self.has_code_proc = True
        except AttributeError:
            self.has_code_proc = False
        # An older library has neither: on_status is then never called and stats() raises.
        self.has_status = hasattr(dll, "SetStatusProc") and hasattr(dll, "GetDriverStats")
        if self.has_status:
            dll.SetStatusProc.argtypes = [_StatusProc, ctypes.c_void_p]
            dll.SetStatusProc.restype = ctypes.c_void_p
            dll.GetDriverStats.argtypes = [ctypes.c_int32, ctypes.POINTER(_BelvorStats)]
            dll.GetDriverStats.restype = ctypes.c_int32
        # Nor these: on_scan and parse_scan then raise.
        self.has_scan = hasattr(dll, "SetScanProc") and hasattr(dll, "ParseScan")
        if self.has_scan:
            dll.SetScanProc.argtypes = [_ScanProc, ctypes.c_void_p]
            dll.SetScanProc.restype = ctypes.c_void_p
            dll.ParseScan.argtypes = [ctypes.c_char_p, ctypes.c_uint32, ctypes.c_uint32, _ScanProc, ctypes.c_void_p]
            dll.ParseScan.restype = ctypes.c_int32
        self._lock = threading.Lock()
        self._scanners = []  # live ones, oldest first: index i is driver i
        # Kept for the life of the process: the driver may call them from its
        # threads until the library is unloaded, which ctypes never does.
        self._event_proc = _EventProc(self._on_event)
        self._code_proc = _CodeProc(self._on_code)
        self._status_proc = _StatusProc(self._on_status)
        self._scan_proc = _ScanProc(self._on_scan)
        self._scanning = False  # the ScanProc is set: every code comes through it
        self._tagged = None  # never given to SetCodeProc
        self.tagged = tagged
        if self.has_status:
            self._dll.SetStatusProc(self._status_proc, None)
        with Library._loaded_lock:
            Library._every.append(self)  # so that the procs above are never freed

    @property
    def tagged(self):
        return self._tagged

    @tagged.setter
    def tagged(self, value):
        # Under the lock: the swap must not run beside another thread's InitDriver or
        # DestroyDriver. From inside a handler without it (the library returns at once
        # there), or a close waiting for that handler would wait for ever.
        if getattr(_in_handler, "active", False):
            self._set_tagged(value)
        else:
            with self._lock:
                self._set_tagged(value)

    def _set_tagged(self, value):
        value = bool(value) and self.has_code_proc
        # Only on a change: SetCodeProc waits for the handlers under way, and one that opens
        # a scanner waits for the lock this thread holds.
        if self.has_code_proc and value != self._tagged:
            self._dll.SetCodeProc(self._code_proc if value else _CodeProc(), None)
        self._tagged = value

    @classmethod
    def shared(cls, path=None):
        """The one Library object per path: its scanners share one driver table and one callback."""
        key = path or os.environ.get("BELVOR_LIBRARY") or ""
        with cls._loaded_lock:
            if key not in cls._loaded:
                cls._loaded[key] = cls(path)
            return cls._loaded[key]

    # The driver's threads.
    def _on_event(self, address):
        if not address:
            return
        length = ctypes.string_at(address, 1)[0]
        code = ctypes.string_at(address + 1, length)
        scanners = self._scanners
        if scanners:
            scanners[-1]._deliver(code)

    def _on_code(self, driver, data, length, _context):
        code = ctypes.string_at(data, length) if length else b""
        scanners = self._scanners
        if 0 <= driver < len(scanners):
            scanners[driver]._deliver(code)

    def _on_scan(self, scan, _context):
        if not scan:
            return
        scan = scan.contents
        scanners = self._scanners
        if 0 <= scan.driver < len(scanners):
            scanners[scan.driver]._deliver_scan(scan)

    def _on_status(self, driver, status, detail, _context):
        scanners = self._scanners
        if 0 <= driver < len(scanners):
            try:
                status = Status(status)
            except ValueError:
                pass  # a later library's status: passed on as its number
            scanners[driver]._report(status, detail)

    def _stats(self, scanner):
        if not self.has_status:
            raise BelvorError("%s has no GetDriverStats: an older library" % self.path)
        raw = _BelvorStats(size=ctypes.sizeof(_BelvorStats))
        # Not under _lock: a callback may ask while _close waits for it in DestroyDriver.
        if scanner not in self._scanners:
            raise BelvorError("%r is closed" % scanner)
        if self._dll.GetDriverStats(scanner.index, ctypes.byref(raw)) < 0:
            raise _os_error(_last_error(), "GetDriverStats")
        values = {field.name: getattr(raw, field.name) for field in dataclasses.fields(Stats)}
        values["state"] = PortState(raw.state)
        values["reader_stalled"] = bool(raw.reader_stalled)
        if raw.ms_since_code < 0:
            values["ms_since_code"] = None
        return Stats(**values)

    def _parse(self, data, aim):
        if not self.has_scan:
            raise BelvorError("%s has no ParseScan: an older library" % self.path)
        data = bytes(data)
        got = []
        # Called back before ParseScan returns, on this thread. Not under _lock, as
        # GetDriverStats: ParseScan touches no driver, and a handler may call it.
        proc = _ScanProc(lambda scan, _context: got.append(Scan._copy(scan.contents)))
        flags = _PARSE_AIM if aim else 0
        if self._dll.ParseScan(data, len(data), flags, proc, None) < 0:
            raise ValueError("ParseScan refused a code of %d bytes" % len(data))
        if not got:
            raise BelvorError("ParseScan returned without the scan (out of memory?)")
        return got[0]

    def _scan_with_proc(self):
        """Before the first scanner that wants scans: from then on every code comes as one."""
        if not self.has_scan:
            raise BelvorError("%s has no SetScanProc: an older library" % self.path)
        # Once only, and kept: each swap waits for the callbacks under way.
        self._dll.SetScanProc(self._scan_proc, None)
        self._scanning = True

    def _open(self, scanner, port):
        with self._lock:
            if scanner._on_scan is not None and not self._scanning:
                self._scan_with_proc()
            # In place before the driver exists: its first code may come at once.
            expected = len(self._scanners)
            self._scanners.append(scanner)
            index = self._dll.InitDriver(port, self._event_proc)
            if index < 0:
                error = _last_error()
                self._scanners.pop()
                raise _os_error(error, "COM%d" % port)
            if index != expected:
                # Drivers created behind this object's back: indices would not match.
                self._dll.DestroyDriver()
                self._scanners.pop()
                raise BelvorError("driver %d created, %d expected: %s has another user" % (index, expected, self.path))
            return index

    def _close(self, scanner):
        with self._lock:
            if scanner not in self._scanners:
                return
            if self._scanners[-1] is not scanner:
                newest = self._scanners[-1]
                raise BelvorError(
                    "%r is not the newest scanner: the driver destroys the newest one, which is %r; close that first"
                    % (scanner, newest)
                )
            if self._dll.DestroyDriver() < 0:
                # The driver refuses while one of its threads calls us (EDEADLK).
                error = _os_error(_last_error(), "DestroyDriver")
                raise BelvorError("%r cannot be closed now (%s): not from inside a callback" % (scanner, error))
            self._scanners.pop()


class Scanner:
    """A driver for the scanner on COM<port>; codes go to ``on_code(code: bytes)``.

    ``on_status(status: Status, detail: int)``, when given, hears of the line
    lost and back and of codes cut or dropped, on the same thread as on_code.
    ``on_scan(scan: Scan)``, when given, gets each code with what it is, after
    on_code (if given) has got its bytes; the first scanner with it makes every
    code of the library come through its scan callback, tagged with its driver
    whatever ``Library.tagged`` says (BelvorError with an older library).
    Raises OSError (errno / winerror set, FileNotFoundError for a missing port)
    when the driver cannot be created. Close newest first, or use ``with``.
    """

    def __init__(self, port, on_code=None, library=None, on_status=None, on_scan=None):
        self._on_code = on_code
        self._on_status = on_status
        self._on_scan = on_scan
        self.port = port
        self.library = library if isinstance(library, Library) else Library.shared(library)
        self.index = self.library._open(self, port)

    def _deliver(self, code):
        if self._on_code is not None:
            _run_handler(self._on_code, code)

    def _deliver_scan(self, scan):
        # Copied before either handler runs: the library's buffers last only this call.
        copy = Scan._copy(scan) if self._on_scan is not None else None
        if self._on_code is not None:
            if copy is not None:
                code = copy.data
            else:
                code = ctypes.string_at(scan.data, scan.data_length) if scan.data_length else b""
            _run_handler(self._on_code, code)
        if copy is not None:
            _run_handler(self._on_scan, copy)

    def _report(self, status, detail):
        if self._on_status is not None:
            _run_handler(self._on_status, status, detail)

    def stats(self):
        """The driver's statistics now (a Stats); callable from any thread, on_code's too.

        BelvorError once closed; OSError if the driver refuses.
        """
        return self.library._stats(self)

    @property
    def closed(self):
        return self not in self.library._scanners

    def close(self):
        """Destroys this scanner's driver; BelvorError if a newer scanner is still open."""
        self.library._close(self)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __repr__(self):
        return "<Scanner COM%d driver %d>" % (self.port, self.index)


def parse_scan(data, aim=True, library=None):
    """What the code data (bytes) is, as on_scan would get it: a Scan with driver -1.

    ``aim``: data starts with its symbology identifier ("]d2..."), as a scanner
    set to send one types it. For codes got elsewhere (a keyboard wedge, a
    camera); needs no scanner. ValueError for a code over 8192 bytes.
    """
    lib = library if isinstance(library, Library) else Library.shared(library)
    return lib._parse(data, aim)
