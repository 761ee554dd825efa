// The frame ciphers: known-answer vectors per layer, frames of every mode
// against payloads built without our code, layer order, tampering, lengths.
#include <gtest/gtest.h>
#include <gcrypt.h>

#include <string>
#include <thread>
#include <vector>

#include "core/crypto/aead_layer.h"
#include "core/crypto/frame_cipher.h"
#include "core/error/detail_texts.h"
#include "tests/crypto/vectors.h"

namespace quarn {
namespace {

using Bytes = std::vector<std::uint8_t>;
using crypto::LayerKind;

Bytes hex(std::string_view text) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < text.size(); i += 2)
    out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
  return out;
}

template <std::size_t N>
Bytes bytes(const std::array<std::uint8_t, N>& a) {
  return Bytes(a.begin(), a.end());
}

void expect_not_authentic(const Result<void>& result) {
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind(), ErrorKind::Integrity);
  EXPECT_EQ(result.error().detail(), texts::frame_not_authentic);
}

// Distinct recognisable keys, so a layer given the wrong key fails.
KeySet test_keys() {
  KeySet keys = KeySet::allocate();
  std::uint8_t seed = 1;
  for (SecretBuffer* field : {&keys.header_mac_key, &keys.aes_key, &keys.chacha_key, &keys.twofish_key,
                              &keys.serpent_key}) {
    const auto bytes = field->mutable_view();
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(seed * 31 + i);
    ++seed;
  }
  return keys;
}

// ---- Known-answer vectors of the layers -------------------------------------

struct LayerVector {
  const char* name;
  LayerKind kind;
  const char *key, *nonce, *aad, *plaintext, *ciphertext, *tag;
};

const LayerVector layer_vectors[] = {
    // Test case 16 of the published AES-GCM test vectors (256-bit key, 60-byte text, 20-byte AAD).
    {"AES-256-GCM case 16", LayerKind::Aes256Gcm,
     "feffe9928665731c6d6a8f9467308308feffe9928665731c6d6a8f9467308308", "cafebabefacedbaddecaf888",
     "feedfacedeadbeeffeedfacedeadbeefabaddad2",
     "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6b525b16aedf5aa0de657"
     "ba637b39",
     "522dc1f099567d07f47f37a32a84427d643a8cdcbfe5c0c97598a2bd2555d1aa8cb08e48590dbb3da7b08b1056828838c5f61e6393ba7a0a"
     "bcc9f662",
     "76fc6ece0f4e1768cddf8853bb2d551b"},
    // RFC 8439 section 2.8.2.
    {"ChaCha20-Poly1305 RFC 8439", LayerKind::ChaCha20Poly1305,
     "808182838485868788898a8b8c8d8e8f909192939495969798999a9b9c9d9e9f", "070000004041424344454647",
     "50515253c0c1c2c3c4c5c6c7",
     "4c616469657320616e642047656e746c656d656e206f662074686520636c617373206f66202739393a204966204920636f756c64206f"
     "6666657220796f75206f6e6c79206f6e652074697020666f7220746865206675747572652c2073756e73637265656e20776f756c642062"
     "652069742e",
     "d31a8d34648e60db7b86afbc53ef7ec2a4aded51296e08fea9e2b5a736ee62d63dbea45e8ca9671282fafb69da92728b1a71de0a9e060b"
     "2905d6a5b67ecd3b3692ddbd7f2d778b8c9803aee328091b58fab324e4fad675945585808b4831d7bc3ff4def08e4b7a9de576d26586cec6"
     "4b6116",
     "1ae10b594f09e26a7e902ecbd0600691"},
};

void PrintTo(const LayerVector& v, std::ostream* out) {
  *out << (v.kind == LayerKind::Aes256Gcm ? "Aes256Gcm" : "ChaCha20Poly1305");
}

class LayerVectorTest : public ::testing::TestWithParam<LayerVector> {};

