// Damage sweep over small archives in every encryption mode. Each bit of the
// header, of the footer and of the file-list frame is flipped in turn (the
// file list also with its CRC made to match again), a fixed sample of bits of
// the data frames is flipped (likewise), and the archive is cut at every
// length. Every case runs the reader's whole path: the container, the header,
// the keys, the file list and the pipeline writing into an empty folder.
//
// A case must end in an ArchiveError, or in a success where nothing checks
// the changed byte: reserved bytes, or (mode 0 only, where a CRC is all that
// guards the data) a change whose CRC was made to match. A success must list
// every file whose SHA-256 did not match, and every file it does not list
// must hold exactly the bytes stored at its place in the original archive.
// Nothing may appear outside the destination, no thread may be left behind,
// and a case that takes too long ends the process with its name.
//
// CorruptionSweep runs a representative part of every region; the whole
// sweep is SlowCorruptionSweep (CTest label "slow").
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>

#if !defined(_WIN32)
#include <csignal>
#include <unistd.h>
#endif

#include "core/archive/frame.h"
#include "core/archive/header.h"
#include "core/archive/load_manifest.h"
#include "core/pipeline/extract.h"
#include "core/volumes/byte_order.h"
#include "core/volumes/format.h"
#include "tests/hostile/hostile_support.h"
#include "tests/support/archive_maker.h"
#include "tests/support/temp_dir.h"

namespace quarn {
namespace {

namespace fs = std::filesystem;

constexpr std::uint32_t block = 512;

// ---------------------------------------------------------------------------
// A case that runs too long ends the process; a crash names the case.

char current_case[256] = "(none)";

#if !defined(_WIN32)
extern "C" void name_the_case_and_die(int signal_number) {
  const char prefix[] = "\ncorruption sweep: fatal signal during case: ";
  (void)!::write(2, prefix, sizeof prefix - 1);
  (void)!::write(2, current_case, std::strlen(current_case));
  (void)!::write(2, "\n", 1);
  std::signal(signal_number, SIG_DFL);
  std::raise(signal_number);
}
#endif

class Watchdog {
 public:
  explicit Watchdog(std::chrono::seconds limit) : limit_(limit), thread_([this] { watch(); }) {
#if !defined(_WIN32)
    for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) std::signal(s, name_the_case_and_die);
#endif
  }
  ~Watchdog() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
#if !defined(_WIN32)
    for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) std::signal(s, SIG_DFL);
#endif
  }

  void begin(const std::string& label) {
    std::lock_guard lock(mutex_);
    std::snprintf(current_case, sizeof current_case, "%s", label.c_str());
    started_ = std::chrono::steady_clock::now();
    running_ = true;
  }
  void end() {
    std::lock_guard lock(mutex_);
    running_ = false;
  }

 private:
  void watch() {
    std::unique_lock lock(mutex_);
    while (!stop_) {
      wake_.wait_for(lock, std::chrono::seconds(1));
      if (running_ && std::chrono::steady_clock::now() - started_ > limit_) {
        std::fprintf(stderr, "\ncorruption sweep: case did not finish within %lld s: %s\n",
                     static_cast<long long>(limit_.count()), current_case);
        std::fflush(stderr);
        std::_Exit(3);
      }
    }
  }

  std::chrono::seconds limit_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::chrono::steady_clock::time_point started_;
  bool running_ = false;
  bool stop_ = false;
  std::thread thread_;
};

// ---------------------------------------------------------------------------
// The archives.

// A text file, two empty files, an empty directory, a file of six frames
// (noise that stays stored, then text that compresses) and a short file.
std::map<std::string, std::string> sample_files() {
  std::string big = test::noise(1300, 7);
  for (int i = 0; big.size() < 2900; ++i) big += "wiersz " + std::to_string(i) + " tekstu, ktory sie skompresuje\n";
  std::string text;
  for (int i = 0; i < 12; ++i) text += "Zamawiajacy zleca, a Wykonawca przyjmuje do wykonania dzielo. ";
  return {{"a.txt", text}, {"pusty", ""},       {"d/", ""},         {"d/pusty", ""},
          {"d/duzy.bin", big}, {"e/", ""}, {"z.txt", "zet"}};
}

