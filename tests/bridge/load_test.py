"""belvor-bridge under load (arguments: harness.py): scanners typing as fast as their ptys take
bytes, clients that must each get every code in order, one stalled client closed at its bound
while the others lose nothing, and the bridge's memory flat once warm.

The test command's size: Python's clients, 10 scanners x 1,000 codes, 20 clients, each code padded
to 507 bytes, so that together they stay more than the stalled client's socket buffers and bound
hold (few long messages: under Wine and the sanitizers the cost is per message); under Wine and
ThreadSanitizer, 500 codes of 1,007 bytes, the same bytes in half the messages.
The long form (tools/stress.sh), with BELVOR_LOAD_CLIENT naming load_client: 10 x 100,000 codes.
BELVOR_LOAD_CODES sets the codes per scanner, BELVOR_LOAD_PAD the padding without load_client.
"""
import asyncio, base64, os, select, socket, subprocess, threading
import websockets
from harness import WAIT, Scanner, check_version, closed_with, metrics, next_message, running_bridge, stalled_client

CLIENT = os.environ.get("BELVOR_LOAD_CLIENT")
COMS, CLIENTS = range(50, 60), 20
CODES = int(os.environ.get("BELVOR_LOAD_CODES", 100_000 if CLIENT else 1_000))
PAD = b"" if CLIENT else b"F" * int(os.environ.get("BELVOR_LOAD_PAD", 500))
QUEUED_MESSAGES = 1000  # the bridge's send-queue bound (programs/bridge/send_queue.h)


def code(i):
    return b"%07d" % i + PAD


def type_all(scanner, typed, stuck):
    """All of one scanner's codes, a thousand to a write, as fast as its pty takes them. A pty that
    takes nothing for WAIT seconds is a driver that stopped reading: noted in stuck, and the
    typing ends, so that the test fails saying so instead of hanging."""
    os.set_blocking(scanner.master, False)
    for first in range(0, CODES, 1000):
        data = b"".join(code(i) + b"\r" for i in range(first, min(first + 1000, CODES)))
        while data:
            if not select.select([], [scanner.master], [], WAIT)[1]:
                stuck.append(scanner.link)
                return
            try:
                data = data[os.write(scanner.master, data):]
            except BlockingIOError:
                pass
        typed.append(min(1000, CODES - first))


def sample_memory(pid, typed, samples, done):
    """(codes typed, the bridge's VmRSS in KiB), every 20 ms until done."""
    while not done.wait(0.02):
        with open("/proc/%d/status" % pid) as status:
            rss = next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))
        samples.append((sum(typed), rss))


async def python_client(uri, ready):
    """A client that must get every code of every scanner in order."""
    sock = socket.socket()  # buffers for the whole run: Python reads slower than the bridge writes
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
    sock.connect(("127.0.0.1", int(uri.split(":")[2].split("/")[0])))
    # As the bridge's own page would: clients with no Origin have fewer places.
    origin = "http://" + uri.split("/")[2]
    ws = await websockets.connect(uri, sock=sock, origin=origin, max_size=None, max_queue=None, ping_interval=None)
    assert (await next_message(ws))["type"] == "hello"
    ready.release()
    expected = {com: 0 for com in COMS}
    for _ in range(len(COMS) * CODES):
        m = await next_message(ws)
        assert m["type"] == "code" and base64.b64decode(m["bytes"]) == code(expected[m["port"]]), m
        expected[m["port"]] += 1
    await ws.close()


async def closed_as_slow(bridge, slow):
    """The stalled client's close code, read once the bridge has counted it slow (and before
    the bridge gives up waiting for it to take its close)."""
    while metrics(bridge.base)[("belvor_bridge_clients_closed_slow_total", ())] == 0:
        await asyncio.sleep(0.05)
    return await closed_with(slow)