TEST_P(LayerVectorTest, SealsAndOpensToTheKnownAnswer) {
  const LayerVector& v = GetParam();
  const Bytes key = hex(v.key), nonce = hex(v.nonce), aad = hex(v.aad), expected_text = hex(v.ciphertext);
  const Bytes expected_tag = hex(v.tag);
  crypto::AeadLayer layer(v.kind, std::span<const std::uint8_t, 32>(key.data(), 32));
  const std::span<const std::uint8_t, 12> nonce12(nonce.data(), 12);

  Bytes data = hex(v.plaintext);
  std::array<std::uint8_t, 16> tag{};
  layer.seal(nonce12, aad, data, tag);
  EXPECT_EQ(data, expected_text);
  EXPECT_EQ(bytes(tag), expected_tag);

  data = expected_text;
  ASSERT_TRUE(layer.open(nonce12, aad, data, std::span<const std::uint8_t, 16>(expected_tag.data(), 16)));
  EXPECT_EQ(data, hex(v.plaintext));

  // The same vector with its last tag bit flipped must be refused, and what
  // was decrypted must not survive.
  Bytes bad_tag = expected_tag;
  bad_tag[15] ^= 0x01;
  data = expected_text;
  EXPECT_FALSE(layer.open(nonce12, aad, data, std::span<const std::uint8_t, 16>(bad_tag.data(), 16)));
  EXPECT_EQ(data, Bytes(data.size(), 0));
}

INSTANTIATE_TEST_SUITE_P(Vectors, LayerVectorTest, ::testing::ValuesIn(layer_vectors),
                         [](const auto& p) {
                           return std::string(p.param.kind == LayerKind::Aes256Gcm ? "Aes256Gcm" : "ChaCha20Poly1305");
                         });

// ---- Frames built independently --------------------------------------------

// One layer sealed with libgcrypt's one-shot calls, apart from AeadLayer.
void gcrypt_seal(int algorithm, int mode, const std::uint8_t* key, std::span<const std::uint8_t> nonce,
                 std::span<const std::uint8_t> aad, Bytes& data) {
  gcry_cipher_hd_t h = nullptr;
  ASSERT_EQ(gcry_cipher_open(&h, algorithm, mode, 0), 0u);
  ASSERT_EQ(gcry_cipher_setkey(h, key, 32), 0u);
  ASSERT_EQ(gcry_cipher_setiv(h, nonce.data(), nonce.size()), 0u);
  ASSERT_EQ(gcry_cipher_authenticate(h, aad.data(), aad.size()), 0u);
  ASSERT_EQ(gcry_cipher_encrypt(h, data.data(), data.size(), nullptr, 0), 0u);
  std::uint8_t tag[16];
  ASSERT_EQ(gcry_cipher_gettag(h, tag, 16), 0u);
  gcry_cipher_close(h);
  data.insert(data.end(), tag, tag + 16);
}

struct OneShotLayer {
  int algorithm, mode;
  const SecretBuffer KeySet::*key;
};
constexpr OneShotLayer aes{GCRY_CIPHER_AES256, GCRY_CIPHER_MODE_GCM, &KeySet::aes_key};
constexpr OneShotLayer chacha{GCRY_CIPHER_CHACHA20, GCRY_CIPHER_MODE_POLY1305, &KeySet::chacha_key};
constexpr OneShotLayer twofish{GCRY_CIPHER_TWOFISH, GCRY_CIPHER_MODE_GCM, &KeySet::twofish_key};
constexpr OneShotLayer serpent{GCRY_CIPHER_SERPENT256, GCRY_CIPHER_MODE_GCM, &KeySet::serpent_key};

// Nonce and associated data written out by hand from the frame layout.
Bytes hand_nonce(std::uint64_t index, std::uint8_t kind) {
  Bytes n(12, 0);
  for (int i = 0; i < 8; ++i) n[i] = static_cast<std::uint8_t>(index >> (8 * i));
  n[8] = kind;
  return n;
}

