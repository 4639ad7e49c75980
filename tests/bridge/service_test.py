#!/usr/bin/python3
"""belvor-bridge as a Windows service under Wine's service manager: installed, started, a code served,
stopped (1001, the port closed), removed (arguments: harness.py). Wine has no restart after a failure."""
import asyncio, os, subprocess, urllib.request
import websockets
from harness import (COMMAND, INI, WAIT, Scanner, check_version, closed_with, eventually, free_port, next_message,
                     opened_elsewhere)

PORT = 45
SC = COMMAND[:2] + ["sc"]  # tools/wine-run.sh PREFIX sc ...: Wine's own, in the prefix's arch


def run(args):
    return subprocess.run(args, capture_output=True, text=True, timeout=WAIT * 4)


def state():
    query = run(SC + ["query", "BelvorBridge"])
    for word in ("RUNNING", "STOPPED", "START_PENDING", "STOP_PENDING"):
        if word in query.stdout:
            return word
    return "none (%d)" % query.returncode


def listening(base):
    try:
        urllib.request.urlopen(base + "/scanners", timeout=1).read()
        return True
    except OSError:
        return False


async def main():
    check_version()
    scanner = Scanner(PORT)
    tty = scanner.tty
    os.makedirs(os.path.dirname(INI), exist_ok=True)
    with open(INI, "w") as f:
        f.write("[Port]\r\nWake=Event\r\n")
    log = os.path.join(os.path.dirname(INI), "belvor-bridge.log")
    if os.path.exists(log):
        os.remove(log)
    run(COMMAND + ["--uninstall-service"])  # what an earlier run that failed may have left
    listen = free_port()
    base, uri = "http://127.0.0.1:%d" % listen, "ws://127.0.0.1:%d/scans" % listen
    try:
        installed = run(COMMAND + ["--install-service", "--port", str(PORT), "--listen", "127.0.0.1:%d" % listen])
        assert installed.returncode == 0 and "installed" in installed.stderr, installed
        again = run(COMMAND + ["--install-service", "--port", str(PORT)])
        assert again.returncode == 1 and "already installed" in again.stderr, again

        eventually("the service to listen", lambda: listening(base))
        assert state() == "RUNNING"
        ws = await websockets.connect(uri)
        assert (await next_message(ws))["ports"] == [{"port": PORT, "state": "open"}]
        scanner.type([b"4006381333931"])
        assert (await next_message(ws))["text"] == "4006381333931"
        assert opened_elsewhere(tty), "the driver does not hold the port"

        stopped = run(SC + ["stop", "BelvorBridge"])
        assert stopped.returncode == 0, stopped
        assert await closed_with(ws) == 1001
        eventually("the service to report its stop", lambda: state() == "STOPPED")
        eventually("the port closed (the drivers destroyed)", lambda: not opened_elsewhere(tty))
        with open(log) as f:
            text = f.read()
        assert "on 127.0.0.1:%d" % listen in text and "service stopped (0)" in text, text
    finally:
        removed = run(COMMAND + ["--uninstall-service"])
    assert removed.returncode == 0 and "removed" in removed.stderr, removed
    assert state().startswith("none"), "the service is still there"
    gone = run(COMMAND + ["--uninstall-service"])
    assert gone.returncode == 1 and "cannot open the service" in gone.stderr, gone
    os.remove(INI)
    print("service_test: all passed")


asyncio.run(main())