def watch_stalled(bridge, connected, close_code):
    """The stalled client, on a thread and event loop of its own: the other clients' reading must
    not keep it from taking its close within the bridge's time for that."""
    async def run():
        slow = await stalled_client(bridge.uri)
        connected.set()
        close_code.append(await closed_as_slow(bridge, slow))
    asyncio.run(run())


async def flood(bridge, scanners):
    """The scanners' codes typed while the clients read them; the bridge's memory sampled meanwhile.
    The samples, and the stalled client's close code."""
    typed, samples, done = [], [], threading.Event()
    connected, close_code = threading.Event(), []
    watcher = threading.Thread(target=watch_stalled, args=(bridge, connected, close_code), daemon=True)
    watcher.start()
    assert connected.wait(WAIT), "the stalled client could not connect"
    sampler = threading.Thread(target=sample_memory, args=(bridge.pid(), typed, samples, done))
    if CLIENT:
        args = [str(n) for n in (bridge.port, CLIENTS, COMS[0], len(COMS), CODES)]
        clients = subprocess.Popen([CLIENT] + args, stdout=subprocess.PIPE, text=True)
        assert clients.stdout.readline() == "ready\n"
        finished = asyncio.get_running_loop().run_in_executor(None, clients.wait)
    else:
        ready = asyncio.Semaphore(0)
        finished = asyncio.gather(*(python_client(bridge.uri, ready) for _ in range(CLIENTS)))
        for _ in range(CLIENTS):
            await asyncio.wait_for(ready.acquire(), WAIT)
    sampler.start()
    stuck = []
    writers = [threading.Thread(target=type_all, args=(s, typed, stuck)) for s in scanners]
    for writer in writers:
        writer.start()
    try:
        assert await finished in (0, [None] * CLIENTS), "a client missed a code"
        await asyncio.get_running_loop().run_in_executor(None, watcher.join)
    finally:
        done.set()
        sampler.join()
        for writer in writers:
            writer.join()
        assert not stuck, "no byte read for %d s from %s" % (WAIT, ", ".join(stuck))
    return samples, (close_code or [None])[0]


async def main():
    if "ASAN_OPTIONS" in os.environ:  # what AddressSanitizer keeps of freed memory is not the bridge's
        os.environ["ASAN_OPTIONS"] += ":quarantine_size_mb=1:thread_local_quarantine_size_kb=64"
    check_version()
    scanners = [Scanner(com) for com in COMS]
    # The drivers' queues hold a whole flood: the scanners type far faster than clients read.
    ini = "[Code]\nQueueLimit=%d\nMaxLength=%d\n[Port]\nWake=Event\n" % (CODES, len(code(0)))
    async with running_bridge(COMS, ini) as bridge:
        samples, slow_code = await flood(bridge, scanners)
        assert slow_code == 1013, slow_code
        m = metrics(bridge.base)
        for com in COMS:
            for name, value in [("belvor_codes_total", CODES), ("belvor_codes_dropped_total", 0),
                                ("belvor_codes_cut_total", 0)]:
                assert m[(name, (("port", str(com)),))] == value, (name, com, m)
        assert m[("belvor_bridge_clients_closed_slow_total", ())] == 1, m
        # Warm: every code typed, the drivers' queues at their fullest. What the bridge holds beyond
        # that is what its send queues may hold: QUEUED_MESSAGES messages for each client, each
        # under a KiB besides its text.
        warm = next(rss for count, rss in samples if count == len(COMS) * CODES)
        bound = (CLIENTS + 1) * QUEUED_MESSAGES * (len(code(0)) * 3 + 1024) // 1024
        most = max(rss for count, rss in samples if count == len(COMS) * CODES)
        print("load_test: VmRSS warm %d KiB, most %d KiB, bound %d KiB" % (warm, most, bound))
        assert most - warm <= bound
        bridge.stop()
        print("load_test: %d clients x %d codes from %d scanners, all passed" % (CLIENTS, CODES, len(COMS)))


asyncio.run(main())
