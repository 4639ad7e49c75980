#!/usr/bin/python3
"""belvor-bridge end to end: scanners on ptys, clients over the WebSocket and HTTP (arguments: harness.py)."""
import asyncio, base64, collections, os, subprocess, sys, urllib.request
import websockets
from harness import (COM_DIR, COMMAND, ORIGIN, STOP, WAIT, WINE, Scanner, check_version, closed_with, free_port,
                     http_status, metrics, next_message, running_bridge, scanners as scanner_stats, stalled_client)

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "gs1"))
from zxing_oracle import Missing, scanner_codes  # noqa: E402

GS1 = 45  # a till's 2D scanner: identifiers first ([COM45] SymbologyId=Aim)
PORTS = (43, 44, GS1)
LATE = 46  # plugged in only once the bridge runs
NO_IDENTIFIER = b"4006381333931"


async def codes_in_order(bridge, scanners, uri):
    """hello; codes byte for byte (GS, Windows-1252) to two clients in one order; lost and back."""
    a = await websockets.connect(uri, origin=ORIGIN)
    b = await websockets.connect(uri)  # no Origin: a native program
    # The port not there yet comes first: it has no driver.
    hello = {"type": "hello", "ports": [{"port": LATE, "state": "lost"}] + [{"port": p, "state": "open"} for p in PORTS]}
    assert await next_message(a) == hello == await next_message(b)
    sent = [(43, b"0104012345678901\x1d21ABC\x1d91X"), (44, b"4006381333931"), (43, b"\x80\x81\xe9Z")]
    for port, code in sent:
        scanners[port].type([code])
    got = [[await next_message(ws) for _ in sent] for ws in (a, b)]
    assert got[0] == got[1], got
    assert sorted((m["port"], base64.b64decode(m["bytes"])) for m in got[0]) == sorted(sent), got[0]
    assert {m["text"] for m in got[0] if m["port"] == 43} == {"0104012345678901\x1d21ABC\x1d91X", "\u20ac\x81\xe9Z"}
    assert all(m["type"] == "code" and m["time"].endswith("Z") and len(m["time"]) == 24 for m in got[0])
    scanners[44].pull()
    lost = [await next_message(ws) for ws in (a, b)]
    assert lost[0] == lost[1] and lost[0]["state"] == "lost" and lost[0]["error"] > 0, lost
    scanners[44].plug()
    assert [await next_message(ws) for ws in (a, b)] == [{"type": "status", "port": 44, "state": "back"}] * 2
    return a, b


def counts_after_known_traffic(base):
    scanners = scanner_stats(base)
    assert (scanners[43]["codes_delivered"], scanners[44]["codes_delivered"]) == (2, 1), scanners
    assert (scanners[44]["losses"], scanners[44]["returns"], scanners[44]["state"]) == (1, 1, "open"), scanners
    assert {"bytes_received", "queue_high", "ms_since_code", "parity_errors", "reader_stalled",
            "reader_stalls", "ms_since_round"} <= scanners[43].keys()
    m = metrics(base)
    for name, port, value in [("belvor_codes_total", 43, 2), ("belvor_codes_total", 44, 1),
                              ("belvor_losses_total", 44, 1), ("belvor_scanner_up", 44, 1),
                              ("belvor_codes_cut_total", 43, 0), ("belvor_codes_dropped_total", 43, 0)]:
        assert m[(name, (("port", str(port)),))] == value, (name, port, m)
    assert m[("belvor_line_errors_total", (("kind", "framing"), ("port", "43")))] == 0
    assert m[("belvor_bridge_clients", ())] == 2 and m[("belvor_bridge_clients_closed_slow_total", ())] == 0