struct Sample {
  EncryptionMode mode = EncryptionMode::None;
  std::uint16_t version = 2;
  std::vector<std::uint8_t> bytes;
  std::uint64_t header_length = 0;
  std::uint64_t filelist_offset = 0;
  std::vector<std::uint64_t> data_frames;  // offsets of the data frames
  std::vector<std::optional<std::string>> contents;  // per entry of the file list: a file's bytes

  std::string name() const {
    return "mode " + std::to_string(static_cast<int>(mode)) + " v" + std::to_string(version);
  }
  std::uint64_t footer_offset() const { return bytes.size() - format::footer_size; }
};

FrameHeader frame_header_at(const std::vector<std::uint8_t>& bytes, std::uint64_t at) {
  return FrameHeader::decode(std::span<const std::uint8_t, format::frame_header_size>(bytes.data() + at,
                                                                                      format::frame_header_size));
}

// ---------------------------------------------------------------------------
// Running one case.

struct Outcome {
  std::optional<ArchiveError> error;
  std::optional<ExtractionReport> report;
  std::optional<Manifest> manifest;  // the file list as the reader took it
};

class CaseRunner {
 public:
  explicit CaseRunner(const fs::path& work) : work_(work) {}

  // Keys come from a cache keyed by what derivation reads of the header, so
  // Argon2id runs once per distinct header, not once per case.
  Outcome run(const std::vector<std::uint8_t>& bytes) {
    test::write_file(archive(), bytes);
    test::clear_folder(case_dir());
    fs::create_directories(case_dir());

    Outcome out;
    std::optional<VolumeSet> volumes;
    if (auto opened = VolumeSet::open(archive()); opened) {
      volumes.emplace(std::move(*opened));
    } else {
      out.error = opened.error();
      return out;
    }
    auto header = Header::read(*volumes);
    if (!header) {
      out.error = header.error();
      return out;
    }
    const Result<FrameCipher>& cipher = keys_for(*header);
    if (!cipher) {
      out.error = cipher.error();
      return out;
    }
    auto loaded = load_manifest(*volumes, *header, *cipher);
    if (!loaded) {
      out.error = loaded.error();
      return out;
    }
    volumes.reset();  // the pipeline's reader opens the parts again, as the job does
    out.manifest = loaded->manifest;
    const std::atomic<bool> cancel{false};
    ExtractOptions options;
    options.workers = 2;
    const ArchiveSource source{archive(), *header, loaded->digest, *cipher, loaded->manifest, loaded->filelist_offset};
    auto report = extract(source, destination(), cancel, options);
    if (report) {
      out.report = std::move(*report);
    } else {
      out.error = report.error();
    }
    return out;
  }

  void forget_keys() { keys_.clear(); }
  std::size_t derivations() const { return derivations_; }

  fs::path archive() const { return work_ / "a.qrn"; }
  fs::path case_dir() const { return work_ / "case"; }
  fs::path destination() const { return case_dir() / "out"; }
  const fs::path& work() const { return work_; }

 private:
  const Result<FrameCipher>& keys_for(const Header& header) {
    std::vector<std::uint8_t> id = header.canonical_bytes();
    id.insert(id.end(), header.header_tag.begin(), header.header_tag.end());
    auto found = keys_.find(id);
    if (found == keys_.end()) {
      ++derivations_;
      const SecretBuffer password = SecretBuffer::from_bytes(test::bytes_of(test::test_password));
      found = keys_.emplace(std::move(id), derive_keys(key_material(header), &password, {})).first;
    }
    return found->second;
  }

  fs::path work_;
  std::map<std::vector<std::uint8_t>, Result<FrameCipher>> keys_;
  std::size_t derivations_ = 0;
};

// ---------------------------------------------------------------------------
// Judging one case.

enum class Expect {
  Failure,  // something checks every changed byte
  Success,  // only reserved bytes changed: everything must extract and verify
  Either,   // mode 0 with the CRC made to match: a success must list what it could not verify
};