FrameAad sample_aad(std::uint64_t index = 5, std::uint8_t kind = 1, std::uint32_t stored = 0) {
  std::array<std::uint8_t, 32> digest{};
  for (std::size_t i = 0; i < digest.size(); ++i) digest[i] = static_cast<std::uint8_t>(0xC0 + i);
  return make_frame_aad(digest, kind, 0, index, 4096, stored);
}

Bytes seal_independently(const KeySet& keys, const std::vector<OneShotLayer>& innermost_first,
                         const FrameId& id, const FrameAad& aad, Bytes plaintext) {
  for (const auto& layer : innermost_first)
    gcrypt_seal(layer.algorithm, layer.mode, (keys.*layer.key).view().data(), hand_nonce(id.index, id.kind), aad,
                plaintext);
  return plaintext;
}

TEST(FrameAadTest, FieldsSitWhereTheLayoutSays) {
  std::array<std::uint8_t, 32> digest{};
  digest.fill(0xDD);
  const FrameAad aad = make_frame_aad(digest, 2, 1, 0x0102030405060708ull, 0xA1A2A3A4, 0xB1B2B3B4);
  Bytes expected(32, 0xDD);
  const Bytes tail = hex("0201000008070605040302" "01a4a3a2a1b4b3b2b1");
  expected.insert(expected.end(), tail.begin(), tail.end());
  EXPECT_EQ(bytes(aad), expected);
}

TEST(FrameVectorTest, Mode1And2DecryptPayloadsMadeByAnotherImplementation) {
  using namespace vectors;
  KeySet keys = KeySet::allocate();
  std::copy(frame_aes_key.begin(), frame_aes_key.end(), keys.aes_key.mutable_view().begin());
  std::copy(frame_chacha_key.begin(), frame_chacha_key.end(), keys.chacha_key.mutable_view().begin());
  const FrameId id{frame_index, 1};
  struct Case {
    EncryptionMode mode;
    Bytes payload;
  };
  for (const Case& c : {Case{EncryptionMode::Aes256Gcm, bytes(frame_mode1_payload)},
                        Case{EncryptionMode::ChaCha20Poly1305ThenAes256Gcm, bytes(frame_mode2_payload)}}) {
    SCOPED_TRACE(display_name(c.mode));
    const FrameCipher cipher = build_cipher(c.mode, keys);
    const FrameAad aad = make_frame_aad(frame_header_digest, 1, 0, frame_index, frame_plain_length,
                                        static_cast<std::uint32_t>(c.payload.size()));
    Bytes payload = c.payload;
    ASSERT_TRUE(decrypt_frame(cipher, id, aad, payload).has_value());
    EXPECT_EQ(payload, bytes(frame_plaintext));
    FrameSealer sealer(cipher);
    sealer.seal(id, aad, payload);
    EXPECT_EQ(payload, c.payload);
  }
}

struct ModeCase {
  EncryptionMode mode;
  std::vector<OneShotLayer> innermost_first;
};

const ModeCase mode_cases[] = {
    {EncryptionMode::Aes256Gcm, {aes}},
    {EncryptionMode::ChaCha20Poly1305ThenAes256Gcm, {chacha, aes}},
    {EncryptionMode::Twofish256Gcm, {twofish}},
    {EncryptionMode::Serpent256Gcm, {serpent}},
    {EncryptionMode::SerpentTwofishAes256, {serpent, twofish, aes}},
};

void PrintTo(const ModeCase& c, std::ostream* out) { *out << "Mode" << static_cast<int>(c.mode); }

class FrameModeTest : public ::testing::TestWithParam<ModeCase> {
 protected:
  KeySet keys_ = test_keys();
  FrameCipher cipher_ = build_cipher(GetParam().mode, keys_);
  std::size_t tags_ = tag_overhead(GetParam().mode);
  Bytes plaintext_ = Bytes{'a', 'b', 'c', 0, 0xFF, 'x', 'y', 'z', 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13};
};

