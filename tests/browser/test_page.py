"""The web example in headless Chromium against belvor-bridge.

test_page.py COM_DIR INI STOP_SIGNAL BRIDGE [ARGS...]: tools/scanner-sim.py's
pty is linked as COM_DIR/com71 (a 2D scanner's as com72), their settings written at INI, STOP_SIGNAL
(TERM, or INT under Wine) ends the bridge that BRIDGE [ARGS...] starts. The
page, from an allowed origin, from another one and from the bridge itself.
Exits 77 (skipped) when Chromium, its driver or Selenium is missing.
"""
import calendar
import datetime
import functools
import http.server
import json
import os
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
SIM = os.path.join(ROOT, "tools", "scanner-sim.py")
PAGE_DIR = os.path.join(ROOT, "examples", "web")
CHROMIUM, CHROMEDRIVER = "/usr/bin/chromium", "/usr/bin/chromedriver"
# Firefox ESR through npm's puppeteer-core, where tools/install-deps.sh puts it.
FIREFOX, PUPPETEER = "/usr/bin/firefox-esr", "/usr/local/lib/belvor-node/node_modules"
PORT = 71  # COM71: apart from the other tests' ports
GS1_PORT = 72  # a till's 2D scanner, sending identifiers
# Loaded machines start Chromium (and Wine) slowly; this only stops a hang.
DEADLINE = 60.0 if "wine" in " ".join(sys.argv[4:]) else 30.0

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
except ImportError:
    webdriver = None

# What GS1 and ISO 15434 scanners send (group and record separators, an EOT),
# and bytes above 127: a letter, the euro sign and 0x81, undefined in
# Windows-1252 and so its C1 control. Each: the bytes, the page's value, the text.
CODES = [(b"0104606203086135215abc\x1d93XyZ9", "0104606203086135215abcGS93XyZ9", "0104606203086135215abc\x1d93XyZ9"),
         (b"[)>\x1e06\x1dP123\x1d\x04", "[)>1E06GSP123GS04", "[)>\x1e06\x1dP123\x1d\x04"),
         (b"Caf\xe9 \x80\x81", "Caf\u00e9 \u20ac81", "Caf\u00e9 \u20ac\x81")]
AFTER_BACK = b"4006381333931"
INI = ("[COM%d]\r\nAllowCodes=4,29,30,32-126,128-255\r\n" % PORT
       + "[COM%d]\r\nSymbologyId=Aim\r\nAllowCodes=29,32-126\r\n" % GS1_PORT)


def gs1_date(yymmdd):
    """A GS1 date as the page shows it: the year 49 back to 50 ahead of this one, DD 00 the month's last day."""
    now = datetime.date.today().year
    year = now // 100 * 100 + int(yymmdd[:2])
    year += -100 if year - now > 50 else 100 if now - year > 49 else 0
    month, day = int(yymmdd[2:4]), int(yymmdd[4:])
    return "%04d-%02d-%02d" % (year, month, day or calendar.monthrange(year, month)[1])


