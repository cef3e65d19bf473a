#!/usr/bin/env python3
"""Checks a built patcher exe from the file: the file is exactly what its headers describe and all of
it lies below the payload at 0x60000, its import table names only DLLs Windows always takes from the
system folder, and it carries exactly the manifest, version block, icon group and dialog template the
product needs.

Usage: check_exe.py PATCHER.exe [--machine i386|amd64]   (i386, the shipped build, by default)
Prints one line per check and exits 1 when any fails.
"""
import struct
import sys
import xml.etree.ElementTree as ET

PAYLOAD_OFFSET = 0x60000
MACHINES = {"i386": 0x14C, "amd64": 0x8664}
# The DLLs the patcher may import: KnownDLLs, which Windows always loads from the system folder, so a
# DLL planted beside the patcher can never stand in for them.
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "advapi32.dll", "msvcrt.dll"}
SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  # Vista
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # 10
}
RT_ICON, RT_DIALOG, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 5, 14, 16, 24


class Pe:
    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE file")
        self.machine, nsections = struct.unpack_from("<HH", data, pe + 4)
        opt_size = struct.unpack_from("<H", data, pe + 20)[0]
        opt = pe + 24
        magic = struct.unpack_from("<H", data, opt)[0]
        dirs = opt + (96 if magic == 0x10B else 112)
        self.subsystem = struct.unpack_from("<H", data, opt + 68)[0]
        self.headers_size = struct.unpack_from("<I", data, opt + 60)[0]
        self.dirs = [struct.unpack_from("<II", data, dirs + 8 * i) for i in range(16)]
        self.sections = []
        for i in range(nsections):
            off = opt + opt_size + 40 * i
            name = data[off:off + 8].rstrip(b"\0").decode()
            vsize, va, rawsize, rawptr = struct.unpack_from("<IIII", data, off + 8)
            self.sections.append((name, va, max(vsize, rawsize), rawptr, rawsize))

    def offset(self, rva):
        for _, va, size, ptr, _ in self.sections:
            if va <= rva < va + size:
                return ptr + rva - va
        raise ValueError("rva %#x outside every section" % rva)

    def cstr(self, rva):
        off = self.offset(rva)
        return self.data[off:self.data.index(b"\0", off)].decode()

    def imports(self):
        rva, size = self.dirs[1]
        names = []
        if rva == 0:
            return names
        off = self.offset(rva)
        while True:
            name_rva = struct.unpack_from("<I", self.data, off + 12)[0]
            if name_rva == 0:
                return names
            names.append(self.cstr(name_rva))
            off += 20

    def resources(self):
        """{(type, id, language): bytes} for every resource with numeric type and id."""
        base_rva = self.dirs[2][0]
        base = self.offset(base_rva)
        out = {}

        def entries(off):
            named, ids = struct.unpack_from("<HH", self.data, off + 12)
            for i in range(named + ids):
                ident, target = struct.unpack_from("<II", self.data, off + 16 + 8 * i)
                yield ident, target

        for rtype, t in entries(base):
            for rid, r in entries(base + (t & 0x7FFFFFFF)):
                for lang, leaf in entries(base + (r & 0x7FFFFFFF)):
                    data_rva, size = struct.unpack_from("<II", self.data, base + leaf)
                    key = (rtype, rid, lang)
                    out[key] = self.data[self.offset(data_rva):self.offset(data_rva) + size]
        return out


