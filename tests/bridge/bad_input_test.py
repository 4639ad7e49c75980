"""belvor-bridge against bad input and misbehaving clients (arguments: harness.py).

After each case the bridge must still answer /scanners and give a new /scans
client its codes; at the end it must stop cleanly (a sanitizer's report fails that).
"""
import asyncio, base64, http.client, os, socket, struct
import websockets
from harness import (ORIGIN, STOP, WAIT, WINE, Scanner, check_version, closed_with, eventually, metrics,
                     next_message, running_bridge, scanners, stalled_client)

PORT = 45
HEADER_LIMIT, MESSAGE_LIMIT, CONNECTION_LIMIT = 8 * 1024, 64 * 1024, 64
CLIENT_LIMIT, NATIVE_LIMIT, LINGER_LIMIT = 56, 16, 16  # WebSockets; those with no Origin; refused kept open
HOST = b"Host: 127.0.0.1:%d\r\n"

# Request bytes (Host filled in) and the status that answers them before the bridge hangs up.
BAD_REQUESTS = [
    (b"GARBAGE\r\n\r\n", 400),
    (b"GET / HTTP/9.9\r\n%s\r\n", 400),
    (b"GET /\x01 HTTP/1.1\r\n%s\r\n", 400),
    (b"GET / HTTP/1.1\r\n%sno colon here\r\n\r\n", 400),
    (b"GET / HTTP/1.1\r\n%sContent-Length: -1\r\n\r\n", 400),
    (b"GET / HTTP/1.1\r\n%sContent-Length: 1\r\nContent-Length: 2\r\n\r\n", 400),
    (b"POST / HTTP/1.1\r\n%sContent-Length: 99999\r\n\r\n", 400),
    (b"GET / HTTP/1.1\r\n%sX-Big: " + b"a" * HEADER_LIMIT + b"\r\n\r\n", 431),
]


def connect(port):
    return socket.create_connection(("127.0.0.1", port), timeout=WAIT)


def answer_status(sock):
    """The status of the one answer the bridge sends before it closes the connection."""
    reply = b""
    while chunk := sock.recv(65536):
        reply += chunk
    return int(reply.split(b" ", 2)[1])


async def still_serving(bridge, scanner, code):
    assert scanners(bridge.base)[PORT]["state"] == "open"
    async with websockets.connect(bridge.uri) as ws:
        assert (await next_message(ws))["type"] == "hello"
        scanner.type([code])
        assert base64.b64decode((await next_message(ws))["bytes"]) == code


async def frames_from_the_client(bridge, scanner):
    """Text and binary frames are read and ignored, pings answered, a close answered, a message too big closed."""
    ws = await websockets.connect(bridge.uri, max_size=None)
    await next_message(ws)
    for frame in ("x" * 1000, b"\x00\xff" * 1000, "", b""):
        await ws.send(frame)
    await asyncio.wait_for(await ws.ping(b"are you there"), WAIT)
    scanner.type([b"7"])
    assert (await next_message(ws))["text"] == "7"
    await ws.close()
    assert ws.close_rcvd is not None and ws.close_rcvd.code == 1000
    ws = await websockets.connect(bridge.uri, max_size=None)
    await ws.send(b"x" * (MESSAGE_LIMIT + 1))
    assert await closed_with(ws) == 1009


async def half_open(bridge, scanner):
    """Requests cut short, a client that only shuts its sending side, one gone without a close: none holds the rest up."""
    partial, shut = connect(bridge.port), connect(bridge.port)
    partial.sendall(b"GET /scanners HTT")
    shut.sendall(b"GET /scanners HTTP/1.1\r\n")
    shut.shutdown(socket.SHUT_WR)
    gone = await websockets.connect(bridge.uri)
    gone.transport.get_extra_info("socket").setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
    gone.transport.abort()  # a reset, no close frame
    await still_serving(bridge, scanner, b"8")
    assert answer_status(shut) == 400
    partial.close()


def churn(bridge, scanner):
    """1,000 connections opened and closed in a row, every other one reset."""
    for i in range(1000):
        sock = connect(bridge.port)
        if i % 2:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        sock.close()


async def leaked_clients(bridge, scanner):
    """WebSockets leaked with no Origin up to their cap, then under the bridge's own page's origin, fill the
    clients' places: more of either are refused, but the till's page still gets in, in the place of the
    oldest under the origin that holds the most."""
    own = "http://127.0.0.1:%d" % bridge.port
    leaked = [await websockets.connect(bridge.uri) for _ in range(NATIVE_LIMIT)]
    leaked += [await websockets.connect(bridge.uri, origin=own) for _ in range(CLIENT_LIMIT - NATIVE_LIMIT)]
    for origin in (None, own):
        try:
            await websockets.connect(bridge.uri, origin=origin, open_timeout=WAIT)
            raise AssertionError("a client past the cap, from origin %s" % origin)
        except websockets.InvalidStatusCode as refused:
            assert refused.status_code == 503, refused.status_code
    till = await websockets.connect(bridge.uri, origin=ORIGIN)
    assert (await next_message(till))["type"] == "hello"
    assert metrics(bridge.base)[("belvor_bridge_clients", ())] == CLIENT_LIMIT, "one closed to make room"
    scanner.type([b"56"])
    assert (await next_message(till))["text"] == "56"
    for kept in (leaked[0], leaked[NATIVE_LIMIT + 1]):  # the oldest with no Origin; the next under the own page's
        assert [(await next_message(kept))["type"] for _ in range(2)] == ["hello", "code"]
    assert await closed_with(leaked[NATIVE_LIMIT]) is None  # ended at once, without a close
    await asyncio.gather(*(ws.close() for ws in leaked + [till]))
    eventually("the clients' ends", lambda: metrics(bridge.base)[("belvor_bridge_clients", ())] == 0)


