// The in-process cost of each stage of extraction, on a small archive of the
// end-to-end benchmark's kind (log-uniform file sizes, half the bytes
// text-like, half incompressible), per byte of output: the reader, the
// worker's steps (CRC, decryption, zstd, all of decode), the writer's
// hashing, its writing and file creation, and extract() as a whole.
//
// The tree and its archives are made once, on first use, in a temporary
// folder (QUARN_BENCH_TMP, else the system's) that is removed at exit. Its
// size in MiB is QUARN_BENCH_STAGE_MIB (default 128).
#include <benchmark/benchmark.h>
#include <unistd.h>
#include <zstd.h>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>

#include "bench/bench_data.h"
#include "core/archive/extraction_plan.h"
#include "core/archive/frame.h"
#include "core/archive/load_manifest.h"
#include "core/archive/output_writer.h"
#include "core/crypto/hash.h"
#include "core/crypto/key_derivation.h"
#include "core/pipeline/extract.h"
#include "writer/archive_writer.h"

namespace fs = std::filesystem;

namespace quarn::bench {
namespace {

constexpr const char* password_text = "bench";

std::span<const std::uint8_t> password_bytes() {
  return {reinterpret_cast<const std::uint8_t*>(password_text), std::char_traits<char>::length(password_text)};
}

// prefix, n, suffix. (Written out because GCC 12 warns falsely about
// `"literal" + std::to_string(n)` at -O3.)
std::string numbered(std::string_view prefix, std::uint64_t n, std::string_view suffix = {}) {
  std::string s(prefix);
  s += std::to_string(n);
  s += suffix;
  return s;
}

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "quarn_bench: %s\n", what.c_str());
  std::exit(1);
}

struct OpenArchive {
  fs::path path;
  Header header;
  FrameCipher cipher;
  LoadedManifest loaded;
  std::vector<Frame> frames;  // every data frame, in order
};

class StageData {
 public:
  static StageData& get() {
    static StageData data;
    return data;
  }

  const OpenArchive& archive(EncryptionMode mode) { return archives_.at(mode); }
  std::uint64_t plain_bytes() const { return plain_bytes_; }
  std::size_t files() const { return files_; }
  // The plain data of every frame, in order (from the mode-0 archive).
  const std::vector<std::vector<std::uint8_t>>& plain_frames() const { return plain_frames_; }
  // A destination that has never existed.
  fs::path fresh_destination() { return dir_ / "out" / numbered("o", next_destination_++); }
  const fs::path& dir() const { return dir_; }

  StageData(const StageData&) = delete;
  StageData& operator=(const StageData&) = delete;
  ~StageData() {
    std::error_code ignored;
    fs::remove_all(dir_, ignored);
  }

