#!/usr/bin/python3
"""belvor-bridge as a Windows service under Wine's service manager: installed, started, a code served,
stopped (1001, the port closed), removed (arguments: harness.py).

What Wine shows, and this checks: the account the service is registered to run as, its program by an
absolute path in quotes, Belvor.dll loaded by its full path and not from the working folder, the refusal
to install while a user may change Belvor.ini or its folder (Wine gives a file's rights from its Unix
mode: written by others is written by Everyone), Belvor.ini's folder made when missing, the log in a
folder of its own there, the event source registered and removed.
What only Windows shows: that NT SERVICE\\BelvorBridge opens the COM ports and writes C:\\DEXE\\Log and
nothing else of the till's (Wine runs every service as its one user), that it keeps no privilege but
SeChangeNotifyPrivilege (Wine's service manager does not take that), the rights the install gives
C:\\DEXE and C:\\DEXE\\Log (Wine keeps only a Unix mode of them), the event log taking what the log
cannot (Wine's ReportEvent is a stub) and the restart after a failure (Wine has none)."""
import asyncio, os, shutil, socket, subprocess, tempfile, urllib.request
import websockets
from harness import (COMMAND, INI, WAIT, Scanner, check_version, closed_with, eventually, free_port, next_message,
                     opened_elsewhere)

PORT = 45
WINE_RUN = COMMAND[:2]  # tools/wine-run.sh PREFIX: Wine's own commands then, in the prefix's arch
SC = WINE_RUN + ["sc"]
KEY = r"HKLM\System\CurrentControlSet\Services\BelvorBridge"
EVENT_KEY = r"HKLM\System\CurrentControlSet\Services\EventLog\Application\BelvorBridge"
DEXE = os.path.dirname(INI)
LOG = os.path.join(DEXE, "Log", "belvor-bridge.log")


def run(args, **kwargs):
    return subprocess.run(args, capture_output=True, text=True, timeout=WAIT * 4, **kwargs)


def state():
    query = run(SC + ["query", "BelvorBridge"])
    for word in ("RUNNING", "STOPPED", "START_PENDING", "STOP_PENDING"):
        if word in query.stdout:
            return word
    return "none (%d)" % query.returncode


def registry(key, name):
    """The value as reg query prints it, or None when there is none."""
    query = run(WINE_RUN + ["reg", "query", key, "/v", name])
    for line in query.stdout.splitlines():
        if line.split()[:1] == [name]:
            return line.split(None, 2)[2].rstrip("\r")
    return None


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def listening(base):
    try:
        urllib.request.urlopen(base + "/scanners", timeout=1).read()
        return True
    except OSError:
        return False


def library_by_full_path():
    """The program alone in a folder, started where Belvor.dll is: a bare name would find it there."""
    program, folder = COMMAND[-1], tempfile.mkdtemp(prefix="belvor-alone-")
    try:
        shutil.copy(program, folder)
        with socket.socket() as taken:
            taken.bind(("127.0.0.1", 0))
            taken.listen()
            alone = run(WINE_RUN + [os.path.join(folder, os.path.basename(program)), "--port", str(PORT + 1),
                                    "--listen", "127.0.0.1:%d" % taken.getsockname()[1]],
                        cwd=os.path.dirname(program))
        assert alone.returncode == 1 and "cannot load the library" in alone.stderr, alone
    finally:
        shutil.rmtree(folder)


def refused_while_users_may_change():
    """Each of Belvor.ini and its folder, written by others, keeps the service from being installed."""
    os.makedirs(DEXE, exist_ok=True)
    with open(INI, "w") as f:
        f.write("[Bridge]\r\nAllowOrigin=https://elsewhere.example\r\n")
    for path, mode, named in ((DEXE, 0o777, "C:\\DEXE ("), (INI, 0o666, "C:\\DEXE\\Belvor.ini (")):
        original = os.stat(path).st_mode
        os.chmod(path, mode)
        try:
            refused = run(COMMAND + ["--install-service", "--port", str(PORT)])
        finally:
            os.chmod(path, original)
        assert refused.returncode == 1 and "not installed" in refused.stderr, refused
        assert named + "Everyone may change it)" in refused.stderr and "icacls" in refused.stderr, refused
        assert state().startswith("none"), "installed all the same"
    shutil.rmtree(DEXE)


async def main():
    check_version()
    scanner = Scanner(PORT)
    tty = scanner.tty
    run(COMMAND + ["--uninstall-service"])  # what an earlier run that failed may have left
    library_by_full_path()
    refused_while_users_may_change()
    listen = free_port()
    base, uri = "http://127.0.0.1:%d" % listen, "ws://127.0.0.1:%d/scans" % listen
    try:
        # Belvor.ini's folder is missing: the install makes it, and the service's log folder in it.
        installed = run(COMMAND + ["--install-service", "--port", str(PORT), "--listen", "127.0.0.1:%d" % listen])
        assert installed.returncode == 0 and "installed" in installed.stderr, installed
        assert "made C:\\DEXE" in installed.stderr, installed
        assert registry(KEY, "ObjectName") == "NT SERVICE\\BelvorBridge"
        image = '"%s" --service --port %d --listen 127.0.0.1:%d' % (windows_path(COMMAND[-1]), PORT, listen)
        assert registry(KEY, "ImagePath") == image, registry(KEY, "ImagePath")
        assert registry(EVENT_KEY, "EventMessageFile") == "%SystemRoot%\\System32\\EventCreate.exe"
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
        with open(LOG) as f:
            text = f.read()
        assert "on 127.0.0.1:%d" % listen in text and "service stopped (0)" in text, text
    finally:
        removed = run(COMMAND + ["--uninstall-service"])
    assert removed.returncode == 0 and "removed" in removed.stderr, removed
    assert state().startswith("none"), "the service is still there"
    assert registry(EVENT_KEY, "EventMessageFile") is None, "the event source is still there"
    gone = run(COMMAND + ["--uninstall-service"])
    assert gone.returncode == 1 and "cannot open the service" in gone.stderr, gone
    shutil.rmtree(DEXE)
    print("service_test: all passed")


asyncio.run(main())