// Every problem with the case's outcome; empty when it is acceptable.
std::string judge(const Sample& sample, const CaseRunner& runner, const Outcome& out, Expect expect) {
  std::string problems;
  const auto problem = [&](const std::string& text) { problems += (problems.empty() ? "" : "; ") + text; };

  // Nothing but the archive and the case's folder in the work folder, and
  // nothing but the destination in the case's folder.
  for (const auto& e : fs::directory_iterator(runner.work())) {
    if (e.path() != runner.archive() && e.path() != runner.case_dir())
      problem("written outside the destination: " + e.path().string());
  }
  for (const auto& e : fs::directory_iterator(runner.case_dir())) {
    if (e.path() != runner.destination()) problem("written outside the destination: " + e.path().string());
  }
  if (fs::exists(runner.destination())) {
    for (const auto& e : fs::recursive_directory_iterator(runner.destination())) {
      if (!e.is_symlink() && (e.is_regular_file() || e.is_directory())) continue;
      problem("not a plain file or folder: " + e.path().string());
    }
  }

  if (out.error) {
    const ErrorKind kind = out.error->kind();
    if (kind == ErrorKind::Io || kind == ErrorKind::Cancelled || kind == ErrorKind::PasswordRequired)
      problem("unexpected kind of error: " + out.error->display());
    if (expect == Expect::Success) problem("failed where only reserved bytes changed: " + out.error->display());
    return problems;
  }

  const ExtractionReport& report = *out.report;
  const Manifest& manifest = *out.manifest;
  if (expect == Expect::Failure) problem("succeeded although the change is checked");
  if (expect == Expect::Success && !report.mismatches.empty()) problem("mismatches listed for reserved bytes");

  std::uint64_t files = 0;
  for (const Entry& e : manifest.entries) files += e.kind == EntryKind::File ? 1 : 0;
  if (report.files_completed != files) problem("not every file completed");
  if (report.files_verified + report.mismatches.size() != report.files_completed)
    problem("verified and mismatched files do not add up");
  if (expect == Expect::Success && report.files_verified != files) problem("not every file verified");

  // Every file not listed as a mismatch counts as verified: it must hold the
  // bytes the original archive stored for that entry.
  for (std::size_t i = 0; i < manifest.entries.size(); ++i) {
    const Entry& e = manifest.entries[i];
    if (e.kind != EntryKind::File) continue;
    if (std::find(report.mismatches.begin(), report.mismatches.end(), e.path) != report.mismatches.end()) continue;
    fs::path written = runner.destination() / platform::path_from_utf8(e.path);
    for (const Rename& r : report.renames)
      if (r.archive_path == e.path) written = platform::path_from_utf8(r.output_path);
    if (i >= sample.contents.size() || !sample.contents[i]) {
      problem("verified file without a stored counterpart: " + e.path);
      continue;
    }
    const auto bytes = test::read_file(written);
    if (std::string(bytes.begin(), bytes.end()) != *sample.contents[i])
      problem("file reported as verified differs from what was stored: " + e.path);
  }
  return problems;
}

// ---------------------------------------------------------------------------
// The cases.

enum Region { HeaderBits, FooterBits, FileListBits, FileListCrcMatched, DataBits, DataCrcMatched, Truncation, regions };
constexpr const char* region_names[regions] = {"header bits",    "footer bits",       "file-list bits",
                                               "file list, CRC matched", "data-frame bits", "data, CRC matched",
                                               "truncation"};

struct Case {
  Region region;
  std::string label;
  std::vector<std::uint8_t> bytes;
  Expect expect;
};

struct Tally {
  std::size_t cases = 0;
  std::size_t clean_successes = 0;
  std::size_t successes_with_mismatches = 0;
  std::map<ErrorKind, std::size_t> errors;
  double seconds = 0;
};