 private:
  StageData() {
    const char* tmp = std::getenv("QUARN_BENCH_TMP");
    dir_ = (tmp && *tmp ? fs::path(tmp) : fs::temp_directory_path()) / numbered("quarn-stage-", static_cast<std::uint64_t>(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / "out");
    const char* mib = std::getenv("QUARN_BENCH_STAGE_MIB");
    const std::uint64_t total = (mib && *mib ? std::strtoull(mib, nullptr, 10) : 128) * MiB;
    make_tree(dir_ / "in" / "tree", total);
    for (const EncryptionMode mode : {EncryptionMode::None, EncryptionMode::Aes256Gcm,
                                      EncryptionMode::ChaCha20Poly1305ThenAes256Gcm,
                                      EncryptionMode::SerpentTwofishAes256}) {
      archives_.emplace(mode, make_archive(mode));
    }
    const OpenArchive& plain = archives_.at(EncryptionMode::None);
    FrameDecoder decoder(plain.cipher, plain.loaded.digest);
    for (const Frame& f : plain.frames) {
      auto data = decoder.decode(f);
      if (!data) die(data.error().display());
      plain_frames_.push_back(std::move(*data));
    }
  }

  // Sizes log-uniform from 256 B to 4 MiB, text-like and random files
  // taking turns until each kind has half the bytes.
  void make_tree(const fs::path& root, std::uint64_t total) {
    std::mt19937_64 rng(2024);
    std::uniform_real_distribution<double> log_size(std::log(256.0), std::log(4.0 * MiB));
    std::uint64_t left[2] = {total / 2, total - total / 2};
    for (std::size_t i = 0; left[0] + left[1] > 0; ++i) {
      const int kind = left[i % 2] > 0 ? static_cast<int>(i % 2) : static_cast<int>(1 - i % 2);
      const auto size = std::min<std::uint64_t>(left[kind], static_cast<std::uint64_t>(std::exp(log_size(rng))));
      left[kind] -= size;
      const auto bytes = kind == 0 ? text_bytes(size, i) : random_bytes(size, i);
      const fs::path folder = root / numbered("d", i % 8);
      fs::create_directories(folder);
      std::ofstream(folder / numbered("f", i, kind == 0 ? ".txt" : ".bin"), std::ios::binary)
          .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
      plain_bytes_ += size;
      ++files_;
    }
  }

  OpenArchive make_archive(EncryptionMode mode) {
    OpenArchive a;
    a.path = dir_ / numbered("mode", static_cast<std::uint64_t>(mode), ".qrn");
    auto tree = writer::gather_inputs({dir_ / "in" / "tree"});
    if (!tree) die(tree.error().display());
    writer::WriterOptions options;
    options.mode = mode;
    options.argon2 = Argon2Params{8, 1, 1};  // key derivation is measured on its own
    auto output = writer::ArchiveOutput::create({a.path});
    if (!output) die(output.error().display());
    const SecretBuffer secret = SecretBuffer::from_bytes(password_bytes());
    if (auto written = writer::write_archive(*tree, options, &secret, *output); !written)
      die(written.error().display());

    auto volumes = VolumeSet::open(a.path);
    if (!volumes) die(volumes.error().display());
    auto header = Header::read(*volumes);
    if (!header) die(header.error().display());
    a.header = std::move(*header);
    auto cipher = derive_keys(key_material(a.header), &secret, SecondFactorOptions{});
    if (!cipher) die(cipher.error().display());
    a.cipher = std::move(*cipher);
    auto loaded = load_manifest(*volumes, a.header, a.cipher);
    if (!loaded) die(loaded.error().display());
    a.loaded = std::move(*loaded);
    a.frames = read_all(a);
    return a;
  }

 public:
  static std::vector<Frame> read_all(const OpenArchive& a) {
    auto volumes = VolumeSet::open(a.path);
    if (!volumes) die(volumes.error().display());
    DataFrameReader reader(std::move(*volumes), a.header, a.loaded.manifest.data_frames, a.loaded.filelist_offset);
    std::vector<Frame> frames;
    for (;;) {
      auto frame = reader.next();
      if (!frame) die(frame.error().display());
      if (!*frame) return frames;
      frames.push_back(std::move(**frame));
    }
  }

 private:
  fs::path dir_;
  std::uint64_t plain_bytes_ = 0;
  std::size_t files_ = 0;
  std::map<EncryptionMode, OpenArchive> archives_;
  std::vector<std::vector<std::uint8_t>> plain_frames_;
  std::uint64_t next_destination_ = 0;
};

void per_output_byte(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * StageData::get().plain_bytes()));
}

// Reader thread: DataFrameReader over the archive in the page cache, a
// fresh payload buffer per frame as it allocates them.
void BM_StageRead(benchmark::State& state) {
  const OpenArchive& a = StageData::get().archive(EncryptionMode::Aes256Gcm);
  for (auto _ : state) {
    auto volumes = VolumeSet::open(a.path);
    DataFrameReader reader(std::move(*volumes), a.header, a.loaded.manifest.data_frames, a.loaded.filelist_offset);
    for (;;) {
      auto frame = reader.next();
      if (!frame) {
        state.SkipWithError("read failed");
        return;
      }
      if (!*frame) break;
      benchmark::DoNotOptimize((*frame)->payload.data());
    }
  }
  per_output_byte(state);
}
BENCHMARK(BM_StageRead)->Name("stage/read")->Unit(benchmark::kMillisecond);

