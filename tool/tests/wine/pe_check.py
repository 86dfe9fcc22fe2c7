#!/usr/bin/env python3
"""Checks a built Quenthorpe.exe: 64-bit GUI subsystem, the resources it must carry
(manifest asking for administrator rights, version information, icon group 107), and that
it imports no DLL of ours. Prints one line per check; exits 1 when any fails."""
import struct
import sys

RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 14, 16, 24


def sections(pe, header):
    count = struct.unpack_from("<H", pe, header + 6)[0]
    optional_size = struct.unpack_from("<H", pe, header + 20)[0]
    table = header + 24 + optional_size
    for i in range(count):
        name, vsize, vaddr, rsize, raw = struct.unpack_from("<8sIIII", pe, table + 40 * i)
        yield name.rstrip(b"\0").decode(), vaddr, vsize, raw


def rva_to_offset(pe, header, rva):
    for _, vaddr, vsize, raw in sections(pe, header):
        if vaddr <= rva < vaddr + vsize:
            return raw + rva - vaddr
    raise ValueError("rva outside sections")


def resources(pe, header, rsrc_rva):
    """{(type, id): data bytes} for the first language of each resource."""
    base = rva_to_offset(pe, header, rsrc_rva)

    def entries(offset):
        named, ids = struct.unpack_from("<HH", pe, base + offset + 12)
        for i in range(named + ids):
            ident, target = struct.unpack_from("<II", pe, base + offset + 16 + 8 * i)
            yield ident, target

    found = {}
    for rtype, t in entries(0):
        for rid, r in entries(t & 0x7FFFFFFF):
            for _, leaf in entries(r & 0x7FFFFFFF):
                data_rva, size = struct.unpack_from("<II", pe, base + leaf)
                start = rva_to_offset(pe, header, data_rva)
                found[(rtype, rid)] = pe[start:start + size]
    return found


def imports(pe, header, optional):
    import_rva = struct.unpack_from("<I", pe, optional + 120)[0]
    names = []
    at = rva_to_offset(pe, header, import_rva)
    while True:
        name_rva = struct.unpack_from("<I", pe, at + 12)[0]
        if name_rva == 0:
            return names
        start = rva_to_offset(pe, header, name_rva)
        names.append(pe[start:pe.index(b"\0", start)].decode())
        at += 20


def main(path):
    pe = open(path, "rb").read()
    header = struct.unpack_from("<I", pe, 0x3C)[0]
    optional = header + 24
    magic, = struct.unpack_from("<H", pe, optional)
    subsystem, = struct.unpack_from("<H", pe, optional + 68)
    rsrc_rva, = struct.unpack_from("<I", pe, optional + 112 + 2 * 8)
    res = resources(pe, header, rsrc_rva)
    manifest = res.get((RT_MANIFEST, 1), b"").decode("utf-8", "replace")
    version = res.get((RT_VERSION, 1), b"")
    utf16 = lambda s: s.encode("utf-16-le")
    checks = [
        ("64-bit image (PE32+)", magic == 0x20B),
        ("Windows GUI subsystem", subsystem == 2),
        ("manifest asks for requireAdministrator",
         'level="requireAdministrator"' in manifest),
        ("manifest sets uiAccess false", 'uiAccess="false"' in manifest),
        ("icon group 107", (RT_GROUP_ICON, 107) in res),
        ("version 2.9.4.0", utf16("2.9.4.0") in version and
         struct.pack("<HHHH", 9, 2, 0, 4) in version),
        ("file description and internal name Quenthorpe", version.count(utf16("Quenthorpe\0")) >= 2),
        ("file name Quenthorpe.exe", utf16("Quenthorpe.exe") in version),
        ("product name Merrowfaldine", utf16("Merrowfaldine") in version),
        ("imports no DLL of ours",
         not any("merrowfaldine" in name.lower() for name in imports(pe, header, optional))),
    ]
    failed = 0
    for what, ok in checks:
        print(("ok      " if ok else "FAILED  ") + what)
        failed += not ok
    sys.exit(1 if failed else 0)


main(sys.argv[1])