const char* kind_name(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::Io: return "Io";
    case ErrorKind::NotArchive: return "NotArchive";
    case ErrorKind::UnsupportedVersion: return "UnsupportedVersion";
    case ErrorKind::PasswordRequired: return "PasswordRequired";
    case ErrorKind::WrongPassword: return "WrongPassword";
    case ErrorKind::Corrupt: return "Corrupt";
    case ErrorKind::Integrity: return "Integrity";
    case ErrorKind::UnsafePath: return "UnsafePath";
    case ErrorKind::Cancelled: return "Cancelled";
    case ErrorKind::Message: return "Message";
    case ErrorKind::Unsupported: return "Unsupported";
    case ErrorKind::SecondFactorRequired: return "SecondFactorRequired";
  }
  return "?";
}

struct Scope {
  // Every bit of every byte, or one bit per byte (bit = byte mod 8) in the
  // salts, the tag and the file list, whose bytes are all alike to the reader.
  bool every_bit = true;
  // With every_bit off, whether the header's fixed fields, the footer and the
  // file list's frame header still get every bit.
  bool every_bit_of_fields = true;
  std::size_t filelist_stride = 1;              // bytes
  std::size_t crc_matched_filelist_stride = 1;  // bytes
  std::size_t data_flips = 400;
  std::size_t crc_matched_data_flips = 200;
  // Every cut in the header, the file list's frame header and the footer;
  // this stride elsewhere.
  std::size_t truncation_stride = 1;
  // Argon2id memory raised beyond this by a flipped bit (up to 2 GiB) is
  // left out: it costs seconds and gigabytes per case.
  std::uint64_t argon2_memory_limit_kib = format::argon2_max_memory_kib;
};

Scope full_scope() { return Scope{}; }

Scope representative_scope() {
  Scope s;
  s.every_bit = false;
  s.crc_matched_filelist_stride = 3;
  s.data_flips = 60;
  s.crc_matched_data_flips = 30;
  s.truncation_stride = 11;
  s.argon2_memory_limit_kib = 1024;
#if defined(_WIN32)
  // Under Wine each file operation is a round trip to the Wine server (a few
  // milliseconds per case, tens with extraction): a thinner sample there.
  s.every_bit_of_fields = false;
  s.filelist_stride = 4;
  s.crc_matched_filelist_stride = 9;
  s.data_flips = 30;
  s.crc_matched_data_flips = 15;
  s.truncation_stride = 31;
#endif
  return s;
}

// Bytes that nothing reads or checks: the header's reserved bytes (and, in
// mode 0, the absent Argon2id fields and the high bits of kdf_present), the
// reserved bytes of every frame header, and the footer's reserved bytes.
bool reserved_bit(const Sample& s, std::uint64_t byte, int bit) {
  if (byte == 15 || (byte >= 21 && byte <= 23)) return true;
  if (s.mode == EncryptionMode::None && ((byte >= 24 && byte < 36) || (byte == 20 && bit != 0))) return true;
  if (byte >= s.footer_offset() + 28) return true;
  for (const std::uint64_t at : s.data_frames)
    if (byte == at + 2 || byte == at + 3) return true;
  return byte == s.filelist_offset + 2 || byte == s.filelist_offset + 3;
}

// The Argon2id memory an encrypted header asks for with this bit flipped; 0
// for other bits. Header reading refuses more than 4 GiB before any work.
std::uint64_t argon2_memory_after_flip(const Sample& s, std::uint64_t byte, int bit) {
  if (s.mode == EncryptionMode::None || byte < 24 || byte >= 28) return 0;
  const std::uint32_t memory = load_le<std::uint32_t>(&s.bytes[24]);
  return memory ^ (std::uint32_t{1} << (8 * (byte - 24) + bit));
}

std::vector<std::uint8_t> flipped(const std::vector<std::uint8_t>& bytes, std::uint64_t byte, int bit) {
  std::vector<std::uint8_t> out = bytes;
  out[byte] ^= static_cast<std::uint8_t>(1u << bit);
  return out;
}

// Flips a bit of the frame at `frame` and stores the CRC the changed frame
// now has, so that only decryption, decompression and the later checks can
// notice.
std::vector<std::uint8_t> flipped_with_crc(const std::vector<std::uint8_t>& bytes, std::uint64_t frame,
                                           std::uint64_t byte, int bit) {
  std::vector<std::uint8_t> out = flipped(bytes, byte, bit);
  const FrameHeader h = frame_header_at(out, frame);
  const std::span<const std::uint8_t> payload(out.data() + frame + format::frame_header_size, h.stored_length);
  store_le(&out[frame + 20], frame_crc(h, payload));
  return out;
}