void BM_StageCrc(benchmark::State& state) {
  const OpenArchive& a = StageData::get().archive(EncryptionMode::Aes256Gcm);
  for (auto _ : state)
    for (const Frame& f : a.frames)
      if (frame_crc(f.header, f.payload) != f.header.crc) state.SkipWithError("crc");
  per_output_byte(state);
}
BENCHMARK(BM_StageCrc)->Name("stage/crc")->Unit(benchmark::kMillisecond);

// Decryption alone over every frame of the archive, on copies made outside the timing.
void BM_StageDecrypt(benchmark::State& state) {
  const OpenArchive& a = StageData::get().archive(static_cast<EncryptionMode>(state.range(0)));
  FrameDecryptor decryptor(a.cipher);
  std::vector<std::vector<std::uint8_t>> work(a.frames.size());
  for (auto _ : state) {
    state.PauseTiming();
    for (std::size_t i = 0; i < work.size(); ++i) work[i].assign(a.frames[i].payload.begin(), a.frames[i].payload.end());
    state.ResumeTiming();
    for (std::size_t i = 0; i < work.size(); ++i) {
      const FrameHeader& h = a.frames[i].header;
      if (!decryptor.decrypt(h.id(), h.aad(a.loaded.digest), work[i])) state.SkipWithError("not authentic");
    }
  }
  per_output_byte(state);
}
BENCHMARK(BM_StageDecrypt)->Name("stage/decrypt")->ArgName("mode")->Arg(1)->Arg(2)->Arg(5)->Unit(benchmark::kMillisecond);

// zstd alone: the compressed frames into one reused buffer.
void BM_StageZstd(benchmark::State& state) {
  const OpenArchive& a = StageData::get().archive(EncryptionMode::None);
  ZSTD_DCtx* dctx = ZSTD_createDCtx();
  std::vector<std::uint8_t> out(a.header.block_size);
  for (auto _ : state) {
    for (const Frame& f : a.frames) {
      if (f.header.stored()) continue;
      const std::size_t n = ZSTD_decompressDCtx(dctx, out.data(), out.size(), f.payload.data(), f.payload.size());
      if (ZSTD_isError(n) || n != f.header.plain_length) state.SkipWithError("zstd");
    }
  }
  ZSTD_freeDCtx(dctx);
  per_output_byte(state);
}
BENCHMARK(BM_StageZstd)->Name("stage/zstd")->Unit(benchmark::kMillisecond);

// A worker's whole step: FrameDecoder::decode (CRC, decryption, zstd into a
// new buffer) on copies of the frames made outside the timing.
void BM_StageDecode(benchmark::State& state) {
  const OpenArchive& a = StageData::get().archive(static_cast<EncryptionMode>(state.range(0)));
  FrameDecoder decoder(a.cipher, a.loaded.digest);
  if (!decoder.prepare()) state.SkipWithError("no zstd context");
  for (auto _ : state) {
    state.PauseTiming();
    std::vector<Frame> work = a.frames;
    state.ResumeTiming();
    for (Frame& f : work) {
      auto plain = decoder.decode(std::move(f));
      if (!plain) state.SkipWithError("decode");
      benchmark::DoNotOptimize(plain->data());
    }
  }
  per_output_byte(state);
}
BENCHMARK(BM_StageDecode)->Name("stage/decode")->ArgName("mode")->Arg(0)->Arg(1)->Arg(2)->Arg(5)->Unit(benchmark::kMillisecond);

