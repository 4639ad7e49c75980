"""Symbols made by zint, decoded by zxing-cpp with their symbology identifiers:
the bytes a scanner sends. The scan reading must give each its identifier,
type and GS1 fields, those zint was asked to encode.

zxing-cpp 1.4 differs from scanners in ways the cases name; where it does, the
bytes scanners send are read too. Run as zxing_oracle.py ZINT PROBE, against
tests/gs1/gs1_probe; exit 77 (skipped) without zxing-cpp's module or numpy.
Other tests import scanner_codes(): the same codes, to type into a pty."""
import json
import os
import shutil
import subprocess
import sys
import tempfile
from typing import NamedTuple


class Missing(Exception):
    """What is not installed here, for the oracle's codes."""

# name, zint options, data, identifier, type, fields (ai, value)
CASES = [
    ("EAN-13", ["-b", "13"], "590123412345", "]E0", 104, [("01", "05901234123457")]),
    ("UPC-A", ["-b", "34"], "03600029145", "]E0", 101, [("01", "00036000291452")]),
    ("UPC-E", ["-b", "37"], "0425261", "]E0", 102, [("01", "00042100005264")]),
    ("EAN-8", ["-b", "10"], "9638507", "]E4", 103, [("01", "00000096385074")]),
    ("EAN-13 with a 2-digit add-on", ["-b", "13"], "5901234123457+12", "]E3", 119, [("01", "05901234123457")]),
    ("EAN-13 with a 5-digit add-on", ["-b", "13"], "5901234123457+51234", "]E3", 119,
     [("01", "05901234123457")]),
    ("GS1-128", ["-b", "16"], "[01]09521234543213[3103]000123[10]ABC", "]C1", 120,
     [("01", "09521234543213"), ("3103", "000123"), ("10", "ABC")]),
    ("GS1 DataMatrix", ["-b", "71", "--gs1"], "[01]09521234543213[17]260131[10]ABC123[21]SN-42",
     "]d2", 208, [("01", "09521234543213"), ("17", "260131"), ("10", "ABC123"), ("21", "SN-42")]),
    ("GS1 DataMatrix, GS separators", ["-b", "71", "--gs1", "--gssep"], "[10]L1[21]S2[240]X[01]09521234543213",
     "]d2", 208, [("10", "L1"), ("21", "S2"), ("240", "X"), ("01", "09521234543213")]),
    ("GS1 QR Code", ["-b", "58", "--gs1"], "[01]09521234543213[10]AB-1[17]260100", "]Q3", 209,
     [("01", "09521234543213"), ("10", "AB-1"), ("17", "260100")]),
    ("GS1 DataBar", ["-b", "29"], "0952123454321", "]e0", 131, [("01", "09521234543213")]),
    ("GS1 DataBar Expanded", ["-b", "31"], "[01]09521234543213[3103]000123[10]ABC", "]e0", 132,
     [("01", "09521234543213"), ("3103", "000123"), ("10", "ABC")]),
    ("QR Code with a Digital Link", ["-b", "58"],
     "https://id.gs1.org/01/09521234543213/10/AB%2F1/21/S1?17=260131", "]Q1", 204,
     [("01", "09521234543213"), ("10", "AB/1"), ("21", "S1"), ("17", "260131")]),
    ("Code 128", ["-b", "20"], "ABC-123", "]C0", 110, []),
    ("Code 39", ["-b", "8"], "CODE39", "]A0", 108, []),
    ("Codabar", ["-b", "18"], "A123456B", "]F0", 107, []),
    ("Code 93", ["-b", "25"], "CODE93", "]G0", 109, []),
    ("ITF", ["-b", "3"], "12345678", "]I0", 106, []),
    ("PDF417", ["-b", "55"], "PDF417 text", "]L2", 201, []),
    ("Aztec", ["-b", "92"], "Aztec text", "]z0", 206, []),
]


class ScannerCode(NamedTuple):
    name: str
    bytes: bytes  # as a scanner sends it, its identifier first (no end byte)
    aim: str  # the identifier (the first, where an EAN/UPC add-on has its own)
    type: int  # ScanDataType
    label: bytes  # the code without its identifiers
    fields: list  # [(ai, value)], in the order scanned