# GS1 DataMatrix codes with their identifier (GTIN, expiry, batch, serial) and what the page shows of them.
# Each expiry's DD=00 is its month's last day: a leap year's February, and months in the years at either
# end of the page's century, 50 years ahead and 51 (taken as 49 back).
AHEAD, BEHIND = ["%02d" % ((datetime.date.today().year + n) % 100) for n in (50, 51)]
GS1_CODES = [
    (b"]d2010950110153000317280200" b"10AB-123\x1d21SN00042", "09501101530003", "2028-02-29", "AB-123", "SN00042"),
    (b"]d20104012345678932" b"17%s1200" % BEHIND.encode() + b"10L7", "04012345678932", gs1_date(BEHIND + "1200"),
     "L7", None),
    (b"]d2" b"17%s0400" % AHEAD.encode() + b"0195012345678903" b"21S\x1d10Z", "95012345678903",
     gs1_date(AHEAD + "0400"), "Z", "S")]


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def serve_page(tls_in=None):
    """The page from a server of its own; over https with a certificate made in tls_in, when given."""
    handler = type("Quiet", (http.server.SimpleHTTPRequestHandler,), {"log_message": lambda *args: None})
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(handler, directory=PAGE_DIR))
    if tls_in:
        key, cert = os.path.join(tls_in, "key.pem"), os.path.join(tls_in, "cert.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                        "-days", "1", "-subj", "/CN=till.test"], check=True, capture_output=True)
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(cert, key)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def chromium(*arguments):
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage") + arguments:
        options.add_argument(argument)
    return webdriver.Chrome(service=Service(CHROMEDRIVER), options=options)


class Rig:
    """The bridge, the simulated scanners and their files; everything stopped at the end."""

    def __init__(self, com_dir, ini, stop, *bridge):
        self.bridge_command = list(bridge) + ["--port", str(PORT), "--port", str(GS1_PORT)]
        self.com_dir = com_dir
        self.stop = getattr(signal, "SIG" + stop)
        # Also makes a Wine prefix that is not there yet, before the scanner's link in it.
        subprocess.run(list(bridge) + ["--version"], check=True, stdout=subprocess.DEVNULL, timeout=DEADLINE * 4)
        self.work = tempfile.mkdtemp(prefix="belvor-browser.")
        self.processes, self.listen, self.ini = [], "127.0.0.1:%d" % free_port(), ini
        self.stderr_path = os.path.join(self.work, "bridge.stderr")
        os.makedirs(os.path.dirname(ini), exist_ok=True)
        with open(ini, "w") as f:
            f.write(INI)

    def scanner(self, codes, port=PORT, *extra):
        """A scanner on a new pty as COM<port>, typing the codes in turn until it is ended (its cable pulled)."""
        args = [sys.executable, SIM, "--dir", self.com_dir, "--port", str(port), "--count", "0",
                "--interval", "0.1", "--delay", "0", *extra]
        for code in codes:
            args += ["--code", "".join("\\x%02x" % b for b in code + b"\r")]
        sim = subprocess.Popen(args, stdout=subprocess.PIPE, text=True)
        sim.stdout.readline()  # "scanner-sim: COM71 is /dev/pts/N": its link is made
        self.processes.append(sim)
        return sim

    def replace_scanner(self, codes):
        """Pulls the cable of every scanner so far, and plugs in one typing the codes."""
        for process in self.processes:
            if process is not getattr(self, "bridge", None) and process.poll() is None:
                process.terminate()
                process.wait(DEADLINE)
        return self.scanner(codes)

    def start_bridge(self, *allowed_origins):
        with open(self.stderr_path, "a") as stderr:
            args = self.bridge_command + ["--listen", self.listen]
            for origin in allowed_origins:
                args += ["--allow-origin", origin]
            self.bridge = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=stderr)
        self.processes.append(self.bridge)

    def stop_bridge(self):
        target = self.bridge.pid
        if self.stop != signal.SIGTERM:
            # Under Wine: the child of tools/wine-run.sh that runs the bridge.
            with open("/proc/%d/task/%d/children" % (target, target)) as f:
                target = next(int(child) for child in f.read().split()
                              if b"belvor-bridge" in open("/proc/%s/cmdline" % child, "rb").read())
        os.kill(target, self.stop)
        return self.bridge.wait(DEADLINE)

    def bridge_log(self):
        with open(self.stderr_path, errors="replace") as f:
            return f.read()

    def close(self):
        for process in self.processes:
            if process.poll() is None:
                process.terminate()
                process.wait(DEADLINE)
        os.remove(self.ini)
        print("bridge's stderr:\n" + self.bridge_log())
        shutil.rmtree(self.work, ignore_errors=True)


def wait_for(what, condition):
    deadline = time.monotonic() + DEADLINE
    while time.monotonic() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(0.05)
    raise AssertionError("timed out waiting for " + what)


class PageTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.rig = Rig(*sys.argv[1:])
        cls.addClassCleanup(cls.rig.close)
        cls.allowed, cls.other = serve_page(), serve_page()
        cls.allowed_origin = "http://127.0.0.1:%d" % cls.allowed.server_address[1]
        # A till on a public https origin: a name of its own, served here, that the browser takes as public.
        cls.public = serve_page(tls_in=cls.rig.work)
        cls.public_origin = "https://till.test:%d" % cls.public.server_address[1]
        cls.browser = chromium()
        cls.addClassCleanup(cls.browser.quit)
        cls.first_scanner = cls.rig.scanner([sent for sent, _, _ in CODES])
        cls.rig.start_bridge(cls.allowed_origin, cls.public_origin)

    def open_page(self, origin):
        self.browser.get("%s/index.html?bridge=%s" % (origin, self.rig.listen))

    def wait_for_element(self, selector):
        return wait_for(selector, lambda: self.browser.find_elements(By.CSS_SELECTOR, selector))

    def test_allowed_page_shows_codes_byte_for_byte_lost_back_and_the_bridge_again(self):
        self.open_page(self.allowed_origin)
        self.wait_for_element('#scanners li[data-port="%d"][data-state="open"]' % PORT)
        wait_for("codes", lambda: len(self.browser.find_elements(By.CSS_SELECTOR, "#codes li")) > 2 * len(CODES))
        self.first_scanner.terminate()  # its pty closed: the cable pulled
        self.first_scanner.wait()
        self.wait_for_element('#events li[data-port="%d"][data-state="lost"]' % PORT)
        self.wait_for_element('#scanners li[data-port="%d"][data-state="lost"]' % PORT)
        # Every code shown whole and in turn, the separators by name and other controls in hex.
        # (Not the first: under Wine the driver may start reading in the middle of a code.)
        shown = [(i.get_attribute("data-port"), i.get_attribute("data-hex"), i.find_element(By.CLASS_NAME, "value").text,
                  i.get_attribute("data-text")) for i in self.browser.find_elements(By.CSS_SELECTOR, "#codes li")][-2::-1]
        expected = [(str(PORT), sent.hex(), value, text) for sent, value, text in CODES]
        first = expected.index(shown[0]) if shown[0] in expected else self.fail("not a code: %s" % (shown[0],))
        self.assertEqual(shown, [expected[(first + k) % len(expected)] for k in range(len(shown))])

        # A new pty as the same COM port: the scanner back.
        self.rig.scanner([AFTER_BACK])
        self.wait_for_element('#events li[data-port="%d"][data-state="back"]' % PORT)
        self.wait_for_element('#codes li[data-hex="%s"]' % AFTER_BACK.hex())
        self.wait_for_element('#scanners li[data-port="%d"][data-state="open"]' % PORT)

        # A restarted bridge: the page hears it leave (going away) and finds it again.
        self.assertEqual(self.rig.stop_bridge(), 0)
        self.wait_for_element('#connection[data-state="closed"][data-close-code="1001"]')
        self.rig.start_bridge(self.allowed_origin, self.public_origin)
        self.wait_for_element('#connection[data-state="open"]')
        self.wait_for_element('#scanners[data-stale="false"] li[data-port="%d"]' % PORT)

    def test_gs1_codes_show_gtin_expiry_batch_and_serial(self):
        # COM72 appears once the bridge runs: it opens the port, and the scanner types whole codes then.
        sim = self.rig.scanner([code for code, *_ in GS1_CODES], GS1_PORT, "--wait-open")
        self.addCleanup(sim.wait, DEADLINE)
        self.addCleanup(sim.terminate)
        self.open_page(self.allowed_origin)
        for code, gtin, expiry, batch, serial in GS1_CODES:
            item = self.wait_for_element('#codes li.code[data-port="%d"][data-hex="%s"]' % (GS1_PORT, code.hex()))[0]
            self.assertEqual((item.get_attribute("data-aim"), item.get_attribute("data-symbology")), ("]d2", "208"))
            box = item.find_element(By.CLASS_NAME, "gs1")
            self.assertEqual([box.get_attribute("data-" + key) for key in ("gtin", "expiry", "batch", "serial")],
                             [gtin, expiry, batch, serial], code)
            self.assertEqual(box.find_elements(By.CLASS_NAME, "error"), [])

    def test_page_served_by_the_bridge_connects_to_it(self):
        for host in (self.rig.listen, self.rig.listen.replace("127.0.0.1", "localhost")):
            self.browser.get("http://%s/" % host)
            self.wait_for_element('#scanners[data-stale="false"] li[data-port="%d"]' % PORT)
            self.assertEqual(self.browser.find_element(By.ID, "connection").text, "Connected to ws://%s/scans" % host)

    def test_page_from_another_origin_gets_no_connection(self):
        origin = "http://localhost:%d" % self.other.server_address[1]
        self.open_page(origin)
        # The bridge refuses it and says so once per attempt; the page says it has no connection.
        wait_for("the bridge's refusal", lambda: origin in self.rig.bridge_log())
        # Read in one look: the page tries again after a backoff, and says "Connecting" meanwhile.
        refused = "does not allow this page's origin " + origin
        wait_for("the page's refusal", lambda: self.browser.execute_script(
            "const c = document.getElementById('connection');"
            "return c.dataset.state === 'closed' && c.dataset.reason === 'unreachable' &&"
            " c.textContent.includes(arguments[0]);", refused))
        self.assertEqual(self.browser.find_elements(By.CSS_SELECTOR, "#scanners li, #events li"), [])

    def test_firefox_shows_the_codes_byte_for_byte(self):
        if not (os.path.exists(FIREFOX) and os.path.isdir(os.path.join(PUPPETEER, "puppeteer-core"))):
            self.skipTest("not installed: firefox-esr or puppeteer-core (tools/install-deps.sh)")
        # A new scanner typing the GS1 and high-byte codes (the cable of any earlier one pulled).
        self.rig.replace_scanner([sent for sent, _, _ in CODES])
        page = "%s/index.html?bridge=%s" % (self.allowed_origin, self.rig.listen)
        script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "firefox_page.cjs")
        run = subprocess.run(["node", script, page, str(2 * len(CODES)), str(int(DEADLINE * 1000))],
                             capture_output=True, text=True, timeout=DEADLINE * 2,
                             env=dict(os.environ, NODE_PATH=PUPPETEER))
        self.assertEqual(run.returncode, 0, run.stderr)
        shown = json.loads(run.stdout)
        expected = {sent.hex() for sent, _, _ in CODES}
        self.assertEqual({hex for port, hex in shown if hex in expected}, expected, shown)
        self.assertTrue(all(port == str(PORT) for port, _ in shown), shown)

    def test_public_https_till_gets_codes_only_with_the_loopback_permission(self):
        public = chromium("--ignore-certificate-errors", "--host-resolver-rules=MAP till.test 127.0.0.1",
                          "--ip-address-space-overrides=127.0.0.1:%d=public" % self.public.server_address[1])
        self.addCleanup(public.quit)
        page = "%s/index.html?bridge=%s" % (self.public_origin, self.rig.listen)
        public.get(page)
        # Blocked by the browser, and said so: not "the bridge is not running".
        wait_for("the page's word of the block", lambda: public.execute_script(
            "const c = document.getElementById('connection');"
            "return c.dataset.state === 'closed' && c.dataset.reason === 'blocked' &&"
            " c.textContent.includes('blocked local network access');"))
        self.assertEqual(public.find_elements(By.CSS_SELECTOR, "#codes li"), [])
        self.assertNotIn(self.public_origin, self.rig.bridge_log(), "the bridge never saw it")
        # Granted, as a cashier's Allow or a fleet's policy would.
        public.execute_cdp_cmd("Browser.setPermission", {"origin": self.public_origin, "setting": "granted",
                                                         "permission": {"name": "loopback-network"}})
        public.get(page)
        wait_for("codes with the permission", lambda: public.find_elements(By.CSS_SELECTOR, "#codes li"))


if __name__ == "__main__":
    missing = [path for path in (CHROMIUM, CHROMEDRIVER) if not os.path.exists(path)]
    if webdriver is None:
        missing.append("python3-selenium")
    if missing:
        print("skipped: not installed: " + ", ".join(missing))
        sys.exit(77)
    unittest.main(argv=sys.argv[:1], verbosity=2)