// Bits of a frame whose change keeps the frame's extent: kind, flags, index,
// plain_length and the payload (not the reserved bytes, stored_length or CRC).
bool extent_keeping(std::uint64_t offset_in_frame) {
  return offset_in_frame < 2 || (offset_in_frame >= 4 && offset_in_frame < 16) ||
         offset_in_frame >= format::frame_header_size;
}

class Lcg {
 public:
  explicit Lcg(std::uint64_t seed) : x_(seed) {}
  std::uint64_t below(std::uint64_t n) {
    x_ = x_ * 6364136223846793005ull + 1442695040888963407ull;
    return (x_ >> 33) % n;
  }

 private:
  std::uint64_t x_;
};

// Calls `visit` with every case of `sample` within `scope`.
void for_each_case(const Sample& s, const Scope& scope, const std::function<void(Case)>& visit) {
  const auto label = [&](const char* what, std::uint64_t byte, int bit) {
    return s.name() + " " + what + " byte " + std::to_string(byte) + " bit " + std::to_string(bit);
  };
  const auto flip_case = [&](Region region, std::uint64_t byte, int bit) {
    visit(Case{region, label(region_names[region], byte, bit), flipped(s.bytes, byte, bit),
               reserved_bit(s, byte, bit) ? Expect::Success : Expect::Failure});
  };

  // The fixed fields before the salts, and version 2's extension length.
  const auto structured = [&](std::uint64_t byte) {
    return byte < 36 || (s.version >= 2 && byte >= format::header_fixed_size && byte < format::header_fixed_size + 4);
  };
  const auto bits = [&](std::uint64_t byte, bool all) {
    std::vector<int> out;
    for (int bit = 0; bit < 8; ++bit)
      if (all || bit == static_cast<int>(byte % 8)) out.push_back(bit);
    return out;
  };

  const bool fields = scope.every_bit || scope.every_bit_of_fields;
  for (std::uint64_t byte = 0; byte < s.header_length; ++byte)
    for (const int bit : bits(byte, scope.every_bit || (fields && structured(byte)))) {
      const std::uint64_t memory = argon2_memory_after_flip(s, byte, bit);
      if (memory > scope.argon2_memory_limit_kib && memory <= format::argon2_max_memory_kib) continue;
      flip_case(HeaderBits, byte, bit);
    }
  for (std::uint64_t byte = s.footer_offset(); byte < s.bytes.size(); ++byte)
    for (const int bit : bits(byte, fields)) flip_case(FooterBits, byte, bit);
  for (std::uint64_t byte = s.filelist_offset; byte < s.footer_offset(); ++byte) {
    const bool frame_header = byte < s.filelist_offset + format::frame_header_size;
    if (!frame_header && (byte - s.filelist_offset) % scope.filelist_stride != 0) continue;
    for (const int bit : bits(byte, scope.every_bit || (fields && frame_header))) flip_case(FileListBits, byte, bit);
  }

  const Expect crc_matched = s.mode == EncryptionMode::None ? Expect::Either : Expect::Failure;
  for (std::uint64_t byte = s.filelist_offset; byte < s.footer_offset(); ++byte) {
    const std::uint64_t within = byte - s.filelist_offset;
    if (!extent_keeping(within)) continue;
    if (within % scope.crc_matched_filelist_stride != 0) continue;
    for (const int bit : bits(byte, scope.every_bit))
      visit(Case{FileListCrcMatched, label(region_names[FileListCrcMatched], byte, bit),
                 flipped_with_crc(s.bytes, s.filelist_offset, byte, bit), crc_matched});
  }

  // Data frames: a sample fixed by the archive's mode, so every run sees the
  // same bits.
  Lcg pick(0x5EED0000u + static_cast<std::uint64_t>(s.mode) * 131 + s.version);
  const std::uint64_t data_bytes = s.filelist_offset - s.header_length;
  for (std::size_t i = 0; i < scope.data_flips; ++i) {
    const std::uint64_t byte = s.header_length + pick.below(data_bytes);
    flip_case(DataBits, byte, static_cast<int>(pick.below(8)));
  }
  for (std::size_t i = 0; i < scope.crc_matched_data_flips;) {
    const std::uint64_t frame = s.data_frames[pick.below(s.data_frames.size())];
    const std::uint64_t length = format::frame_header_size + frame_header_at(s.bytes, frame).stored_length;
    const std::uint64_t within = pick.below(length);
    const int bit = static_cast<int>(pick.below(8));
    if (!extent_keeping(within)) continue;
    ++i;
    visit(Case{DataCrcMatched, label(region_names[DataCrcMatched], frame + within, bit),
               flipped_with_crc(s.bytes, frame, frame + within, bit), crc_matched});
  }

  for (std::uint64_t length = 0; length < s.bytes.size(); ++length) {
    const bool every = length <= s.header_length || length >= s.footer_offset() ||
                       (length >= s.filelist_offset && length <= s.filelist_offset + format::frame_header_size);
    if (!every && length % scope.truncation_stride != 0) continue;
    visit(Case{Truncation, s.name() + " cut at " + std::to_string(length),
               std::vector<std::uint8_t>(s.bytes.begin(), s.bytes.begin() + static_cast<std::ptrdiff_t>(length)),
               Expect::Failure});
  }
}

