// One frame through the worker's steps: FrameDecryptor::decrypt in every
// mode and size, and FrameDecoder::decode (CRC, decryption, zstd) on
// text-like, mixed and incompressible blocks.
#include <benchmark/benchmark.h>

#include <string>

#include "bench/bench_data.h"
#include "core/archive/frame.h"
#include "writer/frame_encoder.h"

namespace quarn::bench {
namespace {

void BM_Decrypt(benchmark::State& state) {
  const auto mode = static_cast<EncryptionMode>(state.range(0));
  const auto size = static_cast<std::size_t>(state.range(1)) * MiB;
  const FrameCipher cipher = fixed_cipher(mode);
  const FrameId id{7, 1};
  const FrameAad aad = make_frame_aad(fixed_digest(), 1, 1, 7, static_cast<std::uint32_t>(size),
                                      static_cast<std::uint32_t>(size + cipher.tag_bytes()));
  std::vector<std::uint8_t> sealed = random_bytes(size, 4);
  FrameSealer(cipher).seal(id, aad, sealed);
  FrameDecryptor decryptor(cipher);
  std::vector<std::uint8_t> payload = sealed;
  const bool in_place = mode != EncryptionMode::None;  // mode 0 leaves the payload as it is
  for (auto _ : state) {
    if (in_place) {
      state.PauseTiming();
      payload.assign(sealed.begin(), sealed.end());
      state.ResumeTiming();
    }
    if (!decryptor.decrypt(id, aad, payload)) {
      state.SkipWithError("not authentic");
      return;
    }
  }
  if (in_place) state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
  state.SetLabel(std::string(display_name(mode)));
}
BENCHMARK(BM_Decrypt)
    ->Name("decrypt")
    ->ArgNames({"mode", "MiB"})
    ->ArgsProduct({{0, 1, 2, 3, 4, 5}, {1, 4, 16}})
    ->Unit(benchmark::kMicrosecond);

enum Content { Text, Mixed, Random };

// Frames as the writer makes them (zstd level 3, stored when that does not
// shrink them); decode() takes its frame by value, so each iteration gets a
// copy made outside the timing.
void BM_Decode(benchmark::State& state) {
  const auto mode = static_cast<EncryptionMode>(state.range(0));
  const auto content = static_cast<Content>(state.range(1));
  const std::size_t size = 4 * MiB;
  const auto plain = content == Text ? text_bytes(size, 5) : content == Mixed ? mixed_bytes(size, 5) : random_bytes(size, 5);
  const FrameCipher cipher = fixed_cipher(mode);
  const HeaderDigest digest = fixed_digest();
  writer::FrameEncoder encoder(cipher, digest, 3);
  const Frame frame = encoder.encode(1, 0, plain);
  FrameDecoder decoder(cipher, digest);
  if (!decoder.prepare()) {
    state.SkipWithError("no zstd context");
    return;
  }
  for (auto _ : state) {
    state.PauseTiming();
    Frame copy = frame;
    state.ResumeTiming();
    auto out = decoder.decode(std::move(copy));
    if (!out || out->size() != size) {
      state.SkipWithError("decode failed");
      return;
    }
    benchmark::DoNotOptimize(out->data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
  state.counters["ratio"] = static_cast<double>(size) / static_cast<double>(frame.payload.size());
  state.SetLabel(std::string(display_name(mode)) + (frame.header.stored() ? ", stored" : ", zstd"));
}
BENCHMARK(BM_Decode)
    ->Name("decode")
    ->ArgNames({"mode", "content"})  // content: 0 text-like, 1 mixed 50/50, 2 random
    ->ArgsProduct({{0, 1}, {Text, Mixed, Random}})
    ->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace quarn::bench
