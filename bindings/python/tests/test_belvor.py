"""The Python binding against the real library, with ptys standing in for scanners.

Needs BELVOR_LIBRARY (the built library) and BELVOR_SYSTEM_DIR (where the
library looks for its comN links); ctest sets both.
"""

import datetime
import errno
import gc
import os
import sys
import threading
import time
import unittest
from unittest import mock

sys.path.insert(0, os.path.join(os.path.dirname(__file__), ".."))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "tools"))
import belvor  # noqa: E402
from scanner_line import ScannerLine  # noqa: E402

SYSTEM_DIR = os.environ.get("BELVOR_SYSTEM_DIR", "")
if SYSTEM_DIR:
    os.makedirs(SYSTEM_DIR, exist_ok=True)  # a fresh build may not have it yet
PORTS = (60, 61)  # apart from the other tests' ports


class Received:
    """Codes collected from the driver's thread; wait() returns once n have come."""

    def __init__(self):
        self.codes = []
        self.threads = set()
        self.cond = threading.Condition()

    def __call__(self, code):
        with self.cond:
            self.codes.append(code)
            self.threads.add(threading.get_ident())
            self.cond.notify_all()

    def wait(self, n):
        with self.cond:
            self.cond.wait_for(lambda: len(self.codes) >= n, timeout=10)
            return list(self.codes)


