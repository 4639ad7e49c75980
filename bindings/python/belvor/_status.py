"""What a scanner's driver tells besides codes: its status calls and its statistics."""

import ctypes
import dataclasses
import enum


class Status(enum.IntEnum):
    """What on_status is told; detail says more for some."""

    LOST = 1  # the scanner is gone; detail: the system's error code (errno, GetLastError)
    BACK = 2  # it is back and reading again
    CODES_DROPPED = 3  # detail: how many codes were dropped while the queue was full
    CODE_CUT = 4  # detail: the length the next code had as received, before it was cut
    STALLED = 5  # the port's reader is stuck, 5 s past a round (detail: ms since its last); runs again (detail: 0)


class PortState(enum.IntEnum):
    OPEN = 1
    LOST = 2  # gone; the driver opens the port anew every second
    GONE = 3  # gone, and [Port] Reconnect=0 keeps it so


class _BelvorStats(ctypes.Structure):
    # Fixed offsets on 32- and 64-bit builds alike: 152 bytes, no padding. A 1.1 library fills the first 128.
    _fields_ = (
        [(name, ctypes.c_uint32) for name in ("size", "port", "state", "last_error")]
        + [
            (name, ctypes.c_uint64)
            for name in (
                "codes_delivered", "codes_undelivered", "codes_cut", "codes_dropped", "bytes_received",
                "bytes_refused", "overruns", "parity_errors", "framing_errors", "breaks", "losses", "returns",
            )
        ]
        + [("queue_length", ctypes.c_uint32), ("queue_high", ctypes.c_uint32), ("ms_since_code", ctypes.c_int64)]
        + [("reader_stalls", ctypes.c_uint64), ("reader_stalled", ctypes.c_uint32), ("ms_since_round", ctypes.c_uint32)]
        + [("codes_unidentified", ctypes.c_uint64)]
    )


@dataclasses.dataclass(frozen=True)
class Stats:
    """What a scanner's driver has done since it was made (GetDriverStats)."""

    port: int
    state: PortState
    last_error: int  # the system's code of the last loss, 0 when none
    codes_delivered: int
    codes_undelivered: int  # no callback was set
    codes_cut: int  # longer than [Code] MaxLength=
    codes_dropped: int  # the queue was full
    bytes_received: int
    bytes_refused: int  # not allowed in a code
    overruns: int
    parity_errors: int
    framing_errors: int
    breaks: int
    losses: int
    returns: int
    queue_length: int  # codes waiting for delivery now
    queue_high: int  # the most that ever waited
    ms_since_code: "int | None"  # None before the first code
    reader_stalls: int = 0  # times the port's reader got stuck (5 s past what a round may take)
    reader_stalled: bool = False  # it is stuck now
    ms_since_round: int = 0  # since its last round; 0 while the line is gone for good
    codes_unidentified: int = 0  # [Code] SymbologyId=Aim, yet no valid identifier came first
