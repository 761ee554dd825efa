#!/usr/bin/env python3
"""Checks the built quarn-sfx.exe from its bytes: a GUI program with ASLR at
high-entropy addresses and DEP, importing only kernel32 and the C runtime
(Known DLLs, which cannot be planted beside it; quarn.exe too), with the manifest and the icon group as resource 1 and a version resource
from the build's version number."""

import struct
import sys
import unittest

PROGRAM = None
VERSION = None
TOOL = None  # quarn.exe

# Known DLLs, which Windows never looks for beside the program; every other
# system library is loaded at run time from System32.
STATIC_IMPORTS = {"kernel32.dll", "msvcrt.dll"}


class Pe:
    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        assert data[pe:pe + 4] == b"PE\0\0"
        sections = struct.unpack_from("<H", data, pe + 6)[0]
        optional_size = struct.unpack_from("<H", data, pe + 20)[0]
        self.optional = pe + 24
        assert struct.unpack_from("<H", data, self.optional)[0] == 0x20B, "not PE32+"
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", data, self.optional + 68)
        self.image_base = struct.unpack_from("<Q", data, self.optional + 24)[0]
        self.sections = []
        at = self.optional + optional_size
        for i in range(sections):
            name, vsize, vaddr, rsize, raddr = struct.unpack_from("<8sIIII", data, at + 40 * i)
            self.sections.append((vaddr, max(vsize, rsize), raddr))

    def directory(self, index):
        return struct.unpack_from("<II", self.data, self.optional + 112 + 8 * index)

    def offset(self, rva):
        for vaddr, size, raddr in self.sections:
            if vaddr <= rva < vaddr + size:
                return rva - vaddr + raddr
        raise ValueError(f"rva {rva:#x} outside every section")

    def imports(self):
        rva, _ = self.directory(1)
        names, at = [], self.offset(rva)
        while True:
            fields = struct.unpack_from("<IIIII", self.data, at)
            if not any(fields):
                return names
            name_at = self.offset(fields[3])
            names.append(self.data[name_at:self.data.index(b"\0", name_at)].decode().lower())
            at += 20

    def resources(self):
        """{(type, id): bytes} for the first language of each resource."""
        base_rva, _ = self.directory(2)
        base = self.offset(base_rva)

        def entries(table):
            named, ids = struct.unpack_from("<HH", self.data, table + 12)
            for i in range(named + ids):
                key, target = struct.unpack_from("<II", self.data, table + 16 + 8 * i)
                yield key, target

        found = {}
        for kind, t1 in entries(base):
            for rid, t2 in entries(base + (t1 & 0x7FFFFFFF)):
                for _, leaf in entries(base + (t2 & 0x7FFFFFFF)):
                    rva, size = struct.unpack_from("<II", self.data, base + leaf)
                    found.setdefault((kind, rid), self.data[self.offset(rva):self.offset(rva) + size])
        return found


class ProgramFile(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(PROGRAM, "rb") as f:
            cls.pe = Pe(f.read())

    def test_gui_subsystem_with_aslr_high_entropy_and_dep(self):
        self.assertEqual(self.pe.subsystem, 2)  # IMAGE_SUBSYSTEM_WINDOWS_GUI
        for bit, name in ((0x0020, "HIGH_ENTROPY_VA"), (0x0040, "DYNAMIC_BASE"), (0x0100, "NX_COMPAT")):
            self.assertTrue(self.pe.dll_characteristics & bit, name)
        self.assertGreater(self.pe.image_base, 0xFFFFFFFF)

    def test_imports_only_libraries_that_cannot_be_planted(self):
        self.assertEqual(set(self.pe.imports()), STATIC_IMPORTS)
        with open(TOOL, "rb") as f:
            self.assertEqual(set(Pe(f.read()).imports()), STATIC_IMPORTS)

    def test_manifest_is_resource_1(self):
        manifest = self.pe.resources()[(24, 1)].decode("utf-8")
        for needle in ('name="Microsoft.Windows.Common-Controls" version="6.0.0.0"',
                       'level="asInvoker" uiAccess="false"',
                       ">PerMonitorV2</dpiAwareness>",
                       ">true</longPathAware>",
                       ">UTF-8</activeCodePage>",
                       'supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"'):
            self.assertIn(needle, manifest)

    def test_icon_group_1_has_every_size_at_32_bits(self):
        resources = self.pe.resources()
        group = resources[(14, 1)]
        reserved, kind, count = struct.unpack_from("<HHH", group, 0)
        self.assertEqual((reserved, kind), (0, 1))
        sizes = []
        for i in range(count):
            width, height, _, _, planes, bits, size, icon_id = struct.unpack_from("<BBBBHHIH", group, 6 + 14 * i)
            width, height = width or 256, height or 256
            self.assertEqual((width, bits), (height, 32))
            image = resources[(3, icon_id)]  # RT_ICON
            self.assertEqual(len(image), size)
            if image[:4] == b"\x89PNG":
                self.assertEqual(struct.unpack(">II", image[16:24]), (width, height))
                self.assertEqual(image[24:26], b"\x08\x06")  # 8 bits per channel, RGBA
            else:
                self.assertEqual(struct.unpack_from("<iiHH", image, 4), (width, 2 * height, 1, 32))
            sizes.append(width)
        self.assertEqual(sorted(sizes), [16, 24, 32, 48, 64, 128, 256])

    def test_version_resource_carries_the_build_version(self):
        info = self.pe.resources()[(16, 1)]  # RT_VERSION
        fixed = info.index(struct.pack("<I", 0xFEEF04BD))
        file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<IIII", info, fixed + 8)
        major, minor, patch = (int(n) for n in VERSION.split("."))
        self.assertEqual((file_ms, file_ls), ((major << 16) | minor, patch << 16))
        self.assertEqual((product_ms, product_ls), (file_ms, file_ls))
        def value(key):  # a String entry: its key, zero padding to 32 bits, its value
            at = info.index((key + "\0").encode("utf-16-le")) + 2 * len(key) + 2
            at += -at % 4
            end = at
            while info[end:end + 2] != b"\0\0":
                end += 2
            return info[at:end].decode("utf-16-le")

        for key, expected in (("FileVersion", VERSION), ("ProductVersion", VERSION), ("ProductName", "Quarn"),
                              ("FileDescription", "Quarn - archiwum samorozpakowujące się"),
                              ("OriginalFilename", "quarn-sfx.exe")):
            self.assertEqual(value(key), expected, key)
        self.assertRegex(value("LegalCopyright"), r"^Copyright \(C\) 20\d\d Quarn$")


if __name__ == "__main__":
    PROGRAM = sys.argv.pop(1)
    VERSION = sys.argv.pop(1)
    TOOL = sys.argv.pop(1)
    unittest.main(verbosity=2)
