#!/usr/bin/env python3
"""The independent writer's own Twofish, Serpent and GCM against published
vectors, so that an archive it makes is evidence about the C++ reader and
not about a shared mistake. GCM is proven over AES (python3-cryptography's
block cipher), apart from the two new block ciphers.

Run with Debian's /usr/bin/python3 (python3-cryptography)."""

import pathlib
import random
import sys
import unittest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from gcm import GCM  # noqa: E402
from serpent import Serpent  # noqa: E402
from twofish import Twofish  # noqa: E402

h = bytes.fromhex


class TwofishTest(unittest.TestCase):
    # Twofish paper (Schneier, Kelsey, Whiting, Wagner, Hall, Ferguson, 1998),
    # its 256-bit key test vector.
    def test_paper_vector(self):
        key = h("0123456789ABCDEFFEDCBA987654321000112233445566778899AABBCCDDEEFF")
        self.assertEqual(Twofish(key).encrypt_block(bytes(16)), h("37527BE0052334B89F0CFCCAE87CFA20"))

    # The iterated table of the submission's ecb_tbl.txt, KEYSIZE=256: I=1
    # starts from a zero key and block, each next plaintext is the previous
    # ciphertext and each next key is the previous plaintext followed by the
    # first half of the previous key.
    def test_iterated_table(self):
        rows = {
            1: ("00" * 32, "00" * 16, "57FF739D4DC92C1BD7FC01700CC8216F"),
            2: ("00" * 32, "57FF739D4DC92C1BD7FC01700CC8216F", "D43BB7556EA32E46F2A282B7D45B4E0D"),
            3: ("57FF739D4DC92C1BD7FC01700CC8216F" + "00" * 16, "D43BB7556EA32E46F2A282B7D45B4E0D",
                "90AFE91BB288544F2C32DC239B2635E6"),
        }
        key, plain = bytes(32), bytes(16)
        for i in range(1, 50):
            cipher = Twofish(key).encrypt_block(plain)
            if i in rows:
                self.assertEqual((key, plain, cipher), tuple(h(v) for v in rows[i]), "I=%d" % i)
            key, plain = plain + key[:16], cipher
        self.assertEqual(cipher, h("37FE26FF1CF66175F5DDF4C33B97A205"), "I=49")

    def test_refuses_other_sizes(self):
        with self.assertRaises(ValueError):
            Twofish(bytes(16))
        with self.assertRaises(ValueError):
            Twofish(bytes(32)).encrypt_block(bytes(15))


class SerpentTest(unittest.TestCase):
    # Serpent's byte order: libgcrypt's Serpent (quarn's, through
    # GCRY_CIPHER_SERPENT256) gives, for the all-zero key and block,
    # 49672BA8...45491089, which is the NESSIE vector below, while the
    # original submission's tables print every value as one big-endian
    # number, so their strings are these bytes reversed. The vectors here are
    # therefore NESSIE's (Serpent, 256-bit key, test vectors of the NESSIE
    # submission), byte for byte.
    NESSIE = [
        # Set 1, vector# 0: key bit 0 set.
        ("80" + "00" * 31, "00" * 16, "A223AA1288463C0E2BE38EBD825616C0"),
        # Set 3, vector# 0: key and plaintext zero.
        ("00" * 32, "00" * 16, "49672BA898D98DF95019180445491089"),
        # Set 4, vectors# 0 and 1.
        ("000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F",
         "00112233445566778899AABBCCDDEEFF", "2868B7A2D28ECD5E4FDEFAC3C4330074"),
        ("2BD6459F82C5B300952C49104881FF482BD6459F82C5B300952C49104881FF48",
         "EA024714AD5C4D84EA024714AD5C4D84", "3E507730776B93FDEA661235E1DD99F0"),
    ]

    def test_nessie_vectors(self):
        for key, plain, cipher in self.NESSIE:
            with self.subTest(key=key, plain=plain):
                self.assertEqual(Serpent(h(key)).encrypt_block(h(plain)), h(cipher))

    def test_libgcrypt_self_test_vector(self):
        # The 256-bit case of libgcrypt's own Serpent self-test.
        self.assertEqual(Serpent(bytes(32)).encrypt_block(h("D095576FCEA3E3A7ED98D9F29073D78E")),
                         h("B90EE5862DE69168F2BDD5125B45472B"))

    def test_refuses_other_sizes(self):
        with self.assertRaises(ValueError):
            Serpent(bytes(16))
        with self.assertRaises(ValueError):
            Serpent(bytes(32)).encrypt_block(bytes(17))