async def refusals(bridge, port, uri, log):
    """Origins not listed, a Host not this bridge's, paths and methods not served."""
    try:
        await websockets.connect(uri, origin="https://evil.example", open_timeout=WAIT)
        raise AssertionError("connected from another origin")
    except websockets.InvalidStatusCode as refused:
        assert refused.status_code == 403, refused.status_code
    with open(log) as f:
        assert sum("refused" in line and "evil.example" in line for line in f) == 1, open(log).read()
    host = {"Host": "127.0.0.1:%d" % port}
    upgrade = {"Upgrade": "websocket", "Connection": "Upgrade", "Sec-WebSocket-Version": "13",
               "Sec-WebSocket-Key": "dGhlIHNhbXBsZSBub25jZQ=="}
    assert http_status(port, "/scans", dict(upgrade, Host="evil.example:%d" % port)) == 421
    assert http_status(port, "/scans", dict(upgrade, Host="127.0.0.1:%d" % port, Origin="null")) == 403
    assert http_status(port, "/scanners", {"Host": "evil.example:%d" % port}) == 421
    assert http_status(port, "/scanners", {"Host": "localhost:%d" % port}) == 200
    assert http_status(port, "/nothing", host) == 404
    assert http_status(port, "/metrics", host, "POST") == 405
    assert http_status(port, "/", host) == 200


async def slow_client(base, scanners, uri):
    """A client that stops reading is closed with 1013 at its bound; a fast one loses nothing."""
    slow = await stalled_client(uri)
    fast = await websockets.connect(uri, max_size=None)
    await next_message(fast)
    count, batch, pad = 500, 20, b"\x1d" * 4000  # 30 KB a message: past the kernel's buffers and the bound
    for first in range(0, count, batch):  # a batch at a time: the fast client keeps up by construction
        scanners[43].type([b"%05d" % i + pad for i in range(first, first + batch)])
        for i in range(first, first + batch):
            m = await next_message(fast)
            assert base64.b64decode(m["bytes"]) == b"%05d" % i + pad, (i, m["bytes"][:12])
    m = metrics(base)
    assert m[("belvor_bridge_clients_closed_slow_total", ())] == 1 and m[("belvor_bridge_clients", ())] == 1, m
    assert await closed_with(slow) == 1013
    return fast


def metrics_listener(port, metrics_port):
    """The second listener serves /metrics, with the same counts, and nothing else; the main one is unchanged."""
    host = {"Host": "127.0.0.1:%d" % metrics_port}
    text = urllib.request.urlopen("http://127.0.0.1:%d/metrics" % metrics_port, timeout=WAIT).read().decode()
    assert 'belvor_codes_total{port="43"} 2' in text, text
    assert http_status(metrics_port, "/scanners", host) == 404
    assert http_status(metrics_port, "/", host) == 404
    assert http_status(metrics_port, "/metrics", {"Host": "127.0.0.1:%d" % port}) == 421
    assert http_status(port, "/scanners", {"Host": "127.0.0.1:%d" % port}) == 200


async def late_scanner(bridge):
    """A scanner missing at the start: reported lost, then opened once it appears, and its codes served."""
    async with websockets.connect(bridge.uri, origin=ORIGIN) as ws:
        hello = await next_message(ws)
        assert {"port": LATE, "state": "lost"} in hello["ports"], hello
        assert scanner_stats(bridge.base)[LATE]["state"] == "lost"
        assert metrics(bridge.base)[("belvor_scanner_up", (("port", str(LATE)),))] == 0
        late = Scanner(LATE)
        assert await next_message(ws) == {"type": "status", "port": LATE, "state": "back"}
        late.type([b"late"])
        m = await next_message(ws)
        assert (m["port"], m["text"]) == (LATE, "late"), m
        assert scanner_stats(bridge.base)[LATE]["state"] == "open"