@unittest.skipUnless(os.environ.get("BELVOR_LIBRARY") and SYSTEM_DIR, "BELVOR_LIBRARY and BELVOR_SYSTEM_DIR unset")
class ScannerTest(unittest.TestCase):
    def setUp(self):
        self.lib = belvor.Library.shared()
        self.lib.tagged = True
        self.fakes = [ScannerLine(SYSTEM_DIR, p) for p in PORTS]

    def tearDown(self):
        for fake in self.fakes:
            fake.pull()
        self.assertEqual(self.lib._scanners, [], "a test left a scanner open")

    def test_codes_arrive_as_bytes_on_the_drivers_thread(self):
        got = Received()
        with belvor.Scanner(PORTS[0], got) as scanner:
            self.assertEqual(scanner.index, 0)
            self.fakes[0].write(b"4006381333931\r\r12ab34CD\r")
            self.assertEqual(got.wait(3), [b"4006381333931", b"", b"1234CD"])
        self.assertNotIn(threading.get_ident(), got.threads)
        self.assertTrue(scanner.closed)

    def test_counted_string_path(self):
        self.lib.tagged = False
        got = Received()
        with belvor.Scanner(PORTS[0], got):
            self.fakes[0].write(b"0123456789ABCDEF" * 6 + b"\r\r")
            self.assertEqual(got.wait(2), [b"0123456789ABCDEF" * 6, b""])

    def test_each_scanner_gets_its_own_codes(self):
        first, second = Received(), Received()
        with belvor.Scanner(PORTS[0], first) as a, belvor.Scanner(PORTS[1], second) as b:
            self.assertEqual((a.index, b.index), (0, 1))
            self.fakes[1].write(b"B1\r")
            self.assertEqual(second.wait(1), [b"B1"])
            self.fakes[0].write(b"A1\r")
            self.assertEqual(first.wait(1), [b"A1"])
            self.assertEqual(second.codes, [b"B1"])

    def test_closing_out_of_order_raises_and_destroys_nothing(self):
        got = Received()
        older = belvor.Scanner(PORTS[0], got)
        newer = belvor.Scanner(PORTS[1], lambda code: None)
        with self.assertRaisesRegex(belvor.BelvorError, "not the newest"):
            older.close()
        self.assertFalse(older.closed)
        self.assertFalse(newer.closed)
        self.fakes[0].write(b"ABC\r")
        self.assertEqual(got.wait(1), [b"ABC"])
        newer.close()
        older.close()
        self.assertTrue(older.closed)

    def test_callback_survives_garbage_collection(self):
        got = Received()
        # The only reference to this lambda is the scanner's.
        scanner = belvor.Scanner(PORTS[0], lambda code: got(code))
        gc.collect()
        self.fakes[0].write(b"1\r")
        self.assertEqual(got.wait(1), [b"1"])
        gc.collect()
        self.fakes[0].write(b"2\r")
        self.assertEqual(got.wait(2), [b"1", b"2"])
        scanner.close()

    def test_closing_from_the_callback_is_refused(self):
        errors = Received()

        def on_code(code):
            try:
                scanner.close()
            except belvor.BelvorError as e:
                errors(str(e).encode())

        scanner = belvor.Scanner(PORTS[0], on_code)
        self.fakes[0].write(b"12\r")
        (message,) = errors.wait(1)
        self.assertIn(b"inside a callback", message)
        self.assertFalse(scanner.closed)
        scanner.close()

    def test_tagged_from_a_handler_while_a_close_waits_for_it_does_not_hang(self):
        in_handler, set_done = threading.Event(), Received()

        def on_code(code):
            in_handler.set()
            time.sleep(0.3)  # the close below is waiting for this handler by now
            self.lib.tagged = False
            set_done(code)

        scanner = belvor.Scanner(PORTS[0], on_code)
        self.fakes[0].write(b"1\r")
        self.assertTrue(in_handler.wait(10))
        closer = threading.Thread(target=scanner.close, daemon=True)
        closer.start()
        closer.join(10)
        self.assertFalse(closer.is_alive(), "the close and the handler wait for each other")
        self.assertEqual(set_done.wait(1), [b"1"])
        self.assertFalse(self.lib.tagged)

    def test_status_comes_in_order_with_the_codes_and_the_stats_add_up(self):
        ini = os.path.join(SYSTEM_DIR, "Belvor.ini")
        with open(ini, "w") as f:
            f.write("[COM%d]\r\nMaxLength=4\r\n" % PORTS[0])
        self.addCleanup(os.remove, ini)
        got = Received()
        with belvor.Scanner(PORTS[0], got, on_status=lambda status, detail: got((status, detail))) as scanner:
            self.assertIsNone(scanner.stats().ms_since_code)
            self.fakes[0].write(b"123456\r12\r")
            self.assertEqual(got.wait(3), [(belvor.Status.CODE_CUT, 6), b"1234", b"12"])
            self.fakes[0].pull()  # unplugged
            self.assertEqual(got.wait(4)[3], (belvor.Status.LOST, errno.EIO))
            lost = scanner.stats()
            self.assertEqual((lost.state, lost.last_error, lost.losses), (belvor.PortState.LOST, errno.EIO, 1))
            self.fakes[0] = ScannerLine(SYSTEM_DIR, PORTS[0])
            self.assertEqual(got.wait(5)[4], (belvor.Status.BACK, 0))
            stats = scanner.stats()
        self.assertGreaterEqual(stats.ms_since_code, 0)
        self.assertIn(stats.queue_high, (1, 2))  # the two codes may meet in the queue
        expected = belvor.Stats(
            port=PORTS[0], state=belvor.PortState.OPEN, last_error=errno.EIO, codes_delivered=2,
            codes_undelivered=0, codes_cut=1, codes_dropped=0, bytes_received=10, bytes_refused=0, overruns=0,
            parity_errors=0, framing_errors=0, breaks=0, losses=1, returns=1, queue_length=0,
            queue_high=stats.queue_high, ms_since_code=stats.ms_since_code, reader_stalls=0, reader_stalled=False,
            ms_since_round=stats.ms_since_round,
        )
        self.assertLess(stats.ms_since_round, 5000)
        self.assertEqual(stats, expected)
        with self.assertRaisesRegex(belvor.BelvorError, "closed"):
            scanner.stats()

    def test_scans_through_the_scan_callback_each_to_its_scanner(self):
        ini = os.path.join(SYSTEM_DIR, "Belvor.ini")
        with open(ini, "w") as f:
            f.write("[COM%d]\r\nSymbologyId=Aim\r\nAllowCodes=29, 32-126\r\n" % PORTS[0])
        self.addCleanup(os.remove, ini)
        scans, codes, plain = Received(), Received(), Received()
        with belvor.Scanner(PORTS[0], codes, on_scan=scans) as scanner, belvor.Scanner(PORTS[1], plain):
            self.fakes[0].write(DATAMATRIX + b"\r" + b"4006381333931\r")
            self.fakes[1].write(b"12ab\r")  # no on_scan: its bytes, as before
            self.assertEqual(plain.wait(1), [b"12"])
            first, second = scans.wait(2)
            self.assertEqual(codes.wait(2), [DATAMATRIX, b"4006381333931"])
            self.assertEqual(scanner.stats().codes_unidentified, 1)
        self.assertNotIn(threading.get_ident(), scans.threads)
        self.assertEqual(
            (first.driver, first.data, first.aim, first.type, first.label),
            (0, DATAMATRIX, "]d2", 208, DATAMATRIX[3:]),
        )
        self.assertEqual((first.gtin, first.expiry, first.batch, first.serial),
                         ("09501101530003", datetime.date(2025, 1, 31), "ABC", "XYZ"))
        self.assertEqual(
            (second.driver, second.aim, second.type, second.label, second.flags, second.fields),
            (0, "", belvor.UNKNOWN, b"4006381333931", belvor.ScanFlags(0), ()),
        )

    def test_port_zero_is_an_os_error_with_the_system_code(self):
        with self.assertRaises(OSError) as caught:
            belvor.Scanner(0, lambda code: None)
        self.assertEqual(caught.exception.errno, errno.EINVAL)
        self.assertEqual(caught.exception.filename, "COM0")
        self.assertIn(os.strerror(errno.EINVAL), str(caught.exception))

    def test_missing_port_is_file_not_found(self):
        # No link com250 and no /dev/ttyS249.
        with self.assertRaises(FileNotFoundError) as caught:
            belvor.Scanner(250, lambda code: None)
        self.assertEqual(caught.exception.errno, errno.ENOENT)
        self.assertEqual(self.lib._scanners, [])

    def test_library_from_a_path_and_a_bad_path(self):
        path = os.environ["BELVOR_LIBRARY"]
        self.assertEqual(belvor.Library.shared(path).path, path)
        with self.assertRaisesRegex(OSError, "cannot load the Belvor library"):
            belvor.Library(os.path.join(SYSTEM_DIR, "no-such-library.so"))