class _Aes:
    """AES as a bare block cipher, from python3-cryptography."""

    block_size = 16

    def __init__(self, key):
        from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes
        self.encryptor = Cipher(algorithms.AES(key), modes.ECB()).encryptor()

    def encrypt_block(self, block):
        assert len(block) == 16
        return self.encryptor.update(block)


class GcmTest(unittest.TestCase):
    # McGrew and Viega, "The Galois/Counter Mode of Operation (GCM)", the
    # revised submission to NIST, appendix B: test cases 13 to 16 (AES-256).
    K0 = "00" * 32
    K1 = "feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308"
    P64 = ("d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a72"
           "1c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657ba637b391aafd255")
    C64 = ("522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa"
           "8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0abcc9f662898015ad")
    CASES = [
        (13, K0, "00" * 12, "", "", "", "530f8afbc74536b9a963b4f1c4cb738b"),
        (14, K0, "00" * 12, "00" * 16, "", "cea7403d4d606b6e074ec5d3baf39d18", "d0d1c8a799996bf0265b98b5d48ab919"),
        (15, K1, "cafebabefacedbaddecaf888", P64, "", C64, "b094dac5d93471bdec1a502270e3cc6c"),
        (16, K1, "cafebabefacedbaddecaf888", P64[:120], "feedfacedeadbeeffeedfacedeadbeefabaddad2", C64[:120],
         "76fc6ece0f4e1768cddf8853bb2d551b"),
    ]

    def test_published_aes_256_cases(self):
        for number, key, nonce, plain, aad, cipher, tag in self.CASES:
            with self.subTest(case=number):
                gcm = GCM(_Aes(h(key)))
                self.assertEqual(gcm.encrypt(h(nonce), h(plain), h(aad)), h(cipher + tag))
                self.assertEqual(gcm.decrypt(h(nonce), h(cipher + tag), h(aad)), h(plain))

    def test_agrees_with_python_cryptography(self):
        from cryptography.hazmat.primitives.ciphers.aead import AESGCM
        rng = random.Random(20250520)
        # Partial and whole blocks of text and associated data; 52 bytes is a
        # frame's associated data.
        for length in (0, 1, 15, 16, 17, 31, 32, 33, 255, 4101):
            for aad_length in (0, 1, 16, 17, 52):
                key, nonce = rng.randbytes(32), rng.randbytes(12)
                plain, aad = rng.randbytes(length), rng.randbytes(aad_length)
                with self.subTest(length=length, aad=aad_length):
                    self.assertEqual(GCM(_Aes(key)).encrypt(nonce, plain, aad),
                                     AESGCM(key).encrypt(nonce, plain, aad))

    def test_decrypt_rejects_any_changed_byte(self):
        rng = random.Random(7)
        key, nonce, plain, aad = rng.randbytes(32), rng.randbytes(12), rng.randbytes(40), rng.randbytes(52)
        for cipher in (_Aes(key), Twofish(key), Serpent(key)):
            gcm = GCM(cipher)
            sealed = gcm.encrypt(nonce, plain, aad)
            self.assertEqual(gcm.decrypt(nonce, sealed, aad), plain)
            for where in (0, 39, 40, 55):  # first and last text byte, first and last tag byte
                changed = bytearray(sealed)
                changed[where] ^= 0x80
                with self.subTest(type(cipher).__name__, where=where), self.assertRaises(ValueError):
                    gcm.decrypt(nonce, bytes(changed), aad)
            with self.assertRaises(ValueError):
                gcm.decrypt(nonce, sealed, aad[:-1] + bytes([aad[-1] ^ 1]))
            with self.assertRaises(ValueError):
                gcm.decrypt(bytes(12), sealed, aad)

    def test_refuses_other_nonce_lengths(self):
        with self.assertRaises(ValueError):
            GCM(_Aes(bytes(32))).encrypt(bytes(16), b"x")


if __name__ == "__main__":
    unittest.main(verbosity=2)
