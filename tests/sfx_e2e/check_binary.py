#!/usr/bin/env python3
"""Checks the built quarn-sfx.exe from its bytes: a GUI program with ASLR at
high-entropy addresses and DEP, importing only system libraries (so it runs
as one file), with the manifest and the icon group as resource 1."""

import struct
import sys
import unittest

PROGRAM = None

SYSTEM_DLLS = {"advapi32.dll", "bcrypt.dll", "comctl32.dll", "gdi32.dll", "kernel32.dll", "msvcrt.dll", "ntdll.dll",
               "ole32.dll", "oleaut32.dll", "shell32.dll", "user32.dll", "ws2_32.dll"}


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

    def test_imports_only_system_libraries(self):
        self.assertLessEqual(set(self.pe.imports()), SYSTEM_DLLS)
        self.assertNotIn("webauthn.dll", self.pe.imports())  # loaded on demand, absent under Wine

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


if __name__ == "__main__":
    PROGRAM = sys.argv.pop(1)
    unittest.main(verbosity=2)
