#!/usr/bin/python3
"""The NuGet package and the wheels against their formats' rules:
    check_packages.py nupkg FILE VERSION      check_packages.py wheel FILE
Prints what is wrong and exits 1; silent when all is right."""
import base64, hashlib, os, re, struct, sys, zipfile
import xml.etree.ElementTree as ET

MACHINES = {"win32": ("PE", 0x14C), "win_amd64": ("PE", 0x8664), "linux_x86_64": ("ELF", 62)}


def machine(data):
    if data[:4] == b"\x7fELF":
        return "ELF", struct.unpack_from("<H", data, 18)[0]
    if data[:2] == b"MZ":
        at = struct.unpack_from("<I", data, 60)[0]
        return ("PE", struct.unpack_from("<H", data, at + 4)[0]) if data[at:at + 4] == b"PE\0\0" else None
    return None


def nupkg(path, version):
    z = zipfile.ZipFile(path)
    names = z.namelist()
    faults = ["a folder entry: " + n for n in names if n.endswith("/")]
    faults += ["not a part name: " + n for n in names if not re.fullmatch(r"[A-Za-z0-9_.\-/\[\]]+", n)]
    if len({n.lower() for n in names}) != len(names):
        faults.append("two parts differ only in case")
    types = ET.fromstring(z.read("[Content_Types].xml"))
    ns = "{http://schemas.openxmlformats.org/package/2006/content-types}"
    known = {d.get("Extension").lower() for d in types.iter(ns + "Default")}
    known_parts = {o.get("PartName").lower() for o in types.iter(ns + "Override")}
    for n in names:
        if n != "[Content_Types].xml" and n.rsplit(".", 1)[-1].lower() not in known and "/" + n.lower() not in known_parts:
            faults.append("no content type: " + n)
    rels = ET.fromstring(z.read("_rels/.rels"))
    targets = {r.get("Type").rsplit("/", 1)[-1]: r.get("Target").lstrip("/") for r in rels}
    if targets.get("manifest") != "Belvor.nuspec" or any(t not in names for t in targets.values()):
        faults.append("_rels/.rels: %s" % targets)
    meta = ET.fromstring(z.read("Belvor.nuspec")).find("{*}metadata")
    got = {e: (meta.findtext("{*}" + e) or "").strip() for e in ("id", "version", "authors", "description")}
    if got["id"] != "Belvor" or got["version"] != version or not got["authors"] or not got["description"]:
        faults.append("nuspec: %s" % got)
    if meta.find("{*}license") is None or meta.find("{*}license").text != "MIT":
        faults.append("nuspec: no MIT licence expression")
    for rid, name in (("win32", "win-x86/native/Belvor.dll"), ("win_amd64", "win-x64/native/Belvor.dll"),
                      ("linux_x86_64", "linux-x64/native/libbelvor.so.1")):
        if machine(z.read("runtimes/" + name)) != MACHINES[rid]:
            faults.append("runtimes/%s is not for %s" % (name, rid))
    if not any(re.fullmatch(r"lib/netstandard2\.0/Belvor\.Net\.dll", n) for n in names):
        faults.append("no lib/netstandard2.0/Belvor.Net.dll")
    return faults


def wheel(path):
    name, version, python, abi, platform = os.path.basename(path)[:-4].split("-")
    z = zipfile.ZipFile(path)
    info = "%s-%s.dist-info/" % (name, version)
    meta = dict(line.split(": ", 1) for line in z.read(info + "WHEEL").decode().splitlines() if ": " in line)
    faults = []
    if meta.get("Tag") != "%s-%s-%s" % (python, abi, platform) or meta.get("Root-Is-Purelib") != "false":
        faults.append("WHEEL: %s" % meta)
    if "Name: belvor\nVersion: %s\n" % version not in z.read(info + "METADATA").decode():
        faults.append("METADATA names no belvor %s" % version)
    record = {}
    for line in z.read(info + "RECORD").decode().splitlines():
        file, digest, size = line.rsplit(",", 2)
        record[file] = (digest, size)
    for n in z.namelist():
        data = z.read(n)
        expected = ("sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode(),
                    str(len(data)))
        if n != info + "RECORD" and record.pop(n, None) != expected:
            faults.append("RECORD: %s is not as listed" % n)
    if set(record) != {info + "RECORD"}:
        faults.append("RECORD lists what is not there: %s" % sorted(record))
    library = "belvor/" + ("libbelvor.so.1" if platform.startswith("linux") else "Belvor.dll")
    if library not in z.namelist() or machine(z.read(library)) != MACHINES.get(platform):
        faults.append("%s is not the library for %s" % (library, platform))
    return faults


if __name__ == "__main__":
    found = nupkg(sys.argv[2], sys.argv[3]) if sys.argv[1] == "nupkg" else wheel(sys.argv[2])
    print("\n".join(found))
    sys.exit(1 if found else 0)
