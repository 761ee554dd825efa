// Frame decoding (FrameDecoder::decode) with fixed keys in every mode: the
// CRC, the decryption layers, Zstandard into a buffer of plain_length bytes
// and the length checks. The target builds and seals the frame itself, so
// that mutations get past the checksum and the authentication to the
// decompression and length checks behind them.
//
// Input: a 24-byte prefix, then the plain bytes P.
//   0      mode (modulo 6)
//   1      bit 0: compress P with Zstandard (else P is the payload as it is)
//          bit 1: set the stored flag
//          bit 2: seal the payload with the mode's layers
//          bit 3: write the correct CRC (else the one from bytes 20-23)
//          bit 4: plain_length = |P| (else from bytes 12-15, at most 1 MiB)
//          bit 5: flip bits of the sealed payload at the position in bytes 16-19
//          bit 6: decode as the file list with a 4 KiB capacity limit
//          bit 7: seal under another header digest
//   2      the other flag bits; bit 0 picks compression level 3 over 1
//   3      kind
//   4-11   index
//   12-15  plain_length
//   16-19  position and mask of the flipped bits
//   20-23  CRC
#include <zstd.h>

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "core/archive/frame.h"
#include "core/crypto/frame_cipher.h"
#include "core/volumes/byte_order.h"
#include "fuzz/support.h"

namespace {

using namespace quarn;
using quarn::fuzz::check;

constexpr std::size_t prefix_size = 24;
constexpr std::uint32_t max_plain = 1u << 20;  // the reader bounds plain_length by the block size
constexpr std::uint32_t file_list_limit = 4096;

struct Fixture {
  std::array<FrameCipher, encryption_mode_count> ciphers;
  std::vector<FrameDecoder> data_decoders;
  std::vector<FrameDecoder> list_decoders;
  HeaderDigest digest{};
  HeaderDigest other_digest{};

  Fixture() {
    KeySet keys = KeySet::allocate();
    std::uint8_t next = 1;
    for (SecretBuffer* key : {&keys.header_mac_key, &keys.aes_key, &keys.chacha_key, &keys.twofish_key,
                              &keys.serpent_key})
      for (std::uint8_t& b : key->mutable_view()) b = next++;
    for (std::size_t i = 0; i < 32; ++i) {
      digest[i] = static_cast<std::uint8_t>(0xA0 + i);
      other_digest[i] = static_cast<std::uint8_t>(0xA0 + i + (i == 31));
    }
    // Decoders live across inputs, as a pipeline worker's does across frames.
    for (std::size_t m = 0; m < encryption_mode_count; ++m) {
      ciphers[m] = build_cipher(static_cast<EncryptionMode>(m), keys);
      data_decoders.emplace_back(ciphers[m], digest, FrameDecoder::Messages::DataFrame);
      list_decoders.emplace_back(ciphers[m], digest, FrameDecoder::Messages::FileList);
    }
  }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < prefix_size) return 0;
  Fixture& fx = fixture();
  const std::size_t mode = data[0] % encryption_mode_count;
  const std::uint8_t ops = data[1];
  const bool compress = ops & 1, stored = ops & 2, seal = ops & 4, fix_crc = ops & 8, true_length = ops & 16,
             tamper = ops & 32, file_list = ops & 64, wrong_digest = ops & 128;
  const std::vector<std::uint8_t> plain(data + prefix_size, data + size);
  const FrameCipher& cipher = fx.ciphers[mode];

  std::vector<std::uint8_t> payload = plain;
  if (compress) {
    payload.resize(ZSTD_compressBound(plain.size()));
    const std::size_t n =
        ZSTD_compress(payload.data(), payload.size(), plain.data(), plain.size(), (data[2] & 1) ? 3 : 1);
    check(!ZSTD_isError(n), "the plain bytes compress");
    payload.resize(n);
  }
  const std::vector<std::uint8_t> inner = payload;

  FrameHeader h;
  h.kind = data[3];
  h.flags = static_cast<std::uint8_t>((data[2] & 0xFE) | (stored ? format::frame_flag_stored : 0));
  h.index = load_le<std::uint64_t>(data + 4);
  h.plain_length = true_length ? static_cast<std::uint32_t>(plain.size()) : load_le<std::uint32_t>(data + 12);
  if (h.plain_length > max_plain) h.plain_length %= max_plain + 1;
  h.stored_length = static_cast<std::uint32_t>(payload.size() + (seal ? cipher.tag_bytes() : 0));
  if (seal) FrameSealer(cipher).seal(h.id(), h.aad(wrong_digest ? fx.other_digest : fx.digest), payload);
  const std::uint32_t flip = load_le<std::uint32_t>(data + 16);
  if (tamper && !payload.empty()) payload[(flip >> 8) % payload.size()] ^= static_cast<std::uint8_t>(flip | 1);
  h.crc = fix_crc ? frame_crc(h, payload) : load_le<std::uint32_t>(data + 20);

  const bool crc_ok = h.crc == frame_crc(h, payload);
  const bool encrypted = cipher.layer_count() > 0;
  const bool authentic = !encrypted || (seal && !tamper && !wrong_digest);
  // The bytes the decompression sees once the layers are off.
  std::vector<std::uint8_t> opened = encrypted ? inner : payload;

  FrameDecoder& decoder = file_list ? fx.list_decoders[mode] : fx.data_decoders[mode];
  const std::uint32_t limit = file_list ? file_list_limit : UINT32_MAX;
  auto out = decoder.decode(Frame{h, payload}, limit);

  if (!crc_ok) {
    check(!out && out.error().kind() == ErrorKind::Corrupt, "a wrong CRC is Corrupt");
    return 0;
  }
  if (!authentic) {
    check(!out && out.error().kind() == ErrorKind::Integrity, "an unauthentic payload is Integrity");
    return 0;
  }
  if (out) check(out->size() == h.plain_length, "success gives exactly plain_length bytes");

  if (stored) {
    check(out.has_value() == (opened.size() == h.plain_length), "a stored frame needs stored = plain length");
    if (out) check(*out == opened, "a stored frame gives its payload");
    return 0;
  }
  const bool intact = compress && (encrypted || !tamper);
  if (intact) {
    const bool fits = h.plain_length == plain.size() && plain.size() <= limit;
    check(out.has_value() == fits, "a compressed frame decodes exactly when its length is right");
    if (out) check(*out == plain, "a compressed frame gives its plain bytes");
    return 0;
  }
  if (out) {
    // Hostile compressed bytes that decoded: Zstandard on its own agrees.
    std::vector<std::uint8_t> again(h.plain_length);
    const std::size_t n = ZSTD_decompress(again.data(), again.size(), opened.data(), opened.size());
    check(!ZSTD_isError(n) && n == h.plain_length && again == *out, "the decoder agrees with Zstandard");
    check(h.plain_length <= limit, "the capacity limit holds");
  }
  return 0;
}