// ---------------------------------------------------------------------------
// The sweep.

// Writes the sample files with fixed times, so that the same archive (and the
// same number of cases) comes out on every run.
Result<writer::WriteSummary> write_sample(const fs::path& dir, const std::map<std::string, std::string>& files,
                                          const writer::WriterOptions& options, const fs::path& archive) {
  const fs::path root = dir / "input";
  for (const auto& [path, content] : files) {
    if (path.ends_with('/')) {
      fs::create_directories(root / path);
    } else {
      fs::create_directories((root / path).parent_path());
      test::write_file(root / path, test::bytes_of(content));
    }
  }
  std::vector<fs::path> inputs;
  for (const auto& e : fs::directory_iterator(root)) inputs.push_back(e.path());
  std::sort(inputs.begin(), inputs.end());
  auto tree = writer::gather_inputs(inputs);
  if (!tree) return std::unexpected(tree.error());
  for (writer::InputEntry& e : tree->entries) {
    e.created = 133000000000000000ull;
    e.modified = 133100000000000000ull;
  }
  auto output = writer::ArchiveOutput::create({archive});
  if (!output) return std::unexpected(output.error());
  const SecretBuffer password = SecretBuffer::from_bytes(test::bytes_of(test::test_password));
  return writer::write_archive(*tree, options, &password, *output);
}

std::optional<Sample> make_sample(const fs::path& dir, EncryptionMode mode, std::uint16_t version) {
  Sample s;
  s.mode = mode;
  s.version = version;
  auto options = test::fast_options(mode, version);  // Argon2id at its smallest: 8 KiB, 1 pass, 1 lane
  options.block_size = block;
  options.zstd_level = 3;
  const fs::path path = dir / "original.qrn";
  const auto files = sample_files();
  auto written = write_sample(dir, files, options, path);
  if (!written) {
    ADD_FAILURE() << written.error().display();
    return std::nullopt;
  }
  s.bytes = test::read_file(path);

  auto back = test::read_back(path);
  if (!back) {
    ADD_FAILURE() << back.error().display();
    return std::nullopt;
  }
  s.header_length = back->header.length();
  s.filelist_offset = back->loaded.filelist_offset;
  for (std::uint64_t at = s.header_length; at < s.filelist_offset;
       at += format::frame_header_size + frame_header_at(s.bytes, at).stored_length)
    s.data_frames.push_back(at);
  for (const Entry& e : back->loaded.manifest.entries)
    s.contents.push_back(e.kind == EntryKind::File ? std::optional<std::string>(files.at(e.path)) : std::nullopt);
  return s;
}