DATAMATRIX = b"]d2" b"0109501101530003" b"17250100" b"10ABC" b"\x1d" b"21XYZ"
LINK = b"https://id.gs1.org/01/09501101530003/10/ABC?17=250100"


@unittest.skipUnless(os.environ.get("BELVOR_LIBRARY"), "BELVOR_LIBRARY unset")
class ParseScanTest(unittest.TestCase):
    def test_what_a_code_is(self):
        identified_gs1 = belvor.ScanFlags.IDENTIFIED | belvor.ScanFlags.GS1
        gs1_fields = (("01", "09501101530003"), ("17", "250100"), ("10", "ABC"), ("21", "XYZ"))
        cases = [  # data, aim, (aim, type, label, flags), fields
            (DATAMATRIX, True, ("]d2", 208, DATAMATRIX[3:], identified_gs1), gs1_fields),
            (b"]E04006381333931", True, ("]E0", 104, b"4006381333931", None), (("01", "04006381333931"),)),
            (b"4006381333931", True, ("", 0, b"4006381333931", belvor.ScanFlags(0)), ()),
            (DATAMATRIX, False, ("", 0, DATAMATRIX, belvor.ScanFlags(0)), ()),
            (LINK, False, ("", 0, LINK, belvor.ScanFlags.GS1 | belvor.ScanFlags.DIGITAL_LINK),
             (("01", "09501101530003"), ("10", "ABC"), ("17", "250100"))),
        ]
        for data, aim, (aim_id, kind, label, flags), fields in cases:
            with self.subTest(data=data, aim=aim):
                scan = belvor.parse_scan(data, aim=aim)
                self.assertEqual((scan.driver, scan.data, scan.aim, scan.type, scan.label),
                                 (-1, data, aim_id, kind, label))
                self.assertEqual(scan.fields, fields)
                self.assertEqual(scan.errors, ())
                if flags is not None:
                    self.assertEqual(scan.flags, flags)
                self.assertEqual(scan.gtin, dict(fields).get("01"))
        self.assertIn(belvor.ScanFlags.IDENTIFIED, belvor.parse_scan(b"]E04006381333931").flags)
        scan = belvor.parse_scan(DATAMATRIX)
        self.assertEqual((scan.expiry, scan.batch, scan.serial, scan.best_before),
                         (datetime.date(2025, 1, 31), "ABC", "XYZ", None))

    def test_what_is_wrong_comes_beside_the_fields(self):
        scan = belvor.parse_scan(b"]d2" b"17250230" b"0109501101530004")
        self.assertEqual(scan.fields, (("17", "250230"), ("01", "09501101530004")))
        self.assertEqual(scan.expiry, None)  # no 30 February
        # Where in the label: the date's value, the wrong check digit.
        self.assertEqual(scan.errors, (belvor.Gs1Error("17", belvor.Gs1ErrorKind.BAD_DATE, 2),
                                       belvor.Gs1Error("01", belvor.Gs1ErrorKind.CHECK_DIGIT, 23)))

    def test_a_code_too_long_is_refused(self):
        self.assertEqual(belvor.parse_scan(b"1" * 8192).label, b"1" * 8192)
        with self.assertRaises(ValueError):
            belvor.parse_scan(b"1" * 8193)


