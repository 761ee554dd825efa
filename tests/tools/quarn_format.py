"""An independent writer of Quarn archive streams, for tests and samples.

Written from the format description alone, sharing no code with the C++
reader, so that each can catch the other's mistakes. It writes plain
(unencrypted) archives with stored frames, and encrypted headers whose tag
is arbitrary (good enough for everything that reads only the header).
"""

import hashlib
import json
import struct

HEADER_MAGIC = b"QUARN\x1a\x0d\x0a"
FOOTER_MAGIC = b"QUARNEND"


def _crc32c_table():
    table = []
    for b in range(256):
        c = b
        for _ in range(8):
            c = (c >> 1) ^ (0x82F63B78 if c & 1 else 0)
        table.append(c)
    return table


_TABLE = _crc32c_table()


def crc32c(data, crc=0):
    c = crc ^ 0xFFFFFFFF
    for b in data:
        c = (c >> 8) ^ _TABLE[(c ^ b) & 0xFF]
    return c ^ 0xFFFFFFFF


def extension_record(kind, payload):
    return struct.pack("<HI", kind, len(payload)) + payload


def fido2_descriptor(rp_id, credential_id, salt=b"\x33" * 32):
    rp = rp_id.encode("utf-8")
    return struct.pack("<H", len(rp)) + rp + struct.pack("<H", len(credential_id)) + credential_id + salt


def header(version=2, mode=0, compression=0, block_size=4 << 20, argon2=None, extensions=b"",
           argon2_salt=b"\x01" * 32, hkdf_salt=b"\x02" * 16, byte14=0, extra_flags=0, tag=None):
    """argon2 = (memory_kib, iterations, parallelism) for an encrypted header."""
    encrypted = mode != 0
    flags = (1 if encrypted else 0) | extra_flags
    m, t, p = argon2 if argon2 else (0, 0, 0)
    fixed = (HEADER_MAGIC + struct.pack("<HHBBBB", version, flags, mode, compression, byte14, 0)
             + struct.pack("<I", block_size) + bytes([1 if argon2 else 0, 0, 0, 0])
             + struct.pack("<III", m, t, p) + argon2_salt + hkdf_salt)
    assert len(fixed) == 84
    if version >= 2:
        fixed += struct.pack("<I", len(extensions)) + extensions
    if tag is None:
        tag = hashlib.sha512(fixed).digest() if not encrypted else b"\x5a" * 64
    return fixed + tag


def frame(kind, index, plain, flags=1):
    """A stored frame (flags bit 0): the payload is the plain data itself."""
    head = struct.pack("<BBHQII", kind, flags, 0, index, len(plain), len(plain))
    crc = crc32c(plain, crc32c(head))
    return head + struct.pack("<I", crc) + plain


def footer(filelist_offset, archive_length):
    body = FOOTER_MAGIC + struct.pack("<QQ", filelist_offset, archive_length)
    return body + struct.pack("<II", crc32c(body), 0)


def plain_archive(files, block_size=4 << 20, version=2, created_unix=1767225600, modified=0):
    """files: list of (path, bytes) or (path, None) for a directory."""
    out = bytearray(header(version=version, block_size=block_size))
    entries = []
    index = 0
    for path, data in files:
        if data is None:
            entries.append({"path": path, "kind": "dir"})
            continue
        first = index
        for start in range(0, len(data), block_size):
            out += frame(1, index, data[start:start + block_size])
            index += 1
        entries.append({"path": path, "kind": "file", "size": len(data), "attributes": 0x20,
                        "created": 0, "modified": modified,
                        "sha256": hashlib.sha256(data).hexdigest(),
                        "first_frame": first, "frames": index - first, "offset": 0})
    manifest = {"format": "quarn", "version": 1, "created_unix": created_unix, "tool": "quarn-format.py",
                "data_frames": index, "total_size": sum(len(d) for _, d in files if d is not None),
                "entries": entries}
    filelist_offset = len(out)
    out += frame(2, index, json.dumps(manifest, ensure_ascii=False, separators=(",", ":")).encode("utf-8"))
    out += footer(filelist_offset, len(out) + 32)
    return bytes(out)


def header_only_archive(head):
    """A header followed by an empty file-list frame and a footer."""
    manifest = b'{"format":"quarn","version":1,"created_unix":0,"tool":"t","data_frames":0,"total_size":0,"entries":[]}'
    out = bytearray(head)
    filelist_offset = len(out)
    out += frame(2, 0, manifest)
    out += footer(filelist_offset, len(out) + 32)
    return bytes(out)


def split(data, part_size):
    return [data[i:i + part_size] for i in range(0, len(data), part_size)]


def program_stub(size=4096):
    """Stands in for the self-extractor program: starts with "MZ"."""
    return b"MZ" + b"\x90" * (size - 2)