void sweep(const Scope& scope) {
  const auto started = std::chrono::steady_clock::now();
  // The largest Argon2id a flipped bit can ask for (2 GiB) takes a few seconds.
  Watchdog watchdog(std::chrono::seconds(120));
  const std::optional<std::size_t> threads_before = test::thread_count();

  struct Archive {
    EncryptionMode mode;
    std::uint16_t version;
  };
  std::vector<Archive> archives;
  for (std::uint8_t m = 0; m < encryption_mode_count; ++m) archives.push_back({static_cast<EncryptionMode>(m), 2});
  archives.push_back({EncryptionMode::Aes256Gcm, 1});

  std::size_t total = 0, failures_reported = 0, derivations = 0;
  std::array<Tally, regions> overall{};
  for (const Archive& a : archives) {
    test::ScratchDir dir;
    const std::optional<Sample> made = make_sample(dir.path(), a.mode, a.version);
    ASSERT_TRUE(made);
    const Sample& s = *made;
    fs::create_directories(dir / "work");
    CaseRunner runner(dir / "work");

    // The untouched archive extracts and verifies completely.
    {
      const Outcome intact = runner.run(s.bytes);
      const std::string problems = judge(s, runner, intact, Expect::Success);
      ASSERT_TRUE(problems.empty()) << s.name() << " untouched: " << problems;
      ASSERT_TRUE(std::any_of(s.contents.begin(), s.contents.end(), [](const auto& c) { return c && c->empty(); }));
    }

    std::array<Tally, regions> tally{};
    for_each_case(s, scope, [&](Case c) {
      watchdog.begin(c.label);
      const auto case_started = std::chrono::steady_clock::now();
      const Outcome out = runner.run(c.bytes);
      const double case_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - case_started).count();
      watchdog.end();
      std::string problems = judge(s, runner, out, c.expect);
      if (!test::threads_settle_to(threads_before)) problems += "; a thread was left running";
      if (!problems.empty() && failures_reported++ < 25) ADD_FAILURE() << c.label << ": " << problems;

      for (Tally* t : {&tally[c.region], &overall[c.region]}) {
        ++t->cases;
        t->seconds += case_seconds;
        if (out.error) {
          ++t->errors[out.error->kind()];
        } else if (out.report->mismatches.empty()) {
          ++t->clean_successes;
        } else {
          ++t->successes_with_mismatches;
        }
      }
      ++total;
    });
    derivations += runner.derivations();

    std::printf("%s (%zu bytes, %zu data frames):\n", s.name().c_str(), s.bytes.size(), s.data_frames.size());
    for (int r = 0; r < regions; ++r) {
      const Tally& t = tally[r];
      std::printf("  %-24s %6zu cases: %zu clean successes, %zu with mismatches listed;", region_names[r], t.cases,
                  t.clean_successes, t.successes_with_mismatches);
      for (const auto& [kind, n] : t.errors) std::printf(" %s %zu", kind_name(kind), n);
      std::printf("\n");
    }
    std::fflush(stdout);
  }

  std::printf("all archives:\n");
  for (int r = 0; r < regions; ++r) {
    const Tally& t = overall[r];
    std::size_t errors = 0;
    for (const auto& [kind, n] : t.errors) errors += n;
    std::printf("  %-24s %7zu cases: %zu errors, %zu clean successes, %zu with mismatches listed (%.1f s)\n",
                region_names[r], t.cases, errors, t.clean_successes, t.successes_with_mismatches, t.seconds);
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("%zu cases over %zu archives, %zu key derivations, %.1f s\n", total, archives.size(), derivations,
              seconds);
  std::fflush(stdout);
  EXPECT_EQ(failures_reported, 0u) << "cases with problems (the first 25 are listed above)";
}

TEST(CorruptionSweep, RepresentativeCasesEndInAnErrorOrAnHonestReport) { sweep(representative_scope()); }

TEST(SlowCorruptionSweep, EveryCaseEndsInAnErrorOrAnHonestReport) { sweep(full_scope()); }

}  // namespace
}  // namespace quarn