// The writer's hashing: one Sha256 per file fed frame by frame.
void BM_StageHash(benchmark::State& state) {
  const auto& frames = StageData::get().plain_frames();
  for (auto _ : state) {
    for (const auto& data : frames) {
      crypto::Sha256 hash;
      hash.update(data);
      benchmark::DoNotOptimize(hash.finish());
    }
  }
  per_output_byte(state);
}
BENCHMARK(BM_StageHash)->Name("stage/hash")->Unit(benchmark::kMillisecond);

// ExtractionPlan for the verify-only writer: the file order, no paths.
ExtractionPlan order_only_plan(const std::vector<Entry>& entries) {
  ExtractionPlan plan;
  plan.output_paths.resize(entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i)
    if (entries[i].kind == EntryKind::File) plan.file_order.push_back(i);
  return plan;
}

// The calling thread's writer: OutputWriter over every frame in order, into
// a fresh destination planned outside the timing (verify_only: hashing and
// bookkeeping only). Files per second is the rate of file creation.
void BM_StageOutput(benchmark::State& state) {
  StageData& data = StageData::get();
  const bool verify_only = state.range(0) != 0;
  const auto& entries = data.archive(EncryptionMode::None).loaded.manifest.entries;
  const auto& frames = data.plain_frames();
  for (auto _ : state) {
    state.PauseTiming();
    const fs::path destination = data.fresh_destination();
    ExtractionPlan plan = order_only_plan(entries);
    if (!verify_only) {
      fs::create_directories(destination);
      auto planned = plan_extraction(destination, entries);
      if (!planned) {
        state.SkipWithError(planned.error().display().c_str());
        return;
      }
      plan = std::move(*planned);
    }
    state.ResumeTiming();
    OutputWriter writer(plan, entries, std::nullopt, verify_only);
    bool ok = writer.open_next_file().has_value();
    for (const auto& f : frames) ok = ok && writer.write_frame_data(f).has_value();
    ok = ok && writer.check_complete().has_value();
    writer.finish_directories();
    if (!ok || writer.report().files_verified != data.files()) state.SkipWithError("writer failed");
    state.PauseTiming();
    std::error_code ignored;
    fs::remove_all(destination, ignored);
    state.ResumeTiming();
  }
  per_output_byte(state);
  state.counters["files"] = benchmark::Counter(static_cast<double>(state.iterations() * data.files()),
                                               benchmark::Counter::kIsRate);
}
BENCHMARK(BM_StageOutput)->Name("stage/output")->ArgName("verify_only")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// File creation alone: 2000 files of 64 bytes through OutputWriter.
void BM_StageCreateFiles(benchmark::State& state) {
  StageData& data = StageData::get();
  constexpr std::size_t count = 2000;
  const std::vector<std::uint8_t> content(64, 'q');
  const std::string digest = sha256_hex(crypto::sha256(content));
  std::vector<Entry> entries;
  Entry folder;
  folder.path = "many";
  folder.kind = EntryKind::Dir;
  entries.push_back(folder);
  for (std::size_t i = 0; i < count; ++i) {
    Entry e;
    e.path = numbered("many/f", i);
    e.size = content.size();
    e.modified = platform::unix_epoch_ticks + 17'000'000'000'000'000ull;
    e.sha256 = digest;
    e.first_frame = i;
    e.frames = 1;
    entries.push_back(std::move(e));
  }
  for (auto _ : state) {
    state.PauseTiming();
    const fs::path destination = data.fresh_destination();
    fs::create_directories(destination);
    auto plan = plan_extraction(destination, entries);
    if (!plan) {
      state.SkipWithError(plan.error().display().c_str());
      return;
    }
    state.ResumeTiming();
    OutputWriter writer(*plan, entries, std::nullopt, false);
    bool ok = writer.open_next_file().has_value();
    for (std::size_t i = 0; i < count; ++i) ok = ok && writer.write_frame_data(content).has_value();
    if (!ok || writer.report().files_verified != count) state.SkipWithError("writer failed");
    state.PauseTiming();
    std::error_code ignored;
    fs::remove_all(destination, ignored);
    state.ResumeTiming();
  }
  state.counters["files"] = benchmark::Counter(static_cast<double>(state.iterations() * count),
                                               benchmark::Counter::kIsRate);
}
BENCHMARK(BM_StageCreateFiles)->Name("stage/create_files")->Unit(benchmark::kMillisecond);