def parse_version(block):
    """(fixed-info value, {string key: value}, translation, [child keys]) of a VS_VERSIONINFO block;
    the child keys are those of the root, each followed by its own children's keys."""
    def node(off):
        length, vlen, vtype = struct.unpack_from("<HHH", block, off)
        end_key = off + 6
        while block[end_key:end_key + 2] != b"\0\0":
            end_key += 2
        key = block[off + 6:end_key].decode("utf-16-le")
        value_off = (end_key + 2 + 3) & ~3
        value_size = vlen * 2 if vtype == 1 else vlen
        children_off = (value_off + value_size + 3) & ~3
        return length, key, block[value_off:value_off + value_size], children_off, vtype

    length, key, value, child, _ = node(0)
    assert key == "VS_VERSION_INFO", key
    strings, translation, keys = {}, None, []
    end = length
    while child < end:
        clen, ckey, _, gchild, _ = node(child)
        keys.append(ckey)
        while gchild < child + clen:
            glen, gkey, gval, s, _ = node(gchild)
            keys.append(gkey)
            if ckey == "StringFileInfo":
                strings["block"] = gkey
                while s < gchild + glen:
                    slen, skey, sval, _, _ = node(s)
                    strings[skey] = sval.decode("utf-16-le").rstrip("\0")
                    s = (s + slen + 3) & ~3
            elif gkey == "Translation":
                translation = struct.unpack_from("<HH", gval)
            gchild = (gchild + glen + 3) & ~3
        child = (child + clen + 3) & ~3
    return value, strings, translation, keys


