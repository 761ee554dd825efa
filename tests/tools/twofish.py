"""Twofish with a 256-bit key, encryption only, in plain Python.

Written from the Twofish paper (Schneier et al., 1998) for the independent
archive writer: GCM needs only the forward direction. Words are read and
written little-endian, as the paper specifies. Clarity comes first; the
key-dependent S-boxes are folded with the MDS matrix into four tables when
the key is set, which keeps a block at a few dozen table look-ups.
"""

MASK32 = 0xFFFFFFFF


def _rol(x, n):
    return ((x << n) | (x >> (32 - n))) & MASK32


def _ror(x, n):
    return ((x >> n) | (x << (32 - n))) & MASK32


# The 4-bit permutations t0..t3 that make up q0 and q1.
_Q_TABLES = {
    0: ([0x8, 0x1, 0x7, 0xD, 0x6, 0xF, 0x3, 0x2, 0x0, 0xB, 0x5, 0x9, 0xE, 0xC, 0xA, 0x4],
        [0xE, 0xC, 0xB, 0x8, 0x1, 0x2, 0x3, 0x5, 0xF, 0x4, 0xA, 0x6, 0x7, 0x0, 0x9, 0xD],
        [0xB, 0xA, 0x5, 0xE, 0x6, 0xD, 0x9, 0x0, 0xC, 0x8, 0xF, 0x3, 0x2, 0x4, 0x7, 0x1],
        [0xD, 0x7, 0xF, 0x4, 0x1, 0x2, 0x6, 0xE, 0x9, 0xB, 0x3, 0x0, 0x8, 0x5, 0xC, 0xA]),
    1: ([0x2, 0x8, 0xB, 0xD, 0xF, 0x7, 0x6, 0xE, 0x3, 0x1, 0x9, 0x4, 0x0, 0xA, 0xC, 0x5],
        [0x1, 0xE, 0x2, 0xB, 0x4, 0xC, 0x3, 0x7, 0x6, 0xD, 0xA, 0x5, 0xF, 0x9, 0x0, 0x8],
        [0x4, 0xC, 0x7, 0x5, 0x1, 0x6, 0x9, 0xA, 0x0, 0xE, 0xD, 0x8, 0x2, 0xB, 0x3, 0xF],
        [0xB, 0x9, 0x5, 0x1, 0xC, 0x3, 0xD, 0xE, 0x6, 0x4, 0x7, 0xF, 0x2, 0x0, 0x8, 0xA]),
}


def _ror4(x, n):
    return ((x >> n) | (x << (4 - n))) & 0xF


def _q(t, x):
    t0, t1, t2, t3 = t
    a, b = x >> 4, x & 0xF
    a, b = a ^ b, a ^ _ror4(b, 1) ^ ((8 * a) & 0xF)
    a, b = t0[a], t1[b]
    a, b = a ^ b, a ^ _ror4(b, 1) ^ ((8 * a) & 0xF)
    a, b = t2[a], t3[b]
    return (b << 4) | a


Q0 = [_q(_Q_TABLES[0], x) for x in range(256)]
Q1 = [_q(_Q_TABLES[1], x) for x in range(256)]


def _gf_mul(a, b, poly):
    """a * b in GF(2^8) modulo the degree-8 polynomial `poly`."""
    product = 0
    while b:
        if b & 1:
            product ^= a
        a <<= 1
        if a & 0x100:
            a ^= poly
        b >>= 1
    return product


MDS_POLY = 0x169  # x^8 + x^6 + x^5 + x^3 + 1
RS_POLY = 0x14D   # x^8 + x^6 + x^3 + x^2 + 1

MDS = [[0x01, 0xEF, 0x5B, 0x5B],
       [0x5B, 0xEF, 0xEF, 0x01],
       [0xEF, 0x5B, 0x01, 0xEF],
       [0xEF, 0x01, 0xEF, 0x5B]]

