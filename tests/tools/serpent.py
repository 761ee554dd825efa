"""Serpent with a 256-bit key, encryption only, in plain Python.

Written from the Serpent paper (Anderson, Biham, Knudsen, 1998) in its
bitslice form, which needs neither the initial nor the final permutation:
the state is four 32-bit words X0..X3, and each 4-bit S-box input is the
same bit position of the four words, X0 giving the least significant bit.

Byte order: the key and each block are read as little-endian 32-bit words,
first word first (key bytes 0..3 are w-8, block bytes 0..3 are X0). This is
libgcrypt's Serpent, the one quarn uses, and the order of the NESSIE test
vectors; the original submission's tables print the same 128- and 256-bit
values as single hex numbers, most significant byte first, so every
one of their byte strings reads reversed here.
"""

MASK32 = 0xFFFFFFFF
PHI = 0x9E3779B9

SBOXES = [
    [3, 8, 15, 1, 10, 6, 5, 11, 14, 13, 4, 2, 7, 0, 9, 12],
    [15, 12, 2, 7, 9, 0, 5, 10, 1, 11, 14, 8, 6, 13, 3, 4],
    [8, 6, 7, 9, 3, 12, 10, 15, 13, 1, 14, 4, 0, 11, 5, 2],
    [0, 15, 11, 8, 12, 9, 6, 3, 13, 1, 2, 4, 10, 7, 5, 14],
    [1, 15, 8, 3, 12, 0, 11, 6, 2, 5, 4, 10, 9, 14, 7, 13],
    [15, 5, 2, 11, 4, 10, 9, 12, 0, 3, 14, 8, 13, 6, 7, 1],
    [7, 2, 12, 5, 8, 4, 6, 11, 14, 9, 1, 15, 13, 3, 10, 0],
    [1, 13, 15, 0, 14, 8, 2, 11, 7, 4, 12, 10, 9, 3, 5, 6],
]


def _rol(x, n):
    return ((x << n) | (x >> (32 - n))) & MASK32


# For each S-box and output bit k, the input values whose image has bit k set.
_IMAGE_BITS = [[[v for v in range(16) if (box[v] >> k) & 1] for k in range(4)] for box in SBOXES]


def _apply_sbox(box, words):
    """S-box `box` on each of the 32 bit positions of the four words: where[v]
    masks the positions whose input nibble is v, and each output word is the
    union of the masks of the values whose image has that bit."""
    x0, x1, x2, x3 = words
    low = [(x0 | x1) ^ MASK32, x0 & ~x1, x1 & ~x0, x0 & x1]          # bits 0-1 = 0, 1, 2, 3
    high = [(x2 | x3) ^ MASK32, x2 & ~x3, x3 & ~x2, x2 & x3]         # bits 2-3 = 0, 1, 2, 3
    where = [low[v & 3] & high[v >> 2] for v in range(16)]
    out = []
    for values in _IMAGE_BITS[box]:
        y = 0
        for v in values:
            y |= where[v]
        out.append(y)
    return out


def _linear_transform(words):
    x0, x1, x2, x3 = words
    x0 = _rol(x0, 13)
    x2 = _rol(x2, 3)
    x1 ^= x0 ^ x2
    x3 ^= x2 ^ ((x0 << 3) & MASK32)
    x1 = _rol(x1, 1)
    x3 = _rol(x3, 7)
    x0 ^= x1 ^ x3
    x2 ^= x3 ^ ((x1 << 7) & MASK32)
    x0 = _rol(x0, 5)
    x2 = _rol(x2, 22)
    return [x0, x1, x2, x3]


def _words(data):
    return [int.from_bytes(data[i:i + 4], "little") for i in range(0, len(data), 4)]


class Serpent:
    block_size = 16

    def __init__(self, key):
        if len(key) != 32:
            raise ValueError("Serpent here takes a 256-bit key")
        # The prekeys w0..w131, preceded by the eight key words w-8..w-1.
        w = _words(key)
        for i in range(132):
            w.append(_rol(w[i] ^ w[i + 3] ^ w[i + 5] ^ w[i + 7] ^ PHI ^ i, 11))
        w = w[8:]
        # Subkey i goes through S-box (3 - i) mod 8.
        self.subkeys = [_apply_sbox((3 - i) % 8, w[4 * i:4 * i + 4]) for i in range(33)]

    def encrypt_block(self, block):
        if len(block) != 16:
            raise ValueError("a Serpent block is 16 bytes")
        x = _words(block)
        for rnd in range(32):
            x = [a ^ b for a, b in zip(x, self.subkeys[rnd])]
            x = _apply_sbox(rnd % 8, x)
            if rnd < 31:
                x = _linear_transform(x)
        x = [a ^ b for a, b in zip(x, self.subkeys[32])]
        return b"".join(v.to_bytes(4, "little") for v in x)