// The file list of 100,000 small files in 1,000 folders, as the writer
// stores it, in compact JSON.
const std::string& many_files_list() {
  static const std::string text = [] {
    std::string out = R"({"format":"quarn","version":1,"created_unix":1700000000,"tool":"bench","data_frames":100000,)"
                      R"("total_size":51200000,"entries":[)";
    out += R"({"path":"tree","kind":"dir","size":0},)";
    for (std::size_t i = 0; i < 100'000; ++i) {
      if (i % 100 == 0) out += numbered(R"({"path":"tree/d)", i / 100, R"(","kind":"dir","size":0},)");
      out += numbered(R"({"path":"tree/d)", i / 100, "/p");
      out += numbered("", i, R"(.txt","kind":"file","size":512,"attributes":32,"created":0,)");
      out += R"("modified":133000000000000000,"sha256":")" + std::string(64, 'a');
      out += numbered(R"(","first_frame":)", i, R"(,"frames":1,"offset":0},)");
    }
    out.back() = ']';
    return out + "}";
  }();
  return text;
}

// Reading that file list, and planning its extraction into an empty folder:
// what extraction does before its first file.
void BM_FileList(benchmark::State& state) {
  const bool plan = state.range(0) != 0;
  const std::string& text = many_files_list();
  const auto parsed = parse_manifest(text);
  if (!parsed) die(parsed.error().display());
  const fs::path destination = fs::temp_directory_path() / numbered("quarn-bench-plan-", ::getpid());
  fs::create_directories(destination);
  for (auto _ : state) {
    if (plan) {
      auto planned = plan_extraction(destination, parsed->entries);
      if (!planned) state.SkipWithError(planned.error().display().c_str());
      benchmark::DoNotOptimize(planned);
      state.PauseTiming();
      std::error_code ignored;
      fs::remove_all(destination / "tree", ignored);
      state.ResumeTiming();
    } else {
      auto manifest = parse_manifest(text);
      if (!manifest) state.SkipWithError(manifest.error().display().c_str());
      benchmark::DoNotOptimize(manifest);
    }
  }
  std::error_code ignored;
  fs::remove_all(destination, ignored);
  state.counters["entries"] =
      benchmark::Counter(static_cast<double>(state.iterations() * parsed->entries.size()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_FileList)->Name("file_list")->ArgName("plan")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

// extract() as a whole, in wall-clock time, with the given worker count;
// its CPU time is that of every thread of the process.
void BM_Extract(benchmark::State& state) {
  StageData& data = StageData::get();
  const OpenArchive& a = data.archive(static_cast<EncryptionMode>(state.range(0)));
  const HeaderDigest digest = a.loaded.digest;
  ExtractOptions options;
  options.workers = static_cast<unsigned>(state.range(1));
  options.verify_only = state.range(2) != 0;
  const std::atomic<bool> cancel{false};
  for (auto _ : state) {
    state.PauseTiming();
    const fs::path destination = data.fresh_destination();
    state.ResumeTiming();
    const ArchiveSource source{a.path, a.header, digest, a.cipher, a.loaded.manifest, a.loaded.filelist_offset};
    auto report = extract(source, destination, cancel, options);
    if (!report || report->files_verified != data.files()) state.SkipWithError("extract failed");
    state.PauseTiming();
    std::error_code ignored;
    fs::remove_all(destination, ignored);
    state.ResumeTiming();
  }
  per_output_byte(state);
}
BENCHMARK(BM_Extract)
    ->Name("extract")
    ->ArgNames({"mode", "workers", "verify_only"})
    ->ArgsProduct({{0, 1, 2, 5}, {1, 2}, {0, 1}})
    ->MeasureProcessCPUTime()  // the CPU column: all threads
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace quarn::bench
