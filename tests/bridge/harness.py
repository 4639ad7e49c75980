"""What the bridge's end-to-end tests share: scanners on ptys, the bridge's start and stop, a client's reads.

Each test takes COM_DIR INI STOP_SIGNAL BRIDGE [ARGS...]: the ptys are linked as
COM_DIR/comN, Belvor.ini is written at INI, STOP_SIGNAL (TERM, or INT under
Wine, whose Ctrl-C it is) ends the bridge, which BRIDGE [ARGS...] starts.
"""
import asyncio, contextlib, http.client, json, os, resource, signal, socket, subprocess, sys, tempfile, time
import urllib.request
import websockets
from prometheus_client.parser import text_string_to_metric_families

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from scanner_line import ScannerLine, opened_elsewhere  # noqa: E402,F401 (the tests' own too)

COM_DIR, INI, STOP = sys.argv[1], sys.argv[2], getattr(signal, "SIG" + sys.argv[3])
COMMAND = sys.argv[4:]
WINE = "wine" in " ".join(COMMAND)
WAIT = 60 if WINE else 15  # seconds any one thing may take
ORIGIN = "https://till.example"


class Scanner(ScannerLine):
    """A scanner linked as COM_DIR/com<port>."""

    def __init__(self, port):
        super().__init__(COM_DIR, port)


def eventually(what, condition, within=WAIT, every=0.1):
    """condition's first true value, polled for what others do on their own time; fails after within s."""
    deadline = time.monotonic() + within
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(every)
    raise AssertionError("timed out waiting for " + what)


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


def scanners(base):
    return {s["port"]: s for s in json.load(urllib.request.urlopen(base + "/scanners", timeout=WAIT))["scanners"]}


def http_status(port, path, headers, method="GET"):
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=WAIT)
    connection.putrequest(method, path, skip_host=True)
    for name, value in headers.items():
        connection.putheader(name, value)
    connection.endheaders()
    return connection.getresponse().status


async def stalled_client(uri):
    """A client that reads nothing past its handshake: its own buffers are tiny, so the bridge's fill."""
    stalled = socket.socket()
    stalled.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    stalled.connect(("127.0.0.1", int(uri.split(":")[2].split("/")[0])))
    # No keep-alive pings: their answers wait behind what it does not read, and the client
    # would give up on the bridge before the bridge gives up on it.
    return await websockets.connect(uri, sock=stalled, max_queue=1, read_limit=4096, ping_interval=None)


class Bridge:
    """A running bridge: its process, its addresses and its log (stderr)."""

    def __init__(self, process, port, log):
        self.process, self.port, self.log = process, port, log
        self.uri, self.base = "ws://127.0.0.1:%d/scans" % port, "http://127.0.0.1:%d" % port

    def pid(self):
        """The bridge's own process: under Wine, the child of tools/wine-run.sh that runs it."""
        if not WINE:
            return self.process.pid
        pid = self.process.pid
        for child in open("/proc/%d/task/%d/children" % (pid, pid)).read().split():
            if b"belvor-bridge" in open("/proc/%s/cmdline" % child, "rb").read():
                return int(child)
        raise AssertionError("no Wine process for the bridge")

    def cpu_seconds(self):
        """The processor time the bridge has used so far."""
        fields = open("/proc/%d/stat" % self.pid()).read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def log_text(self):
        with open(self.log.name) as f:
            return f.read()

    def stop(self):
        """Ends it as Ctrl-C or SIGTERM would; a sanitizer's report makes its exit status fail this."""
        os.kill(self.pid(), STOP)
        assert self.process.wait(WAIT) == 0, self.log_text()


@contextlib.asynccontextmanager
async def running_bridge(ports, ini, nofile=None, extra=()):
    """Belvor.ini holding ini, the bridge started for ports (natively with at most nofile descriptors, when
    given); on leaving, ended if still running and its log shown."""
    os.makedirs(os.path.dirname(INI), exist_ok=True)
    with open(INI, "w") as f:
        f.write(ini.replace("\n", "\r\n"))
    port = free_port()
    log = tempfile.NamedTemporaryFile("w+", prefix="bridge-", suffix=".log")
    args = COMMAND + sum((["--port", str(p)] for p in ports), []) + ["--listen", "127.0.0.1:%d" % port] + list(extra)
    limit = (lambda: resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))) if nofile else None
    bridge = Bridge(subprocess.Popen(args, stderr=log, preexec_fn=limit), port, log)
    try:
        for _ in range(WAIT * 20):
            if "on 127.0.0.1:%d" % port in bridge.log_text() or bridge.process.poll() is not None:
                break
            await asyncio.sleep(0.05)  # the bridge's own start: waited for, not relied on
        assert bridge.process.poll() is None, bridge.log_text()
        yield bridge
    finally:
        if bridge.process.poll() is None:
            bridge.process.terminate()  # tools/wine-run.sh ends its Wine process and its cable on TERM
            bridge.process.wait(WAIT)
        os.remove(INI)
        print(bridge.log_text(), end="")


def check_version():
    """Also makes a Wine prefix that is not there yet, before its COM ports are linked."""
    version = subprocess.run(COMMAND + ["--version"], capture_output=True, text=True, timeout=WAIT * 4)
    assert version.stdout.startswith("belvor-bridge (Belvor) ") and version.returncode == 0, version
