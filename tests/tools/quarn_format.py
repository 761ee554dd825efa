"""An independent writer of Quarn archive streams, for tests and samples.

Written from the format description alone, sharing no code with the C++
reader, so that each can catch the other's mistakes. It writes plain
(unencrypted) archives with stored frames, encrypted headers whose tag is
arbitrary (good enough for everything that reads only the header), and whole
encrypted archives in every mode.
"""

import hashlib
import json
import pathlib
import struct
import sys

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
    """files: list of (path, bytes) or (path, None) for a directory, each
    optionally with its attributes as a third item."""
    out = bytearray(header(version=version, block_size=block_size))
    entries = []
    index = 0
    for path, data, *attributes in files:
        if data is None:
            entries.append({"path": path, "kind": "dir", **({"attributes": attributes[0]} if attributes else {})})
            continue
        first = index
        for start in range(0, len(data), block_size):
            out += frame(1, index, data[start:start + block_size])
            index += 1
        entries.append({"path": path, "kind": "file", "size": len(data), "attributes": (attributes or [0x20])[0],
                        "created": 0, "modified": modified,
                        "sha256": hashlib.sha256(data).hexdigest(),
                        "first_frame": first, "frames": index - first, "offset": 0})
    manifest = {"format": "quarn", "version": 1, "created_unix": created_unix, "tool": "quarn-format.py",
                "data_frames": index, "total_size": sum(len(f[1]) for f in files if f[1] is not None),
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


def pe_program(size=1024, pe32_plus=True):
    """A small well-formed PE program without sections, enough for a code
    signing tool: DOS header pointing at 0x80, "PE\\0\\0", the file header
    and an optional header with 16 data directories."""
    e_lfanew = 0x80
    dos = bytearray(e_lfanew)
    dos[0:2] = b"MZ"
    struct.pack_into("<I", dos, 0x3C, e_lfanew)
    optional = bytearray(240 if pe32_plus else 224)
    struct.pack_into("<H", optional, 0, 0x20B if pe32_plus else 0x10B)
    struct.pack_into("<II", optional, 32, 0x1000, 0x200)  # section and file alignment
    struct.pack_into("<II", optional, 56, 0x1000, 0x200)  # image size, headers size
    struct.pack_into("<H", optional, 68, 2)  # GUI subsystem
    struct.pack_into("<I", optional, 108 if pe32_plus else 92, 16)
    coff = struct.pack("<HHIIIHH", 0x8664 if pe32_plus else 0x14C, 0, 0, 0, 0, len(optional), 0x22)
    image = bytes(dos) + b"PE\0\0" + coff + bytes(optional)
    return image + bytes(size - len(image))


def certificate_table(program):
    """(offset, size) of a PE program's certificate table, data directory 4."""
    e_lfanew = struct.unpack_from("<I", program, 0x3C)[0]
    magic = struct.unpack_from("<H", program, e_lfanew + 24)[0]
    return struct.unpack_from("<II", program, e_lfanew + 24 + (144 if magic == 0x20B else 128))


# Encrypted archives need Debian's python3-cryptography (AES-256-GCM,
# ChaCha20-Poly1305) and python3-argon2; the functions below import them only
# when called. Twofish and Serpent come from twofish.py and serpent.py beside
# this file, under gcm.py.

LABELS = {
    "header_mac_key": (b"Quarn v1 header-mac", 64),
    "aes_key": (b"Quarn v1 aes-256-gcm", 32),
    "chacha_key": (b"Quarn v1 chacha20-poly1305", 32),
    "twofish_key": (b"Quarn v2 twofish-256-gcm", 32),
    "serpent_key": (b"Quarn v2 serpent-256-gcm", 32),
}

# The layers of each mode, innermost (sealed first) to outermost. Each adds
# its 16-byte tag after what it sealed; all use the frame's nonce and AAD.
LAYERS = {
    1: ("aes",),
    2: ("chacha", "aes"),
    3: ("twofish",),
    4: ("serpent",),
    5: ("serpent", "twofish", "aes"),
}


def _hmac512(key, message):
    import hmac
    return hmac.new(key, message, hashlib.sha512).digest()


def derive_keys(password, argon2, argon2_salt, hkdf_salt):
    from argon2.low_level import Type, hash_secret_raw
    memory, iterations, lanes = argon2
    master = hash_secret_raw(password, argon2_salt, time_cost=iterations, memory_cost=memory, parallelism=lanes,
                             hash_len=64, type=Type.ID, version=0x13)
    prk = _hmac512(hkdf_salt, master)
    return {name: _hmac512(prk, label + b"\x01")[:length] for name, (label, length) in LABELS.items()}


def _layer(name, key):
    """An object with encrypt(nonce, data, aad) returning ciphertext and tag."""
    if name == "aes":
        from cryptography.hazmat.primitives.ciphers.aead import AESGCM
        return AESGCM(key)
    if name == "chacha":
        from cryptography.hazmat.primitives.ciphers.aead import ChaCha20Poly1305
        return ChaCha20Poly1305(key)
    here = str(pathlib.Path(__file__).resolve().parent)
    if here not in sys.path:
        sys.path.insert(0, here)
    from gcm import GCM
    if name == "twofish":
        from twofish import Twofish
        return GCM(Twofish(key))
    from serpent import Serpent
    return GCM(Serpent(key))


def _seal(mode, keys, nonce, aad, data, after_layer=None):
    """after_layer(name, sealed) -> bytes, when given, sees (and may replace)
    the output of each layer before the next one seals it."""
    for name in LAYERS[mode]:
        data = _layer(name, keys[name + "_key"]).encrypt(nonce, data, aad)
        if after_layer:
            data = after_layer(name, data)
    return data


def _sealed_frame(mode, keys, digest, kind, index, plain, after_layer=None):
    fields = struct.pack("<BBHQII", kind, 1, 0, index, len(plain), len(plain) + 16 * len(LAYERS[mode]))
    nonce = struct.pack("<QB", index, kind) + b"\0\0\0"
    payload = _seal(mode, keys, nonce, digest + fields, plain, after_layer)
    return fields + struct.pack("<I", crc32c(payload, crc32c(fields))) + payload


def _bind(after_layer, kind, index):
    if after_layer is None:
        return None
    return lambda name, sealed: after_layer(kind, index, name, sealed)


def encrypted_archive(files, password, mode=1, argon2=(8, 1, 1), block_size=4 << 20,
                      argon2_salt=b"\x11" * 32, hkdf_salt=b"\x22" * 16, after_layer=None):
    """A whole archive in an encrypted mode (1 to 5, see LAYERS) with stored
    frames; `files` as for plain_archive. after_layer(kind, index, name,
    sealed) -> bytes, when given, may alter a frame between its layers (the
    frame's CRC-32C is computed afterwards, over what is written)."""
    import hmac  # noqa: F401  (checked early: the stdlib part of the dependencies)
    keys = derive_keys(password, argon2, argon2_salt, hkdf_salt)
    unsigned = header(mode=mode, argon2=argon2, block_size=block_size, argon2_salt=argon2_salt,
                      hkdf_salt=hkdf_salt, tag=b"")
    tag = _hmac512(keys["header_mac_key"], unsigned)
    out = bytearray(unsigned + tag)
    digest = hashlib.sha256(unsigned + tag).digest()
    entries, index = [], 0
    for path, data in files:
        if data is None:
            entries.append({"path": path, "kind": "dir"})
            continue
        first = index
        for start in range(0, len(data), block_size):
            out += _sealed_frame(mode, keys, digest, 1, index, data[start:start + block_size],
                                 _bind(after_layer, 1, index))
            index += 1
        entries.append({"path": path, "kind": "file", "size": len(data), "sha256": hashlib.sha256(data).hexdigest(),
                        "first_frame": first, "frames": index - first})
    manifest = {"format": "quarn", "version": 1, "created_unix": 0, "tool": "quarn-format.py",
                "data_frames": index, "total_size": 0, "entries": entries}
    filelist_offset = len(out)
    out += _sealed_frame(mode, keys, digest, 2, index, json.dumps(manifest).encode(), _bind(after_layer, 2, index))
    out += footer(filelist_offset, len(out) + 32)
    return bytes(out)