RS = [[0x01, 0xA4, 0x55, 0x87, 0x5A, 0x58, 0xDB, 0x9E],
      [0xA4, 0x56, 0x82, 0xF3, 0x1E, 0xC6, 0x68, 0xE5],
      [0x02, 0xA1, 0xFC, 0xC1, 0x47, 0xAE, 0x3D, 0x19],
      [0xA4, 0x55, 0x87, 0x5A, 0x58, 0xDB, 0x9E, 0x03]]


def _bytes_of(word):
    return [(word >> (8 * i)) & 0xFF for i in range(4)]


def _word_of(bs):
    return bs[0] | (bs[1] << 8) | (bs[2] << 16) | (bs[3] << 24)


def _mds_column(i, y):
    """Column i of the MDS matrix times the byte y, as a little-endian word."""
    return _word_of([_gf_mul(MDS[row][i], y, MDS_POLY) for row in range(4)])


def _sbox_chain(i, x, key_words):
    """The q-permutations and key XORs that byte i of h's input goes through
    for a 256-bit key; key_words = (L0, L1, L2, L3)."""
    l0, l1, l2, l3 = (_bytes_of(w) for w in key_words)
    # Stage for k = 4, then k >= 3, then the two stages every key size has.
    x = (Q1, Q0, Q0, Q1)[i][x] ^ l3[i]
    x = (Q1, Q1, Q0, Q0)[i][x] ^ l2[i]
    x = (Q0, Q1, Q0, Q1)[i][x] ^ l1[i]
    x = (Q0, Q0, Q1, Q1)[i][x] ^ l0[i]
    return (Q1, Q0, Q1, Q0)[i][x]


def _h(x, key_words):
    y = _bytes_of(x)
    z = 0
    for i in range(4):
        z ^= _mds_column(i, _sbox_chain(i, y[i], key_words))
    return z


class Twofish:
    block_size = 16

    def __init__(self, key):
        if len(key) != 32:
            raise ValueError("Twofish here takes a 256-bit key")
        m = [_word_of(key[4 * i:4 * i + 4]) for i in range(8)]
        even, odd = m[0::2], m[1::2]
        # S: the Reed-Solomon code of each 8-byte half, in reverse order.
        s = []
        for i in range(4):
            chunk = key[8 * i:8 * i + 8]
            s.append(_word_of([
                _xor_all(_gf_mul(RS[row][col], chunk[col], RS_POLY) for col in range(8)) for row in range(4)]))
        s.reverse()
        rho = 0x01010101
        self.k = []
        for i in range(20):
            a = _h(2 * i * rho, even)
            b = _rol(_h((2 * i + 1) * rho, odd), 8)
            self.k.append((a + b) & MASK32)
            self.k.append(_rol((a + 2 * b) & MASK32, 9))
        # g(X) = h(X, S) as four tables, one per input byte.
        self.g_tables = [[_mds_column(i, _sbox_chain(i, x, s)) for x in range(256)] for i in range(4)]

    def _g(self, x):
        t = self.g_tables
        return t[0][x & 0xFF] ^ t[1][(x >> 8) & 0xFF] ^ t[2][(x >> 16) & 0xFF] ^ t[3][x >> 24]

    def encrypt_block(self, block):
        if len(block) != 16:
            raise ValueError("a Twofish block is 16 bytes")
        k = self.k
        r = [_word_of(block[4 * i:4 * i + 4]) ^ k[i] for i in range(4)]
        for rnd in range(16):
            t0 = self._g(r[0])
            t1 = self._g(_rol(r[1], 8))
            f0 = (t0 + t1 + k[2 * rnd + 8]) & MASK32
            f1 = (t0 + 2 * t1 + k[2 * rnd + 9]) & MASK32
            r = [_ror(r[2] ^ f0, 1), _rol(r[3], 1) ^ f1, r[0], r[1]]
        # Undo the last swap, then output whitening.
        out = [r[2], r[3], r[0], r[1]]
        return b"".join(bytes(_bytes_of(out[i] ^ k[4 + i])) for i in range(4))


def _xor_all(values):
    result = 0
    for v in values:
        result ^= v
    return result