class HeaderNumbersTest(unittest.TestCase):
    def test_kinds_and_flags_are_the_headers(self):
        """The enums carry belvor.h's numbers: a kind renumbered there is a wrong name here."""
        header = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..", "include", "belvor.h")
        defined = {}
        with open(header) as f:
            for line in f:
                words = line.split()
                if len(words) >= 3 and words[0] == "#define" and words[2].isdigit():
                    defined[words[1]] = int(words[2])
        for enum, prefix in ((belvor.Gs1ErrorKind, "BELVOR_GS1_"), (belvor.ScanFlags, "BELVOR_SCAN_")):
            theirs = {k[len(prefix):]: v for k, v in defined.items() if k.startswith(prefix) and k != "BELVOR_SCAN_UNKNOWN"}
            self.assertEqual({m.name: m.value for m in enum if m.value}, theirs)


class Gs1DateTest(unittest.TestCase):
    def test_dates_at_their_edges(self):
        date = datetime.date
        cases = [  # value, today's year, the date
            ("250131", 2026, date(2025, 1, 31)),
            ("250100", 2026, date(2025, 1, 31)),  # DD 00: the month's last day
            ("250400", 2026, date(2025, 4, 30)),
            ("250200", 2026, date(2025, 2, 28)),
            ("240200", 2026, date(2024, 2, 29)),  # leap year
            ("240229", 2026, date(2024, 2, 29)),
            ("250229", 2026, None),
            ("000200", 2026, date(2000, 2, 29)),  # a century divisible by 400
            ("000200", 2060, date(2100, 2, 28)),  # one that is not
            ("000229", 2060, None),
            ("760101", 2026, date(2076, 1, 1)),  # 50 years ahead: this century
            ("770101", 2026, date(1977, 1, 1)),  # 51 ahead: the last one
            ("260101", 2075, date(2026, 1, 1)),  # 49 back
            ("250101", 2075, date(2125, 1, 1)),  # 50 back: the next century
            ("250431", 2026, None),
            ("250001", 2026, None),
            ("251301", 2026, None),
            ("250132", 2026, None),
            ("25013", 2026, None),
            ("2501310", 2026, None),
            ("25O131", 2026, None),
            ("\uff12\uff15\uff10\uff11\uff13\uff11", 2026, None),  # digits, but not ASCII ones
        ]
        for value, year, expected in cases:
            with self.subTest(value=value, year=year):
                self.assertEqual(belvor.gs1_date(value, today=date(year, 6, 15)), expected)


class OneExportCallAtATimeTest(unittest.TestCase):
    """The binding never calls the library from two threads at once, whoever calls it."""

    def test_tagged_waits_for_a_close_under_way(self):
        destroying, release, overlaps = threading.Event(), threading.Event(), []

        class Exports:  # the library's, DestroyDriver held until released
            def InitDriver(self, port, proc):
                return 0

            def DestroyDriver(self):
                destroying.set()
                release.wait(10)
                destroying.clear()
                return 0

            def SetCodeProc(self, proc, context):
                overlaps.append(destroying.is_set())

        lib = belvor.Library.__new__(belvor.Library)
        lib._dll, lib._lock, lib._scanners, lib.has_code_proc = Exports(), threading.Lock(), [], True
        lib._tagged = False
        lib._code_proc = lib._event_proc = None
        scanner = belvor.Scanner(PORTS[0], lambda code: None, library=lib)
        closer = threading.Thread(target=scanner.close)
        closer.start()
        self.assertTrue(destroying.wait(10))
        setter = threading.Thread(target=setattr, args=(lib, "tagged", True))
        setter.start()
        setter.join(0.5)  # time enough for a call that does not wait to overlap the close
        release.set()
        closer.join(10)
        setter.join(10)
        self.assertEqual(overlaps, [False])


class TaggedTest(unittest.TestCase):
    """SetCodeProc waits for the handlers under way: called with the binding's lock held for a
    value that did not change, it would wait for a handler that waits for that lock (one that
    opens a scanner). So it is called only when tagged changes, as the Pascal binding does."""

    def test_set_code_proc_only_on_a_change(self):
        # tagged given to Library, the values set after; SetCodeProc's calls (True: the binding's proc).
        cases = [
            (True, [True, 1, True], [True]),
            (True, [False, False, True, True], [True, False, True]),
            (False, [False, 0, True], [False, True]),
        ]
        for initial, sets, expected in cases:
            with self.subTest(initial=initial, sets=sets):
                dll = mock.MagicMock()
                with mock.patch.object(belvor, "_Loader", return_value=dll):
                    lib = belvor.Library("fake", tagged=initial)
                for value in sets:
                    lib.tagged = value
                calls = [bool(call.args[0]) for call in dll.SetCodeProc.call_args_list]
                self.assertEqual(calls, expected)
                self.assertEqual(lib.tagged, expected[-1])


if __name__ == "__main__":
    unittest.main()