async def gs1_codes(bridge, scanner):
    """zint's symbols as zxing-cpp decodes them, identifiers first, as a scanner types them: each code's
    identifier, type, label and GS1 fields; a code without an identifier typed unknown and counted."""
    try:
        codes, failures = scanner_codes()
    except Missing as missing:
        print("protocol_test: GS1 codes skipped, not installed: %s" % missing)
        return
    assert not failures, failures
    async with websockets.connect(bridge.uri, origin=ORIGIN) as ws:
        await next_message(ws)  # hello
        scanner.type([code.bytes for code in codes] + [NO_IDENTIFIER])
        got = [await next_message(ws) for _ in range(len(codes) + 1)]
    for code, m in zip(codes, got):
        want = {"port": GS1, "bytes": base64.b64encode(code.bytes).decode(), "aim": code.aim, "symbology": code.type,
                "label": code.label.decode("latin-1"), "gs1": [{"ai": ai, "value": v} for ai, v in code.fields],
                "gs1_errors": []}
        assert {k: m[k] for k in want} == want, (code.name, m)
    unknown = {k: got[-1][k] for k in ("text", "aim", "symbology", "label", "gs1_errors")}
    assert unknown == {"text": NO_IDENTIFIER.decode(), "aim": "", "symbology": 0, "label": NO_IDENTIFIER.decode(),
                       "gs1_errors": []}, got[-1]
    assert scanner_stats(bridge.base)[GS1]["codes_unidentified"] == 1
    m = metrics(bridge.base)
    counted = {int(dict(labels)["symbology"]): value for (name, labels), value in m.items()
               if name == "belvor_bridge_codes_by_symbology_total" and ("port", str(GS1)) in labels}
    assert counted == collections.Counter([code.type for code in codes] + [0]), counted
    assert m[("belvor_codes_unidentified_total", (("port", str(GS1)),))] == 1
    assert m[("belvor_codes_unidentified_total", (("port", "43"),))] == 0, "counted only where identifiers are expected"
    print("protocol_test: %d GS1 and other codes of zint and zxing-cpp passed" % len(codes))


def listen_twice():
    """A second --listen is an error, not a replacement."""
    twice = subprocess.run(COMMAND + ["--port", "43", "--listen", "127.0.0.1:1", "--listen", "127.0.0.1:2"],
                           capture_output=True, text=True, timeout=WAIT * 4)
    assert twice.returncode == 2 and "--listen is given twice" in twice.stderr, twice


def no_service_here():
    """The service options are Windows's; elsewhere they say so."""
    refused = subprocess.run(COMMAND + ["--install-service", "--port", "43"], capture_output=True, text=True,
                             timeout=WAIT)
    assert refused.returncode == 2 and "systemd" in refused.stderr, refused


async def main():
    check_version()
    listen_twice()
    if not WINE:
        no_service_here()
    scanners = {p: Scanner(p) for p in PORTS}
    # A link the late scanner of an earlier run left may name a pty that one of these now has.
    late_link = os.path.join(COM_DIR, "com%d" % LATE)
    if os.path.lexists(late_link):
        os.remove(late_link)
    ini = ("[Chars]\nAllowCodes=29,32-255\n[Code]\nMaxLength=8192\n[Port]\nWake=Event\n[Bridge]\nAllowOrigin=%s\n"
           "[COM%d]\nSymbologyId=Aim\nAllowCodes=29,32-126\nMaxLength=200\n")
    metrics_port = free_port()
    extra = ["--port", str(LATE), "--metrics-listen", "127.0.0.1:%d" % metrics_port]
    async with running_bridge(PORTS, ini % (ORIGIN, GS1), extra=extra) as bridge:
        a, b = await codes_in_order(bridge, scanners, bridge.uri)
        counts_after_known_traffic(bridge.base)
        metrics_listener(bridge.port, metrics_port)
        await late_scanner(bridge)
        await refusals(bridge, bridge.port, bridge.uri, bridge.log.name)
        await a.close()
        await b.close()
        await gs1_codes(bridge, scanners[GS1])
        fast = await slow_client(bridge.base, scanners, bridge.uri)
        os.kill(bridge.pid(), STOP)
        assert await closed_with(fast) == 1001
        assert bridge.process.wait(WAIT) == 0
        print("protocol_test: all passed")


asyncio.run(main())