def main():
    path = sys.argv[1]
    machine = MACHINES[sys.argv[3]] if sys.argv[2:3] == ["--machine"] else MACHINES["i386"]
    data = open(path, "rb").read()
    pe = Pe(data)
    failures = []

    def check(ok, what):
        print(("ok   " if ok else "FAIL ") + what)
        if not ok:
            failures.append(what)

    # The payload is written over everything from 0x60000 on: every part of the file the headers name
    # must end below it, and the file must be exactly those parts (cut short or with bytes appended,
    # the size the build checks says nothing of what the loader reads).
    parts = [("headers", 0, pe.headers_size)] + [(n, ptr, raw) for n, _, _, ptr, raw in pe.sections if raw]
    cert_offset, cert_size = pe.dirs[4]  # the certificate table's entry holds a file offset
    if cert_size:
        parts.append(("certificate table", cert_offset, cert_size))
    for name, start, size in parts:
        check(start + size <= min(len(data), PAYLOAD_OFFSET),
              "%s %#x-%#x lies in the file, below 0x60000" % (name, start, start + size))
    described = max(start + size for _, start, size in parts)
    check(len(data) == described, "file is %d bytes, as its headers describe (%d)" % (len(data), described))
    check(pe.machine == machine, "machine is %#x (%#x)" % (machine, pe.machine))
    check(pe.subsystem == 2, "GUI subsystem")
    imports = [n.lower() for n in pe.imports()]
    check(imports and set(imports) <= SYSTEM_DLLS, "imports only system DLLs: %s" % ", ".join(imports))
    check(pe.dirs[13] == (0, 0), "no delay-loaded DLLs")

    res = pe.resources()
    types = sorted({k[0] for k in res})
    check(types == [RT_ICON, RT_DIALOG, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST],
          "resources: icons, dialog, icon group, version, manifest, nothing else: %s" % types)
    def only(rtype, rid, lang, what):
        """The one resource of that type, checked to have that ID and language; None when there is none."""
        keys = [k for k in res if k[0] == rtype]
        check(keys == [(rtype, rid, lang)], "one %s, ID %d, language %d: %s" % (what, rid, lang, keys))
        return res[keys[0]] if keys else None

    manifest = only(RT_MANIFEST, 1, 1033, "manifest")
    if manifest is not None:
        root = ET.fromstring(manifest)
        ns = {"v1": "urn:schemas-microsoft-com:asm.v1", "v3": "urn:schemas-microsoft-com:asm.v3",
              "c": "urn:schemas-microsoft-com:compatibility.v1"}
        ident = root.find("v1:assemblyIdentity", ns)
        check(ident is not None and ident.attrib == {"version": "1.0.0.0", "processorArchitecture": "X86",
                                                     "name": "Setup", "type": "win32"},
              "assembly identity %s" % (ident.attrib if ident is not None else None))
        levels = root.findall(".//v3:requestedExecutionLevel", ns) + root.findall(".//v1:requestedExecutionLevel", ns)
        check(len(levels) == 1 and levels[0].attrib == {"level": "requireAdministrator"},
              "requireAdministrator, no uiAccess")
        guids = {e.attrib.get("Id") for e in root.findall(".//c:supportedOS", ns)}
        check(guids == SUPPORTED_OS, "supported OS: Vista, 7, 8, 8.1, 10")
        check(root.find("v1:dependency", ns) is None, "no dependency (classic controls)")
        children = sorted(c.tag.split("}")[1] for c in root)
        check(children == ["assemblyIdentity", "compatibility", "trustInfo"], "nothing else: %s" % children)

    version = only(RT_VERSION, 1, 1041, "version block")
    if version is not None:
        value, strings, translation, keys = parse_version(version)
        check(len(value) == 52 and keys == ["StringFileInfo", "041104b0", "VarFileInfo", "Translation"],
              "VS_FIXEDFILEINFO, one string table and one translation: %s" % keys)
        sig, _, fv_ms, fv_ls, pv_ms, pv_ls, mask, flags, fos, ftype, _, _, _ = struct.unpack_from("<13I", value.ljust(52, b"\0"))
        check(sig == 0xFEEF04BD and (fv_ms, fv_ls, pv_ms, pv_ls) == (0x20000, 0, 0x20000, 0),
              "file and product version 2.0.0.0")
        check((mask, flags, fos, ftype) == (0x3F, 0, 0x40004, 1), "flags mask 0x3F, no flags, VOS_NT_WINDOWS32, VFT_APP")
        check(strings == {"block": "041104b0", "CompanyName": "MarbleHollow", "FileVersion": "2.0.0.0",
                          "ProductVersion": "2.0.0.0"}, "string table %s" % strings)
        check(translation == (0x0411, 1200), "translation %s" % (translation,))

    g = only(RT_GROUP_ICON, 101, 1041, "icon group IDI_APP")
    if g is not None:
        reserved, kind, count = struct.unpack_from("<HHH", g)
        check((reserved, kind, len(g)) == (0, 1, 6 + 14 * count), "icon group header, %d entries" % count)
        images = []
        for i in range(count):
            w, h, _, _, _, bits, size, icon_id = struct.unpack_from("<BBBBHHIH", g, 6 + 14 * i)
            icon = res.get((RT_ICON, icon_id, 1041), b"")
            if icon[:8] == b"\x89PNG\r\n\x1a\n" and icon[12:16] == b"IHDR":
                iw, ih, depth, colour = struct.unpack_from(">IIBB", icon, 16)  # 8-bit RGBA is 8, 6
                image = ("png", iw, ih, depth * 4 if colour == 6 else depth)
            else:
                header, iw, ih, _, depth, compression = struct.unpack_from("<IiiHHI", icon.ljust(20, b"\0"))
                # A 40-byte BITMAPINFOHEADER, uncompressed (BI_RGB); the height counts colour and mask.
                image = ("bmp", iw, ih // 2, depth) if (header, compression) == (40, 0) else ("?",)
            images.append((w or 256, h or 256, bits, size == len(icon)) + image)
        expected = [(n, n, 32, True, "bmp", n, n, 32) for n in (16, 32, 48)] + [(256, 256, 32, True, "png", 256, 256, 32)]
        check(images == expected, "icons 16, 32, 48 bitmaps and 256 PNG, 32-bit, Japanese, as the group says: %s" % images)

    d = only(RT_DIALOG, 102, 1041, "dialog IDD_PROGRESS")
    if d is not None:
        ver, sig, _, exstyle, style, items, x, y, cx, cy = struct.unpack_from("<HHIIIHhhhh", d)
        check((ver, sig, style, exstyle, items, x, y, cx, cy) == (1, 0xFFFF, 0x80C000C0, 0, 4, 0, 0, 271, 109),
              "DIALOGEX style 0x80C000C0, 4 controls, 0,0 271x109")

    print("%d checks failed" % len(failures) if failures else "all checks passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
