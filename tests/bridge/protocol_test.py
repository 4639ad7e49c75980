#!/usr/bin/python3
"""belvor-bridge end to end: scanners on ptys, clients over the WebSocket and HTTP.

protocol_test.py COM_DIR INI STOP_SIGNAL BRIDGE [ARGS...]: the ptys are linked as
COM_DIR/comN, Belvor.ini is written at INI, STOP_SIGNAL (TERM, or INT under
Wine, whose Ctrl-C it is) ends the bridge, which BRIDGE [ARGS...] starts.
"""
import asyncio, base64, http.client, json, os, pty, signal, socket, subprocess, sys, tempfile, tty
import urllib.request
import websockets
from prometheus_client.parser import text_string_to_metric_families

COM_DIR, INI, STOP = sys.argv[1], sys.argv[2], getattr(signal, "SIG" + sys.argv[3])
WAIT = 60 if "wine" in " ".join(sys.argv[4:]) else 15  # seconds any one thing may take
PORTS = (43, 44)
ORIGIN = "https://till.example"


class Scanner:
    """A pty linked as COM<n>; closing its master is pulling the cable."""

    def __init__(self, port):
        self.link = os.path.join(COM_DIR, "com%d" % port)
        self.plug()

    def plug(self):
        self.master, self.slave = pty.openpty()
        tty.setraw(self.slave)
        if os.path.lexists(self.link):
            os.remove(self.link)
        os.symlink(os.ttyname(self.slave), self.link)

    def pull(self):
        os.close(self.master)
        os.close(self.slave)
        os.remove(self.link)

    def type(self, codes):
        for code in codes:
            os.write(self.master, code + b"\r")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


async def next_message(ws):
    return json.loads(await asyncio.wait_for(ws.recv(), WAIT))


async def closed_with(ws):
    """The close code the bridge ends ws with, reading whatever comes before it."""
    try:
        while True:
            await asyncio.wait_for(ws.recv(), WAIT)
    except websockets.ConnectionClosed as closed:
        return closed.rcvd.code if closed.rcvd else None


def metrics(base):
    text = urllib.request.urlopen(base + "/metrics", timeout=WAIT).read().decode()
    return {(s.name, tuple(sorted(s.labels.items()))): s.value
            for family in text_string_to_metric_families(text) for s in family.samples}


def http_status(port, path, headers, method="GET"):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=WAIT)
    connection.putrequest(method, path, skip_host=True)
    for name, value in headers.items():
        connection.putheader(name, value)
    connection.endheaders()
    return connection.getresponse().status


async def codes_in_order(bridge, scanners, uri):
    """hello; codes byte for byte (GS, Windows-1252) to two clients in one order; lost and back."""
    a = await websockets.connect(uri, origin=ORIGIN)
    b = await websockets.connect(uri)  # no Origin: a native program
    hello = {"type": "hello", "ports": [{"port": p, "state": "open"} for p in PORTS]}
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
    scanners = {s["port"]: s for s in json.load(urllib.request.urlopen(base + "/scanners", timeout=WAIT))["scanners"]}
    assert (scanners[43]["codes_delivered"], scanners[44]["codes_delivered"]) == (2, 1), scanners
    assert (scanners[44]["losses"], scanners[44]["returns"], scanners[44]["state"]) == (1, 1, "open"), scanners
    assert {"bytes_received", "queue_high", "ms_since_code", "parity_errors"} <= scanners[43].keys()
    m = metrics(base)
    for name, port, value in [("belvor_codes_total", 43, 2), ("belvor_codes_total", 44, 1),
                              ("belvor_losses_total", 44, 1), ("belvor_scanner_up", 44, 1),
                              ("belvor_codes_cut_total", 43, 0), ("belvor_codes_dropped_total", 43, 0)]:
        assert m[(name, (("port", str(port)),))] == value, (name, port, m)
    assert m[("belvor_line_errors_total", (("kind", "framing"), ("port", "43")))] == 0
    assert m[("belvor_bridge_clients", ())] == 2 and m[("belvor_bridge_clients_closed_slow_total", ())] == 0


async def refusals(bridge, port, uri, log):
    """Origins not listed, a Host not this bridge's, paths and methods not served, a message too big."""
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
    c = await websockets.connect(uri)
    await next_message(c)
    await c.send("x" * 1000)  # read and ignored
    await c.send(b"x" * (64 * 1024 + 1))
    assert await closed_with(c) == 1009


async def slow_client(base, scanners, uri):
    """A client that stops reading is closed with 1013 at its bound; a fast one loses nothing."""
    stalled = socket.socket()
    stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    stalled.connect(("127.0.0.1", int(uri.split(":")[2].split("/")[0])))
    slow = await websockets.connect(uri, sock=stalled, max_queue=1, read_limit=4096)
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


async def main():
    # Also makes a Wine prefix that is not there yet, before its COM ports are linked.
    version = subprocess.run(sys.argv[4:] + ["--version"], capture_output=True, text=True, timeout=WAIT * 4)
    assert version.stdout.startswith("belvor-bridge (Belvor) ") and version.returncode == 0, version
    port = free_port()
    uri, base = "ws://127.0.0.1:%d/scans" % port, "http://127.0.0.1:%d" % port
    os.makedirs(os.path.dirname(INI), exist_ok=True)
    with open(INI, "w") as f:
        f.write("[Chars]\r\nAllowCodes=29,32-255\r\n[Code]\r\nMaxLength=8192\r\n[Port]\r\nWake=Event\r\n[Bridge]\r\nAllowOrigin=%s\r\n" % ORIGIN)
    scanners = {p: Scanner(p) for p in PORTS}
    log = tempfile.NamedTemporaryFile("w+", prefix="bridge-", suffix=".log")
    args = sys.argv[4:] + ["--port", "43", "--port", "44", "--listen", "127.0.0.1:%d" % port]
    bridge = subprocess.Popen(args, stderr=log)
    try:
        for _ in range(WAIT * 20):
            if "on 127.0.0.1:%d" % port in open(log.name).read() or bridge.poll() is not None:
                break
            await asyncio.sleep(0.05)  # the bridge's own start: waited for, not relied on
        assert bridge.poll() is None, open(log.name).read()
        a, b = await codes_in_order(bridge, scanners, uri)
        counts_after_known_traffic(base)
        await refusals(bridge, port, uri, log.name)
        await a.close()
        await b.close()
        fast = await slow_client(base, scanners, uri)
        os.kill(shutdown_target(bridge), STOP)
        assert await closed_with(fast) == 1001
        assert bridge.wait(WAIT) == 0
        print("protocol_test: all passed")
    finally:
        if bridge.poll() is None:
            bridge.terminate()  # tools/wine-run.sh ends its Wine process and its cable on TERM
            bridge.wait(WAIT)
        os.remove(INI)
        print(open(log.name).read(), end="")


def shutdown_target(bridge):
    """The bridge's own process: under Wine, the child of tools/wine-run.sh that runs it."""
    if STOP == signal.SIGTERM:
        return bridge.pid
    for child in open("/proc/%d/task/%d/children" % (bridge.pid, bridge.pid)).read().split():
        if b"belvor-bridge" in open("/proc/%s/cmdline" % child, "rb").read():
            return int(child)
    raise AssertionError("no Wine process for the bridge")


asyncio.run(main())