def connection_cap(bridge):
    """64 connections held; the 65th refused with 503 before it has sent anything, and a burst of more too,
    without the bridge keeping more than a few of them open; once one has closed, a new one is served."""
    held = []
    for _ in range(CONNECTION_LIMIT):
        held.append(http.client.HTTPConnection("127.0.0.1", bridge.port, timeout=WAIT))
        held[-1].request("GET", "/scanners")
        assert held[-1].getresponse().read() and held[-1].sock  # kept alive
    over = connect(bridge.port)
    assert answer_status(over) == 503
    if not WINE:  # under Wine the descriptors are the wineserver's
        descriptors = "/proc/%d/fd" % bridge.pid()
        before = len(os.listdir(descriptors))
        burst = [connect(bridge.port) for _ in range(200)]
        assert all(answer_status(sock) == 503 for sock in burst)  # and their ends kept open here
        kept = len(os.listdir(descriptors)) - before
        assert kept <= LINGER_LIMIT, "the bridge keeps %d refused connections open" % kept
        for sock in burst:
            sock.close()
    # The bridge closes this one itself, and frees its slot as it does: once the
    # close is seen here, the next connection is served. (http.client drops its
    # own socket without waiting for that close; a second handle on it waits.)
    watch = held[0].sock.dup()
    held[0].request("GET", "/scanners", headers={"Connection": "close"})
    held[0].getresponse().read()
    watch.settimeout(WAIT)
    assert watch.recv(1) == b""
    watch.close()
    return held[1:]


async def out_of_descriptors(scanner):
    """Natively, with descriptors short: a flood of idle connections makes the accept loop rest instead of
    spinning, and once they have gone everything is served again."""
    async with running_bridge([PORT], "", nofile=64) as bridge:
        flood = [connect(bridge.port) for _ in range(100)]
        await asyncio.sleep(0.5)
        before = bridge.cpu_seconds()
        await asyncio.sleep(2)
        used = bridge.cpu_seconds() - before
        assert used < 0.5, "%.2f s of processor time in 2 s: the accept loop spins" % used
        for sock in flood:
            sock.close()
        await still_serving(bridge, scanner, b"9")
        bridge.stop()


async def stop_with_stragglers(bridge, scanner):
    """The stop signal with a client whose write cannot end (it takes nothing) and a connection that
    upgrades after the signal: the bridge ends all the same, within its bound, and sends nothing typed
    after the signal."""
    stalled = await stalled_client(bridge.uri)
    delivered = scanners(bridge.base)[PORT]["codes_delivered"]
    scanner.type([b"%0100d" % i for i in range(1200)])  # past the client's queue and every buffer
    for _ in range(WAIT * 20):
        if scanners(bridge.base)[PORT]["codes_delivered"] >= delivered + 1200:
            break
        await asyncio.sleep(0.05)
    late = connect(bridge.port)
    watcher = await websockets.connect(bridge.uri)
    assert (await next_message(watcher))["type"] == "hello"
    os.kill(bridge.pid(), STOP)
    assert await closed_with(watcher) == 1001  # the stop has begun
    late.sendall(b"GET /scans HTTP/1.1\r\n" + HOST % bridge.port + b"Connection: Upgrade\r\nUpgrade: websocket\r\n"
                 b"Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n")
    scanner.type([b"after"])
    got = b""
    while chunk := late.recv(65536):  # the socket's time-out (WAIT) fails a bridge that keeps it
        got += chunk
    assert bridge.process.wait(WAIT) == 0, bridge.log_text()
    assert b"after" not in got
    assert got == b"" or (got.startswith(b"HTTP/1.1 101") and b"\x88\x02\x03\xe9" in got), got[:200]
    stalled.transport.abort()


async def main():
    check_version()
    scanner = Scanner(PORT)
    async with running_bridge([PORT], "[Port]\nWake=Event\n[Bridge]\nAllowOrigin=%s\n" % ORIGIN) as bridge:
        for request, status in BAD_REQUESTS:
            sock = connect(bridge.port)
            sock.sendall(request.replace(b"%s", HOST % bridge.port))
            assert answer_status(sock) == status, (request[:40], status)
        await still_serving(bridge, scanner, b"1")
        await frames_from_the_client(bridge, scanner)
        await still_serving(bridge, scanner, b"2")
        await half_open(bridge, scanner)
        churn(bridge, scanner)
        await still_serving(bridge, scanner, b"3")
        await leaked_clients(bridge, scanner)
        held = connection_cap(bridge)
        await still_serving(bridge, scanner, b"4")
        for connection in held:
            connection.close()
        await stop_with_stragglers(bridge, scanner)
    # Not under UBSan: it checks an object it has not seen before through a pipe it makes, and with
    # no descriptor left takes boost::system's error categories for bad objects. Under Wine the
    # descriptors are the wineserver's.
    if not WINE and "UBSAN_OPTIONS" not in os.environ:
        await out_of_descriptors(scanner)
    print("bad_input_test: all passed")


asyncio.run(main())
