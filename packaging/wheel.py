#!/usr/bin/python3
"""Writes a wheel of the Python binding with one platform's library inside the package:

    wheel.py DIST VERSION TAG LIBRARY     TAG: linux_x86_64, win32 or win_amd64

belvor/ holds the binding's modules and LIBRARY under its own name (Belvor.dll, libbelvor.so.1),
which the binding loads before any other. Entries are dated SOURCE_DATE_EPOCH (the same sources
make the same wheel) and listed in RECORD with their SHA-256, as the wheel format asks."""
import base64, hashlib, os, sys, time, zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
BINDING = os.path.join(HERE, "..", "bindings", "python")
LIBRARIES = {"linux_x86_64": "libbelvor.so.1", "win32": "Belvor.dll", "win_amd64": "Belvor.dll"}


def metadata(version):
    readme = open(os.path.join(BINDING, "README.md"), encoding="utf-8").read()
    return ("Metadata-Version: 2.1\nName: belvor\nVersion: %s\n"
            "Summary: Belvor bar-code scanner driver, loaded at run time through ctypes\n"
            "Author: The Belvor developers\nLicense: MIT\nRequires-Python: >=3.7\n"
            "Description-Content-Type: text/markdown\n\n%s" % (version, readme))


def main(dist, version, tag, library):
    info = "belvor-%s.dist-info" % version
    files = [("belvor/" + name, open(os.path.join(BINDING, "belvor", name), "rb").read(), 0o644)
             for name in sorted(os.listdir(os.path.join(BINDING, "belvor"))) if name.endswith(".py")]
    files.append(("belvor/" + LIBRARIES[tag], open(library, "rb").read(), 0o755))
    files.append((info + "/METADATA", metadata(version).encode(), 0o644))
    files.append((info + "/LICENSE", open(os.path.join(HERE, "..", "LICENSE"), "rb").read(), 0o644))
    wheel = "Wheel-Version: 1.0\nGenerator: belvor (packaging/wheel.py)\nRoot-Is-Purelib: false\nTag: py3-none-%s\n"
    files.append((info + "/WHEEL", (wheel % tag).encode(), 0o644))
    record = "".join("%s,sha256=%s,%d\n" % (name, base64.urlsafe_b64encode(hashlib.sha256(data).digest())
                                             .rstrip(b"=").decode(), len(data)) for name, data, _ in files)
    files.append((info + "/RECORD", (record + info + "/RECORD,,\n").encode(), 0o644))
    date = time.gmtime(max(int(os.environ.get("SOURCE_DATE_EPOCH", "315532800")), 315532800))[:6]
    path = os.path.join(dist, "belvor-%s-py3-none-%s.whl" % (version, tag))
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as whl:
        for name, data, mode in files:
            entry = zipfile.ZipInfo(name, date)
            entry.external_attr = (0o100000 | mode) << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            whl.writestr(entry, data)
    print(os.path.basename(path))


if __name__ == "__main__":
    if len(sys.argv) != 5 or sys.argv[3] not in LIBRARIES:
        sys.exit(__doc__)
    main(*sys.argv[1:])
