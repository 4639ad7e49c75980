#!/usr/bin/python3
"""Writes the NuGet package Belvor: the C# binding as a library and each platform's native library
where .NET takes them from (runtimes/RID/native), in the package's format (an OPC zip: the
.nuspec, [Content_Types].xml, _rels/.rels and the core properties).

    nuget.py DIST VERSION MANAGED.dll WIN32_DLL WIN64_DLL LINUX_SO

The managed assembly is Belvor.Net.dll: Belvor.dll is the native library's name, and a Windows
build copies both into one folder. Entries are dated SOURCE_DATE_EPOCH."""
import hashlib, os, struct, sys, time, zipfile
from xml.sax.saxutils import escape

HERE = os.path.dirname(os.path.abspath(__file__))
# The managed binding uses only what .NET Standard 2.0 has (mcs compiles it against Mono's
# profile, whose mscorlib and System .NET Standard's facades stand for).
FRAMEWORK = "netstandard2.0"

NUSPEC = """<?xml version="1.0" encoding="utf-8"?>
<package xmlns="http://schemas.microsoft.com/packaging/2013/05/nuspec.xsd">
  <metadata>
    <id>Belvor</id>
    <version>%(version)s</version>
    <authors>The Belvor developers</authors>
    <license type="expression">MIT</license>
    <requireLicenseAcceptance>false</requireLicenseAcceptance>
    <description>Belvor bar-code scanner driver: the C# binding (namespace Belvor, Scanner and BelvorLibrary) with the native library for Windows x86 and x64 and Linux x64. Every code a serial scanner sends reaches the Code event from a thread of the driver's own.</description>
    <tags>barcode scanner serial gs1 pos</tags>
    <dependencies>
      <group targetFramework=".NETStandard2.0" />
    </dependencies>
  </metadata>
</package>
"""


def reproducible(assembly):
    """The assembly with the module's identity (its MVID, which mcs draws at random) derived from
    the rest of it, so that the same sources make the same package."""
    u16, u32 = (lambda at: struct.unpack_from("<H", assembly, at)[0]), (lambda at: struct.unpack_from("<I", assembly, at)[0])
    pe = u32(0x3C)
    directories = pe + 24 + (96 if u16(pe + 24) == 0x10B else 112)
    sections = [struct.unpack_from("<IIII", assembly, pe + 24 + u16(pe + 20) + 40 * i + 8) for i in range(u16(pe + 6))]

    def offset(rva):
        return next(raw + rva - address for size, address, _, raw in sections if address <= rva < address + size)

    metadata = offset(u32(offset(u32(directories + 14 * 8)) + 8))
    at = metadata + 16 + u32(metadata + 12) + 2  # the number of streams, their headers after it
    count, at = u16(at), at + 2
    for _ in range(count):
        start, name = u32(at), assembly[at + 8:assembly.index(b"\0", at + 8)]
        at += 8 + (len(name) + 4) // 4 * 4
        if name == b"#GUID":
            guid = metadata + start
            blank = assembly[:guid] + bytes(16) + assembly[guid + 16:]
            return assembly[:guid] + hashlib.sha256(blank).digest()[:16] + assembly[guid + 16:]
    sys.exit("nuget.py: no #GUID stream in the assembly")


def main(dist, version, managed, win32, win64, linux):
    parts = [
        ("Belvor.nuspec", (NUSPEC % {"version": escape(version)}).encode()),
        ("lib/%s/Belvor.Net.dll" % FRAMEWORK, reproducible(open(managed, "rb").read())),
        ("runtimes/win-x86/native/Belvor.dll", open(win32, "rb").read()),
        ("runtimes/win-x64/native/Belvor.dll", open(win64, "rb").read()),
        ("runtimes/linux-x64/native/libbelvor.so.1", open(linux, "rb").read()),
        ("LICENSE.txt", open(os.path.join(HERE, "..", "LICENSE"), "rb").read()),
    ]
    properties = "package/services/metadata/core-properties/belvor.psmdcp"
    parts.append((properties, (
        '<?xml version="1.0" encoding="utf-8"?>\n<coreProperties '
        'xmlns:dc="http://purl.org/dc/elements/1.1/" '
        'xmlns="http://schemas.openxmlformats.org/package/2006/metadata/core-properties">'
        "<dc:creator>The Belvor developers</dc:creator><dc:identifier>Belvor</dc:identifier>"
        "<version>%s</version></coreProperties>\n" % escape(version)).encode()))
    parts.append(("_rels/.rels", (
        '<?xml version="1.0" encoding="utf-8"?>\n'
        '<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
        '<Relationship Type="http://schemas.microsoft.com/packaging/2010/07/manifest" Target="/Belvor.nuspec" Id="R1" />'
        '<Relationship Type="http://schemas.openxmlformats.org/package/2006/relationships/metadata/core-properties" '
        'Target="/%s" Id="R2" /></Relationships>\n' % properties).encode()))
    # Every part's type, by its extension (libbelvor.so.1's is "1").
    types = {"rels": "application/vnd.openxmlformats-package.relationships+xml",
             "psmdcp": "application/vnd.openxmlformats-package.core-properties+xml"}
    for name, _ in parts:
        types.setdefault(name.rsplit(".", 1)[-1], "application/octet")
    parts.insert(0, ("[Content_Types].xml", (
        '<?xml version="1.0" encoding="utf-8"?>\n'
        '<Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">%s</Types>\n'
        % "".join('<Default Extension="%s" ContentType="%s" />' % item for item in sorted(types.items()))).encode()))
    date = time.gmtime(max(int(os.environ.get("SOURCE_DATE_EPOCH", "315532800")), 315532800))[:6]
    path = os.path.join(dist, "Belvor.%s.nupkg" % version)
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as package:
        for name, data in parts:
            entry = zipfile.ZipInfo(name, date)
            entry.external_attr = 0o100644 << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            package.writestr(entry, data)
    print(os.path.basename(path))


if __name__ == "__main__":
    if len(sys.argv) != 7:
        sys.exit(__doc__)
    main(*sys.argv[1:])
