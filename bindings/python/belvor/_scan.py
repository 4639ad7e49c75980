"""What a code is: its symbology and, for GS1 data, its fields (the scan callback and ParseScan)."""

import calendar
import ctypes
import dataclasses
import datetime
import enum
import re


class ScanFlags(enum.IntFlag):
    IDENTIFIED = 1  # a valid symbology identifier came first
    GS1 = 2  # fields holds GS1 data (errors may hold what is wrong)
    DIGITAL_LINK = 4  # read from a GS1 Digital Link URI


class Gs1ErrorKind(enum.IntEnum):
    """What is wrong with a GS1 code; its fields stay."""

    UNKNOWN_AI = 1
    TOO_SHORT = 2
    TOO_LONG = 3  # a separator missing?
    BAD_CHARACTER = 4
    CHECK_DIGIT = 5
    BAD_DATE = 6
    BAD_TIME = 7
    BAD_COUNTRY = 8
    BAD_CURRENCY = 9
    BAD_KEY = 10  # no GS1 Company Prefix
    BAD_VALUE = 11
    BAD_QUALIFIER = 12  # Digital Link: a path AI that does not qualify its key there
    NOT_ATTRIBUTE = 13  # Digital Link: a query AI that may not stand there
    BAD_URI = 14  # Digital Link: a bad escape, or no key


UNKNOWN = 0  # Scan.type of a code whose symbology is not known


class _BelvorGs1Field(ctypes.Structure):
    _fields_ = [("ai", ctypes.c_char * 8), ("value", ctypes.c_void_p), ("value_length", ctypes.c_uint32)]


class _BelvorGs1Error(ctypes.Structure):
    _fields_ = [("ai", ctypes.c_char * 8), ("kind", ctypes.c_uint32), ("position", ctypes.c_uint32)]


class _BelvorScan(ctypes.Structure):
    _fields_ = [
        ("size", ctypes.c_uint32),
        ("driver", ctypes.c_int32),
        ("data", ctypes.c_void_p),
        ("data_length", ctypes.c_uint32),
        ("type", ctypes.c_uint32),
        ("label", ctypes.c_void_p),
        ("label_length", ctypes.c_uint32),
        ("flags", ctypes.c_uint32),
        ("aim", ctypes.c_char * 8),
        ("fields", ctypes.POINTER(_BelvorGs1Field)),
        ("field_count", ctypes.c_uint32),
        ("error_count", ctypes.c_uint32),
        ("errors", ctypes.POINTER(_BelvorGs1Error)),
    ]


_YYMMDD = re.compile(r"[0-9]{6}\Z")


def gs1_date(yymmdd, today=None):
    """A GS1 date field's value (YYMMDD) as a datetime.date; None when it names no day.

    DD 00 is the month's last day. The century puts the year within 49 years
    before and 50 after today's (GS1's rule), so a scan means the same date
    however long the till runs.
    """
    if not isinstance(yymmdd, str) or not _YYMMDD.match(yymmdd):
        return None
    yy, month, day = int(yymmdd[:2]), int(yymmdd[2:4]), int(yymmdd[4:])
    current = (today or datetime.date.today()).year
    year = current - current % 100 + yy
    if year - current > 50:
        year -= 100
    elif year - current < -49:
        year += 100
    if not 1 <= month <= 12:
        return None
    last = calendar.monthrange(year, month)[1]
    if day > last:
        return None
    return datetime.date(year, month, day or last)


@dataclasses.dataclass(frozen=True)
class Gs1Error:
    """One thing wrong with a GS1 code."""

    ai: str  # the field's AI, "" when none could be read
    kind: "Gs1ErrorKind | int"  # an int for a later library's kind
    position: int  # where in the label, from 0


@dataclasses.dataclass(frozen=True)
class Scan:
    """One code and what it is: a copy of what the library handed over.

    ``fields`` are the GS1 fields as (ai, value) in the order scanned, the
    values as text of one character per byte (Latin-1), as ``errors`` says
    what is wrong with them: the library never drops a field, the host decides.
    """

    driver: int  # the scanner's driver index; -1 from parse_scan
    data: bytes  # as received, identifier and all
    label: bytes  # without the identifier
    aim: str  # the symbology identifier, "]d2"; "" when none
    type: int  # a ScanDataType number (docs/hosts.md), UNKNOWN when not known
    flags: ScanFlags
    fields: tuple = ()
    errors: tuple = ()

    def field(self, ai):
        """The value of the first field with that AI, None when there is none."""
        for key, value in self.fields:
            if key == ai:
                return value
        return None

    @property
    def gtin(self):
        return self.field("01")

    @property
    def batch(self):
        return self.field("10")

    @property
    def serial(self):
        return self.field("21")

    @property
    def expiry(self):
        """AI 17 as a datetime.date; None when absent or no date."""
        value = self.field("17")
        return gs1_date(value) if value is not None else None

    @property
    def best_before(self):
        """AI 15 as a datetime.date; None when absent or no date."""
        value = self.field("15")
        return gs1_date(value) if value is not None else None

    @classmethod
    def _copy(cls, scan):
        """Everything the library's BelvorScan points to, copied: valid only during its call."""

        def text(address, length):
            return ctypes.string_at(address, length).decode("latin-1") if length else ""

        def kind(number):
            try:
                return Gs1ErrorKind(number)
            except ValueError:
                return number

        return cls(
            driver=scan.driver,
            data=ctypes.string_at(scan.data, scan.data_length) if scan.data_length else b"",
            label=ctypes.string_at(scan.label, scan.label_length) if scan.label_length else b"",
            aim=scan.aim.decode("latin-1"),
            type=scan.type,
            flags=ScanFlags(scan.flags),
            fields=tuple(
                (f.ai.decode("latin-1"), text(f.value, f.value_length))
                for f in (scan.fields[i] for i in range(scan.field_count))
            ),
            errors=tuple(
                Gs1Error(e.ai.decode("latin-1"), kind(e.kind), e.position)
                for e in (scan.errors[i] for i in range(scan.error_count))
            ),
        )