def read_bmp(path):
    """A 1-bit BMP as zint writes it, as a grey image with a quiet zone."""
    import numpy
    with open(path, "rb") as f:
        b = f.read()
    offset = int.from_bytes(b[10:14], "little")
    width = int.from_bytes(b[18:22], "little", signed=True)
    height = int.from_bytes(b[22:26], "little", signed=True)
    assert int.from_bytes(b[28:30], "little") == 1, "zint wrote a BMP of more than 1 bit"
    stride = (width + 31) // 32 * 4
    rows = numpy.frombuffer(b, dtype=numpy.uint8, count=stride * abs(height), offset=offset)
    bits = numpy.unpackbits(rows.reshape(abs(height), stride), axis=1)[:, :width]
    white_first = b[54:57] == b"\xff\xff\xff"
    image = numpy.where(bits == (1 if white_first else 0), 0, 255).astype(numpy.uint8)
    if height > 0:
        image = image[::-1]
    framed = numpy.full((image.shape[0] + 40, image.shape[1] + 40), 255, numpy.uint8)
    framed[20:-20, 20:-20] = image
    return framed


def scanner_forms(aim, data):
    """The bytes zxing-cpp gives, and those scanners send where they differ."""
    forms = [aim + data]
    if aim == "]E0" and len(data) == 12:  # zxing-cpp: UPC-A as 12 digits; scanners: 13, a leading 0
        forms.append("]E00" + data)
    if aim == "]E3" and " " in data:  # zxing-cpp: a space before the add-on; scanners: none, or ]E0 ... ]E1/]E2
        main, add_on = data.split(" ")
        forms = ["]E3" + main + add_on, "]E0" + main + ("]E1" if len(add_on) == 2 else "]E2") + add_on]
    if aim == "]e0" and data.startswith("("):  # zxing-cpp: DataBar Expanded in brackets; scanners: GS1 data
        pass  # the reader takes the bracket form as it is
    if aim == "]e0" and len(data) == 14:  # zxing-cpp: DataBar's GTIN without its AI; scanners: 01 first
        forms.append("]e001" + data)
    return forms


def label_of(form):
    """A scanner's code without its identifiers: the first, and an EAN/UPC add-on's ]E1 or ]E2."""
    if not form.startswith("]E"):
        return form[3:]
    main, _, add_on = form[3:].partition("]E")
    return main + add_on[1:]


def scanner_codes(zint=None):
    """Each case's codes as scanners send them, and what each case did not give, as messages (zxing-cpp decoded
    nothing, or another identifier). Raises Missing without zint, or zxing-cpp's module and numpy."""
    zint = zint or shutil.which("zint")
    if not zint:
        raise Missing("zint")
    try:
        import numpy  # noqa: F401 (read_bmp's)
        import zxingcpp
    except ImportError:
        raise Missing("python3-zxing-cpp (and numpy)") from None
    codes, failures = [], []
    with tempfile.TemporaryDirectory() as work:
        for i, (name, options, data, aim, kind, fields) in enumerate(CASES):
            path = os.path.join(work, f"{i}.bmp")
            subprocess.run([zint, *options, "--scale=3", "-d", data, "-o", path], check=True)
            result = zxingcpp.read_barcode(read_bmp(path), ean_add_on_symbol=zxingcpp.EanAddOnSymbol.Read)
            if result is None or not result.valid:
                failures.append(f"{name}: zxing-cpp decoded nothing")
                continue
            if result.symbology_identifier != aim:
                failures.append(f"{name}: zxing-cpp gave {result.symbology_identifier}, the case expects {aim}")
                continue
            text = result.bytes.decode("latin-1")
            for form in scanner_forms(result.symbology_identifier, text):
                codes.append(ScannerCode(name, form.encode("latin-1"), form[:3], kind,
                                         label_of(form).encode("latin-1"), list(fields)))
    return codes, failures


def main(zint, probe):
    try:
        codes, failures = scanner_codes(zint)
    except Missing as missing:
        print(f"zxing_oracle: {missing} not installed: skipped")
        return 77
    for failure in failures:
        print("FAIL " + failure)
    failures = len(failures)
    out = subprocess.run([probe], input="".join(c.bytes.hex() + "\n" for c in codes),
                         capture_output=True, text=True, check=True).stdout.splitlines()
    for code, line in zip(codes, out):
        got = json.loads(line)
        want = {"valid": True, "aim": code.aim, "type": code.type, "label": code.label.decode("latin-1"),
                "fields": [list(f) for f in code.fields], "errors": []}
        have = {k: got[k] for k in want}
        status = "ok  " if have == want else "FAIL"
        failures += have != want
        sent = code.bytes.decode("latin-1").encode("unicode_escape").decode()
        print(f"{status} {code.name}: {sent} -> {json.dumps(got)}")
    print(f"{len(codes) - failures} passed, {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:3]))
