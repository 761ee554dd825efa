"""GCM (NIST SP 800-38D) over any block cipher with 128-bit blocks, in plain
Python: a 12-byte nonce and a 16-byte tag, which is all quarn's frame layers
use. `cipher` is any object whose encrypt_block(16 bytes) returns 16 bytes.
"""

import hmac

# The reduction constant of GF(2^128) in GCM's bit order: x^128 + x^7 + x^2 + x + 1.
_R = 0xE1 << 120


class _Ghash:
    """GHASH with the key h, fed in 16-byte steps. Blocks are the big-endian
    integers of their bytes, whose most significant bit is the coefficient of
    x^0; h * x^i is tabulated once, so a product is at most 128 XORs."""

    def __init__(self, h):
        self.powers = []
        v = h
        for _ in range(128):
            self.powers.append(v)
            v = (v >> 1) ^ _R if v & 1 else v >> 1
        self.state = 0

    def _times_h(self, x):
        z = 0
        for i, p in enumerate(self.powers):
            if (x >> (127 - i)) & 1:
                z ^= p
        return z

    def update(self, data):
        """Feeds data padded with zeros to a multiple of 16 bytes."""
        for start in range(0, len(data), 16):
            chunk = data[start:start + 16].ljust(16, b"\0")
            self.state = self._times_h(self.state ^ int.from_bytes(chunk, "big"))


def _inc32(counter):
    low = (int.from_bytes(counter[12:], "big") + 1) & 0xFFFFFFFF
    return counter[:12] + low.to_bytes(4, "big")


class GCM:
    def __init__(self, cipher):
        if getattr(cipher, "block_size", 16) != 16:
            raise ValueError("GCM needs a 128-bit block cipher")
        self.cipher = cipher
        self.h = int.from_bytes(cipher.encrypt_block(bytes(16)), "big")

    def _ctr(self, counter, data):
        out = bytearray()
        for start in range(0, len(data), 16):
            counter = _inc32(counter)
            stream = self.cipher.encrypt_block(counter)
            out += bytes(a ^ b for a, b in zip(data[start:start + 16], stream))
        return bytes(out)

    def _tag(self, j0, aad, ciphertext):
        ghash = _Ghash(self.h)
        ghash.update(aad)
        ghash.update(ciphertext)
        ghash.update((8 * len(aad)).to_bytes(8, "big") + (8 * len(ciphertext)).to_bytes(8, "big"))
        mask = int.from_bytes(self.cipher.encrypt_block(j0), "big")
        return (ghash.state ^ mask).to_bytes(16, "big")

    @staticmethod
    def _j0(nonce):
        if len(nonce) != 12:
            raise ValueError("only 12-byte nonces are supported")
        return bytes(nonce) + b"\0\0\0\1"

    def encrypt(self, nonce, data, aad=b""):
        """Returns ciphertext followed by the 16-byte tag (as AESGCM does)."""
        j0 = self._j0(nonce)
        ciphertext = self._ctr(j0, bytes(data))
        return ciphertext + self._tag(j0, bytes(aad), ciphertext)

    def decrypt(self, nonce, sealed, aad=b""):
        """The inverse of encrypt; ValueError when the tag does not match."""
        if len(sealed) < 16:
            raise ValueError("shorter than a tag")
        j0 = self._j0(nonce)
        ciphertext, tag = bytes(sealed[:-16]), bytes(sealed[-16:])
        if not hmac.compare_digest(self._tag(j0, bytes(aad), ciphertext), tag):
            raise ValueError("GCM tag mismatch")
        return self._ctr(j0, ciphertext)
