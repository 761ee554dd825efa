// CRC-32C, SHA-256 as the output writer feeds it, and key derivation at the
// writer's default Argon2id costs.
#include <benchmark/benchmark.h>

#include <string>

#include "bench/bench_data.h"
#include "core/crypto/hash.h"
#include "core/crypto/key_derivation.h"
#include "core/volumes/crc32c.h"
#include "writer/archive_writer.h"

namespace quarn::bench {
namespace {

template <std::uint32_t (*crc)(std::span<const std::uint8_t>, std::uint32_t)>
void BM_Crc32c(benchmark::State& state) {
  if (crc == crc32c_hardware && !crc32c_hardware_available()) {
    state.SkipWithError("no SSE4.2");
    return;
  }
  const auto data = random_bytes(static_cast<std::size_t>(state.range(0)), 1);
  std::uint32_t c = 0;
  for (auto _ : state) {
    c = crc(data, c);
    benchmark::DoNotOptimize(c);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BM_Crc32c<crc32c_hardware>)->Name("crc32c/hardware")->Arg(4 << 10)->Arg(64 << 10)->Arg(4 << 20);
BENCHMARK(BM_Crc32c<crc32c_portable>)->Name("crc32c/portable")->Arg(4 << 20);

// The output writer hands every frame's plain data (4 MiB at most) to one
// Sha256 per file.
void BM_Sha256(benchmark::State& state) {
  const auto data = random_bytes(static_cast<std::size_t>(state.range(0)), 2);
  crypto::Sha256 hash;
  for (auto _ : state) hash.update(data);
  benchmark::DoNotOptimize(hash.finish());
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BM_Sha256)->Name("sha256/pieces")->Arg(4 << 20)->Arg(64 << 10);

// Argon2id at 256 MiB, 3 passes, 4 lanes on the calling thread, HKDF, the
// header tag and the cipher: what every opening of an archive pays.
void BM_DeriveKeys(benchmark::State& state) {
  const Argon2Params params = writer::default_argon2;
  const std::string password = "correct horse battery staple";
  const auto pw = std::span(reinterpret_cast<const std::uint8_t*>(password.data()), password.size());
  KeyMaterial header;
  header.encrypted = true;
  header.mode = EncryptionMode::Aes256Gcm;
  header.argon2 = params;
  header.version = 2;
  for (std::size_t i = 0; i < header.argon2_salt.size(); ++i) header.argon2_salt[i] = static_cast<std::uint8_t>(i);
  for (std::size_t i = 0; i < header.hkdf_salt.size(); ++i) header.hkdf_salt[i] = static_cast<std::uint8_t>(3 * i);
  header.canonical_bytes = random_bytes(200, 3);
  auto keys = derive_key_set(params, header.argon2_salt, header.hkdf_salt, pw, {});
  if (!keys) {
    state.SkipWithError(keys.error().display().c_str());
    return;
  }
  header.header_tag = header_tag(*keys, header.canonical_bytes);
  const SecretBuffer secret = SecretBuffer::from_bytes(pw);
  for (auto _ : state) {
    auto cipher = derive_keys(header, &secret, SecondFactorOptions{});
    if (!cipher) {
      state.SkipWithError(cipher.error().display().c_str());
      return;
    }
    benchmark::DoNotOptimize(cipher->layer_count());
  }
}
BENCHMARK(BM_DeriveKeys)->Name("derive_keys/262144KiB_3passes_4lanes")->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
}  // namespace quarn::bench
