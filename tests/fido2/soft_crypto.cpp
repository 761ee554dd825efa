#include "tests/fido2/soft_crypto.h"

#include <gcrypt.h>

#include <algorithm>
#include <cstdlib>
#include <cstdio>

#include "core/crypto/gcrypt_init.h"

namespace quarn::softkey {
namespace {

constexpr const char* curve = "NIST P-256";

[[noreturn]] void broken(const char* what) {
  std::fprintf(stderr, "soft key: %s failed\n", what);
  std::abort();
}

void check(gcry_error_t error, const char* what) {
  if (error) broken(what);
}

gcry_mpi_t mpi_of(ByteView bytes) {
  gcry_mpi_t value = nullptr;
  check(gcry_mpi_scan(&value, GCRYMPI_FMT_USG, bytes.data(), bytes.size(), nullptr), "gcry_mpi_scan");
  return value;
}

Bytes bytes32(gcry_mpi_t value) {
  Bytes out(32);
  std::size_t written = 0;
  unsigned char buffer[64];
  check(gcry_mpi_print(GCRYMPI_FMT_USG, buffer, sizeof buffer, &written, value), "gcry_mpi_print");
  if (written > 32) broken("a 32-byte number");
  std::copy(buffer, buffer + written, out.begin() + static_cast<std::ptrdiff_t>(32 - written));
  return out;
}

struct Curve {
  gcry_ctx_t context = nullptr;
  Curve() {
    crypto::ensure_gcrypt_initialised();
    check(gcry_mpi_ec_new(&context, nullptr, curve), "gcry_mpi_ec_new");
  }
  ~Curve() { gcry_ctx_release(context); }
  gcry_mpi_t get(const char* name) const { return gcry_mpi_ec_get_mpi(name, context, 1); }
};

// own scalar times a point, as affine coordinates.
std::pair<Bytes, Bytes> multiply(const Curve& c, gcry_mpi_t scalar, gcry_mpi_point_t point) {
  gcry_mpi_point_t product = gcry_mpi_point_new(0);
  gcry_mpi_ec_mul(product, scalar, point, c.context);
  gcry_mpi_t x = gcry_mpi_new(0), y = gcry_mpi_new(0);
  if (gcry_mpi_ec_get_affine(x, y, product, c.context)) broken("point at infinity");
  auto result = std::make_pair(bytes32(x), bytes32(y));
  gcry_mpi_release(x);
  gcry_mpi_release(y);
  gcry_mpi_point_release(product);
  return result;
}

P256Key key_of_scalar(const Curve& c, gcry_mpi_t d) {
  gcry_mpi_point_t g = gcry_mpi_ec_get_point("g", c.context, 1);
  auto [x, y] = multiply(c, d, g);
  gcry_mpi_point_release(g);
  return P256Key{bytes32(d), std::move(x), std::move(y)};
}

// A DER element: tag, one length byte (every element here is short), body.
Bytes der(std::uint8_t tag, ByteView body) {
  return concat({ByteView(&tag, 1), Bytes{static_cast<std::uint8_t>(body.size())}, body});
}

Bytes der_integer(const Bytes& value) {
  auto start = std::find_if(value.begin(), value.end(), [](std::uint8_t b) { return b != 0; });
  Bytes body(start, value.end());
  if (body.empty() || body[0] & 0x80) body.insert(body.begin(), 0);
  return der(0x02, body);
}

Bytes cbc(ByteView key, ByteView iv, ByteView data, bool encrypt) {
  crypto::ensure_gcrypt_initialised();
  if (data.size() % 16 != 0) broken("AES-CBC of a partial block");
  gcry_cipher_hd_t h = nullptr;
  check(gcry_cipher_open(&h, GCRY_CIPHER_AES256, GCRY_CIPHER_MODE_CBC, 0), "gcry_cipher_open");
  check(gcry_cipher_setkey(h, key.data(), key.size()), "gcry_cipher_setkey");
  check(gcry_cipher_setiv(h, iv.data(), iv.size()), "gcry_cipher_setiv");
  Bytes out(data.size());
  if (encrypt) check(gcry_cipher_encrypt(h, out.data(), out.size(), data.data(), data.size()), "AES-CBC");
  else check(gcry_cipher_decrypt(h, out.data(), out.size(), data.data(), data.size()), "AES-CBC");
  gcry_cipher_close(h);
  return out;
}

}  // namespace

Bytes bytes_of(std::string_view text) { return Bytes(text.begin(), text.end()); }

Bytes concat(std::initializer_list<ByteView> parts) {
  Bytes out;
  for (ByteView part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes random_bytes(std::size_t count) {
  crypto::ensure_gcrypt_initialised();
  Bytes out(count);
  gcry_randomize(out.data(), out.size(), GCRY_STRONG_RANDOM);
  return out;
}

Bytes sha256(ByteView data) {
  crypto::ensure_gcrypt_initialised();
  Bytes out(32);
  gcry_md_hash_buffer(GCRY_MD_SHA256, out.data(), data.data(), data.size());
  return out;
}

Bytes hmac_sha256(ByteView key, ByteView message) {
  crypto::ensure_gcrypt_initialised();
  gcry_md_hd_t h = nullptr;
  check(gcry_md_open(&h, GCRY_MD_SHA256, GCRY_MD_FLAG_HMAC), "gcry_md_open");
  check(gcry_md_setkey(h, key.data(), key.size()), "gcry_md_setkey");
  gcry_md_write(h, message.data(), message.size());
  const unsigned char* value = gcry_md_read(h, GCRY_MD_SHA256);
  Bytes out(value, value + 32);
  gcry_md_close(h);
  return out;
}

Bytes hkdf_sha256(ByteView salt, ByteView input, std::string_view info) {
  const Bytes prk = hmac_sha256(salt, input);
  const Bytes block = concat({bytes_of(info), Bytes{0x01}});
  return hmac_sha256(prk, block);
}

Bytes aes256_cbc_encrypt(ByteView key, ByteView iv, ByteView data) { return cbc(key, iv, data, true); }
Bytes aes256_cbc_decrypt(ByteView key, ByteView iv, ByteView data) { return cbc(key, iv, data, false); }

P256Key P256Key::generate() { return from_seed(random_bytes(40)); }

P256Key P256Key::from_seed(ByteView seed) {
  const Curve c;
  gcry_mpi_t n = c.get("n");
  gcry_mpi_t n_minus_1 = gcry_mpi_new(0);
  gcry_mpi_sub_ui(n_minus_1, n, 1);
  gcry_mpi_t d = mpi_of(seed);
  gcry_mpi_mod(d, d, n_minus_1);
  gcry_mpi_add_ui(d, d, 1);
  P256Key key = key_of_scalar(c, d);
  gcry_mpi_release(d);
  gcry_mpi_release(n_minus_1);
  gcry_mpi_release(n);
  return key;
}

std::optional<Bytes> ecdh_shared_x(const P256Key& own, ByteView x, ByteView y) {
  if (x.size() != 32 || y.size() != 32) return std::nullopt;
  const Curve c;
  gcry_mpi_t px = mpi_of(x), py = mpi_of(y), d = mpi_of(own.d);
  gcry_mpi_point_t peer = gcry_mpi_point_set(nullptr, px, py, GCRYMPI_CONST_ONE);
  std::optional<Bytes> shared;
  if (gcry_mpi_ec_curve_point(peer, c.context)) shared = multiply(c, d, peer).first;
  gcry_mpi_point_release(peer);
  gcry_mpi_release(px);
  gcry_mpi_release(py);
  gcry_mpi_release(d);
  return shared;
}

Bytes ecdsa_sign(const P256Key& key, ByteView message) {
  crypto::ensure_gcrypt_initialised();
  const Bytes digest = sha256(message);
  const Bytes q = concat({Bytes{0x04}, key.x, key.y});
  gcry_sexp_t secret = nullptr, data = nullptr, signature = nullptr;
  check(gcry_sexp_build(&secret, nullptr, "(private-key (ecc (curve %s) (q %b) (d %b)))", curve,
                        static_cast<int>(q.size()), q.data(), static_cast<int>(key.d.size()), key.d.data()),
        "gcry_sexp_build(key)");
  check(gcry_sexp_build(&data, nullptr, "(data (flags raw) (value %b))", static_cast<int>(digest.size()),
                        digest.data()),
        "gcry_sexp_build(data)");
  check(gcry_pk_sign(&signature, data, secret), "gcry_pk_sign");
  Bytes parts[2];
  const char* names[2] = {"r", "s"};
  for (int i = 0; i < 2; ++i) {
    gcry_sexp_t token = gcry_sexp_find_token(signature, names[i], 0);
    gcry_mpi_t value = gcry_sexp_nth_mpi(token, 1, GCRYMPI_FMT_USG);
    parts[i] = bytes32(value);
    gcry_mpi_release(value);
    gcry_sexp_release(token);
  }
  gcry_sexp_release(signature);
  gcry_sexp_release(data);
  gcry_sexp_release(secret);
  return der(0x30, concat({der_integer(parts[0]), der_integer(parts[1])}));
}

}  // namespace quarn::softkey