TEST_P(FrameModeTest, SealingEqualsLibgcryptOneShotInLayerOrder) {
  const FrameId id{5, 1};
  const FrameAad aad = sample_aad(5, 1, static_cast<std::uint32_t>(plaintext_.size() + tags_));
  const Bytes expected = seal_independently(keys_, GetParam().innermost_first, id, aad, plaintext_);
  Bytes payload = plaintext_;
  FrameSealer(cipher_).seal(id, aad, payload);
  EXPECT_EQ(payload, expected);
  ASSERT_TRUE(decrypt_frame(cipher_, id, aad, payload).has_value());
  EXPECT_EQ(payload, plaintext_);
}

TEST_P(FrameModeTest, EmptyPlaintextIsExactlyTheTags) {
  const FrameId id{0, 2};
  const FrameAad aad = sample_aad(0, 2, static_cast<std::uint32_t>(tags_));
  Bytes payload;
  FrameSealer(cipher_).seal(id, aad, payload);
  EXPECT_EQ(payload.size(), tags_);
  EXPECT_EQ(payload, seal_independently(keys_, GetParam().innermost_first, id, aad, {}));
  ASSERT_TRUE(decrypt_frame(cipher_, id, aad, payload).has_value());
  EXPECT_TRUE(payload.empty());
}

TEST_P(FrameModeTest, PayloadsShorterThanTheirTagsAreRefused) {
  const FrameAad aad = sample_aad();
  for (const std::size_t length : {std::size_t{0}, std::size_t{15}, tags_ - 1}) {
    SCOPED_TRACE(length);
    Bytes payload(length, 0x33);
    expect_not_authentic(decrypt_frame(cipher_, FrameId{5, 1}, aad, payload));
  }
}

TEST_P(FrameModeTest, EveryFlippedPayloadBitIsRefused) {
  const FrameId id{5, 1};
  const FrameAad aad = sample_aad();
  Bytes sealed = plaintext_;
  FrameSealer(cipher_).seal(id, aad, sealed);
  FrameDecryptor decryptor(cipher_);
  for (std::size_t i = 0; i < sealed.size(); ++i) {
    for (const std::uint8_t bit : {std::uint8_t{0x01}, std::uint8_t{0x80}}) {
      Bytes payload = sealed;
      payload[i] ^= bit;
      SCOPED_TRACE(testing::Message() << "byte " << i << " bit " << int(bit));
      expect_not_authentic(decryptor.decrypt(id, aad, payload));
      EXPECT_TRUE(payload.empty());
    }
  }
  Bytes intact = sealed;  // the decryptor still works after all those failures
  ASSERT_TRUE(decryptor.decrypt(id, aad, intact).has_value());
  EXPECT_EQ(intact, plaintext_);
}

TEST_P(FrameModeTest, EveryAssociatedFieldIsAuthenticated) {
  const FrameId id{5, 1};
  const FrameAad aad = sample_aad();
  Bytes sealed = plaintext_;
  FrameSealer(cipher_).seal(id, aad, sealed);
  // Digest, kind, flags, reserved, index, plain_length, stored_length.
  for (const std::size_t at : {0, 31, 32, 33, 34, 35, 36, 43, 44, 47, 48, 51}) {
    FrameAad altered = aad;
    altered[at] ^= 0x04;
    Bytes payload = sealed;
    SCOPED_TRACE(at);
    expect_not_authentic(decrypt_frame(cipher_, id, altered, payload));
  }
}

TEST_P(FrameModeTest, PayloadIsBoundToItsIndexAndKind) {
  const FrameAad aad = sample_aad();
  Bytes at5 = plaintext_, at6 = plaintext_;
  FrameSealer sealer(cipher_);
  sealer.seal(FrameId{5, 1}, aad, at5);
  sealer.seal(FrameId{6, 1}, aad, at6);
  EXPECT_NE(at5, at6);
  Bytes moved = at5;
  expect_not_authentic(decrypt_frame(cipher_, FrameId{6, 1}, aad, moved));
  Bytes as_file_list = at5;
  expect_not_authentic(decrypt_frame(cipher_, FrameId{5, 2}, aad, as_file_list));
}

