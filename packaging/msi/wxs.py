#!/usr/bin/python3
"""Writes the installer's source for wixl: packaging/msi/Belvor.wxs.in with every file of a
staged Windows release folder under Program Files\\Belvor, each file its own component.

    wxs.py STAGE VERSION win32|win64 > belvor.wxs && (cd STAGE && wixl -a x86|x64 -o X.msi belvor.wxs)
    wxs.py --seal X.msi belvor.wxs      gives X.msi its package code, derived like the rest

The codes are derived from names, never drawn: the same sources make the same MSI, a file keeps
its component's code from one version to the next (as Windows Installer asks), and each version
has its own product code (a major upgrade)."""
import hashlib, os, re, struct, sys, uuid
from xml.sax.saxutils import quoteattr

NAMESPACE = uuid.UUID("6f1c39a2-5e7b-4c58-9d35-2b0c8e47a1d4")  # the upgrade code


def ident(kind, path):
    """An identifier MSI takes (letters, digits, dots, underscores; at most 72), unique per path."""
    return "%s_%s" % (kind, hashlib.sha1(path.encode()).hexdigest()[:24])


def main(stage, version, tag):
    win64 = tag == "win64"
    lines, refs = [], []

    def walk(folder, relative, depth):
        pad = "  " * depth
        for name in sorted(os.listdir(folder)):
            path = os.path.join(folder, name)
            rel = (relative + "/" + name).lstrip("/")
            if os.path.isdir(path):
                lines.append("%s<Directory Id=%s Name=%s>" % (pad, quoteattr(ident("d", rel)), quoteattr(name)))
                walk(path, rel, depth + 1)
                lines.append("%s</Directory>" % pad)
                continue
            component = ident("c", rel)
            guid = uuid.uuid5(NAMESPACE, tag + "/" + rel)
            lines.append('%s<Component Id="%s" Guid="%s"%s>' % (pad, component, guid, ' Win64="yes"' if win64 else ""))
            lines.append("%s  <File Id=%s Name=%s Source=%s KeyPath=\"yes\" />"
                         % (pad, quoteattr(file_id(rel)), quoteattr(name), quoteattr(rel)))
            lines.append("%s</Component>" % pad)
            refs.append('      <ComponentRef Id="%s" />' % component)

    walk(stage, "", 5)
    if file_id("belvor-bridge.exe") not in "\n".join(lines):
        sys.exit("wxs.py: no belvor-bridge.exe in " + stage)
    template = open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "Belvor.wxs.in")).read()
    values = {
        "VERSION": version,
        "BITS": "64-bit" if win64 else "32-bit",
                "PROGRAM_FILES": "ProgramFiles64Folder" if win64 else "ProgramFilesFolder",
        "WIN64": 'Win64="yes"' if win64 else "",
        "COMPONENT_WIN64": 'Win64="yes"' if win64 else "",
        "PRODUCT_CODE": str(uuid.uuid5(NAMESPACE, "product/%s/%s" % (tag, version))),
        "SETTINGS_GUID": str(uuid.uuid5(NAMESPACE, tag + "/settings")),
        "BRIDGE_FILE": file_id("belvor-bridge.exe"),
        "DIRECTORIES": "\n".join(lines),
        "COMPONENT_REFS": "\n".join(refs),
    }
    for key, value in values.items():
        template = template.replace("@%s@" % key, value)
    sys.stdout.write(template)


def seal(msi, wxs):
    """wixl draws the package code (the summary's revision number) and dates the MSI now: the one
    code in the MSI that the source does not name is replaced, in place, by one derived from the
    source, and the dates by SOURCE_DATE_EPOCH (the same sources make the same MSI)."""
    data, source = open(msi, "rb").read(), open(wxs).read().upper()
    drawn = {m.group() for m in re.finditer(rb"\{[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\}", data)
             if m.group()[1:-1].decode() not in source}
    if len(drawn) != 1:
        sys.exit("wxs.py: %d codes in %s that its source does not name" % (len(drawn), msi))
    code = "{%s}" % str(uuid.uuid5(NAMESPACE, "package/" + hashlib.sha256(source.encode()).hexdigest())).upper()
    # Its two dates, made and saved, follow it (each tagged VT_FILETIME): SOURCE_DATE_EPOCH's.
    epoch = int(os.environ.get("SOURCE_DATE_EPOCH", "0"))
    filetime = struct.pack("<Q", (epoch + 11644473600) * 10**7)
    dates = re.compile(re.escape(drawn.pop()) + rb"(\x00*)\x40\x00\x00\x00.{8}\x40\x00\x00\x00.{8}", re.S)
    sealed, count = dates.subn(lambda m: code.encode() + m.group(1) + (b"\x40\x00\x00\x00" + filetime) * 2, data)
    if count != 1:
        sys.exit("wxs.py: no dates after the package code in " + msi)
    open(msi, "wb").write(sealed)


def file_id(rel):
    # The bridge's is named in the custom actions; it stays readable.
    return "belvor_bridge.exe" if rel == "belvor-bridge.exe" else ident("f", rel)


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "--seal":
        sys.exit(seal(*sys.argv[2:]))
    if len(sys.argv) != 4 or sys.argv[3] not in ("win32", "win64"):
        sys.exit(__doc__)
    main(*sys.argv[1:])