TEST_P(FrameModeTest, DecryptorsOnSeveralThreadsShareOneCipher) {
  const FrameAad aad = sample_aad();
  std::vector<Bytes> sealed(64, plaintext_);
  FrameSealer sealer(cipher_);
  for (std::size_t i = 0; i < sealed.size(); ++i) sealer.seal(FrameId{i, 1}, aad, sealed[i]);
  std::vector<int> failures(2, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t)
    threads.emplace_back([&, t] {
      FrameDecryptor decryptor(cipher_);
      for (std::size_t i = static_cast<std::size_t>(t); i < sealed.size(); i += 2) {
        Bytes payload = sealed[i];
        if (!decryptor.decrypt(FrameId{i, 1}, aad, payload) || payload != plaintext_) ++failures[t];
      }
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures, (std::vector<int>{0, 0}));
}

INSTANTIATE_TEST_SUITE_P(Modes, FrameModeTest, ::testing::ValuesIn(mode_cases),
                         [](const auto& p) { return "Mode" + std::to_string(static_cast<int>(p.param.mode)); });

// Cascades decrypt the outermost (AES) layer first: payloads layered in any
// other order are refused, whichever layer fails.
TEST(LayerOrderTest, CascadesInAnotherOrderAreRefused) {
  const KeySet keys = test_keys();
  const FrameAad aad = sample_aad();
  struct Case {
    EncryptionMode mode;
    std::vector<OneShotLayer> wrong_order;
  };
  for (const Case& c : {Case{EncryptionMode::ChaCha20Poly1305ThenAes256Gcm, {aes, chacha}},
                        Case{EncryptionMode::SerpentTwofishAes256, {aes, twofish, serpent}},
                        Case{EncryptionMode::SerpentTwofishAes256, {twofish, serpent, aes}}}) {
    SCOPED_TRACE(display_name(c.mode));
    Bytes payload = seal_independently(keys, c.wrong_order, FrameId{5, 1}, aad, {1, 2, 3});
    expect_not_authentic(decrypt_frame(build_cipher(c.mode, keys), FrameId{5, 1}, aad, payload));
    EXPECT_TRUE(payload.empty());
  }
}

TEST(PlainCipherTest, LeavesEveryPayloadUntouched) {
  const FrameCipher cipher = plain_cipher();
  EXPECT_EQ(cipher.mode(), EncryptionMode::None);
  EXPECT_EQ(cipher.layer_count(), 0u);
  for (const Bytes& original : {Bytes{}, Bytes{1}, Bytes(100, 7)}) {
    Bytes payload = original;
    ASSERT_TRUE(decrypt_frame(cipher, FrameId{1, 1}, sample_aad(), payload).has_value());
    EXPECT_EQ(payload, original);
    FrameSealer(cipher).seal(FrameId{1, 1}, sample_aad(), payload);
    EXPECT_EQ(payload, original);
  }
}

TEST(BuildCipherTest, KeepsItsOwnCopiesOfTheKeys) {
  KeySet keys = test_keys();
  const FrameAad aad = sample_aad();
  Bytes payload = {1, 2, 3};
  const FrameCipher cipher = build_cipher(EncryptionMode::SerpentTwofishAes256, keys);
  FrameSealer(cipher).seal(FrameId{5, 1}, aad, payload);
  const Bytes expected = seal_independently(keys, {serpent, twofish, aes}, FrameId{5, 1}, aad, {1, 2, 3});
  keys.release();
  EXPECT_EQ(payload, expected);
  ASSERT_TRUE(decrypt_frame(cipher, FrameId{5, 1}, aad, payload).has_value());
  EXPECT_EQ(payload, (Bytes{1, 2, 3}));
}

}  // namespace
}  // namespace quarn
