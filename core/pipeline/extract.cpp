#include "core/pipeline/extract.h"

#include <chrono>
#include <limits>
#include <map>
#include <system_error>
#include <thread>
#include <variant>

#include "core/archive/entry_path.h"
#include "core/archive/frame.h"
#include "core/archive/extraction_plan.h"
#include "core/pipeline/buffer_pool.h"
#include "core/pipeline/queues.h"
#include "core/platform/platform.h"

namespace quarn {
namespace {

using pipeline::BoundedQueue;
using pipeline::BufferPool;
using pipeline::ResultQueue;

constexpr std::uint64_t NO_BATCH = std::numeric_limits<std::uint64_t>::max();

// Frames travel between the threads in batches, so that an archive of many
// small files does not pay a thread hand-over (and mostly a sleep and a
// wake-up) per file. A frame whose stored and plain sizes are both at most
// `small_frame` gets buffers of its own exact size and joins the batch being
// gathered; a batch is sent when it holds `batch_frames` frames or
// `batch_bytes` stored bytes, or with any larger frame, which keeps the
// pool's block-sized buffers. So the frames in flight stay bounded by the
// tokens as before.
constexpr std::size_t small_frame = 64u << 10;
constexpr std::size_t batch_frames = 64;
constexpr std::size_t batch_bytes = 1u << 20;

struct FrameBatch {
  std::uint64_t seq = 0;
  std::vector<Frame> frames;
  std::size_t stored_bytes = 0;
};

struct BatchResult {
  std::uint64_t seq = 0;
  // One per frame of the batch, in frame order; a worker that fails to start
  // sends a batch NO_BATCH with its error alone.
  std::vector<Result<std::vector<std::uint8_t>>> plains;
};

struct Token {};

struct Shared {
  Shared(unsigned workers, std::size_t frame_capacity)
      : jobs(2 * std::size_t{workers}),
        results(workers),
        tokens(3 * std::size_t{workers}),
        buffers(4 * std::size_t{workers} + 1, frame_capacity) {}
  BoundedQueue<FrameBatch> jobs;
  ResultQueue<BatchResult> results;
  BoundedQueue<Token> tokens;
  // Large frames in flight (tokens) plus one decompression buffer per worker.
  BufferPool buffers;
  std::atomic<bool> abort{false};
};

bool is_small(const FrameHeader& h) { return h.stored_length <= small_frame && h.plain_length <= small_frame; }

Result<void> send(Shared& shared, FrameBatch& batch, std::uint64_t& batches) {
  if (batch.frames.empty()) return {};
  if (!shared.tokens.pop()) return std::unexpected(ArchiveError::cancelled());
  batch.seq = batches++;
  if (!shared.jobs.push(std::move(batch))) return std::unexpected(ArchiveError::cancelled());
  batch = FrameBatch{};
  return {};
}

Result<void> read_frames(DataFrameReader& reader, const ArchiveSource& archive, Shared& shared,
                         const std::atomic<bool>& cancel_flag, FrameBatch& batch, std::uint64_t& batches) {
  for (std::uint64_t i = 0;; ++i) {
    if (i < archive.manifest.data_frames && cancel_flag.load()) return std::unexpected(ArchiveError::cancelled());
    auto frame = reader.next(shared.buffers.take());
    if (!frame) return std::unexpected(std::move(frame.error()));
    if (!*frame) return {};  // all frames read and the end offset checked
    if (shared.abort.load()) return std::unexpected(ArchiveError::cancelled());
    Frame& read = **frame;
    if (is_small(read.header)) {
      Frame own{read.header, std::vector<std::uint8_t>(read.payload.begin(), read.payload.end())};
      shared.buffers.give(std::move(read.payload));
      batch.stored_bytes += own.payload.size();
      batch.frames.push_back(std::move(own));
      if (batch.frames.size() < batch_frames && batch.stored_bytes < batch_bytes) continue;
    } else {
      batch.frames.push_back(std::move(read));
    }
    if (auto sent = send(shared, batch, batches); !sent) return sent;
  }
}

Result<void> run_reader(const ArchiveSource& archive, Shared& shared, const std::atomic<bool>& cancel_flag) {
  auto volumes = VolumeSet::open(archive.path);
  if (!volumes) return std::unexpected(std::move(volumes.error()));
  DataFrameReader reader(std::move(*volumes), archive.header, archive.manifest.data_frames, archive.filelist_offset);
  FrameBatch batch;
  std::uint64_t batches = 0;
  const Result<void> outcome = read_frames(reader, archive, shared, cancel_flag, batch, batches);
  // The frames gathered before a read failure are sent all the same.
  if (!outcome && outcome.error().kind() == ErrorKind::Cancelled) return outcome;
  if (auto sent = send(shared, batch, batches); !sent) return sent;
  return outcome;
}

void reader_thread(const ArchiveSource& archive, Shared& shared, const std::atomic<bool>& cancel_flag,
                   Result<void>& outcome) {
  // A read failure (a cut or damaged stream, a vanished part, the final
  // offset check) only ends the sending: the frames sent before it are still
  // decoded and written, so the first error in frame order wins and what was
  // readable is kept whatever the timing. A cancellation stops the workers too.
  outcome = run_reader(archive, shared, cancel_flag);
  if (!outcome && outcome.error().kind() == ErrorKind::Cancelled) shared.abort.store(true);
  shared.jobs.close_sending();
}

void worker_thread(const ArchiveSource& archive, Shared& shared) {
  FrameDecoder decoder(archive.cipher, archive.digest);
  auto prepared = decoder.prepare();
  if (!prepared) {
    shared.abort.store(true);
    BatchResult failed{NO_BATCH, {}};
    failed.plains.push_back(std::unexpected(std::move(prepared.error())));
    shared.results.push(std::move(failed));
  }
  while (auto job = shared.jobs.pop()) {
    BatchResult result{job->seq, {}};
    result.plains.reserve(job->frames.size());
    for (Frame& frame : job->frames) {
      if (!prepared || shared.abort.load()) {
        result.plains.push_back(std::unexpected(ArchiveError::cancelled()));
      } else if (is_small(frame.header)) {
        std::vector<std::uint8_t> own;
        result.plains.push_back(decoder.decode_reusing(frame, own));
      } else {
        std::vector<std::uint8_t> spare = shared.buffers.take();
        result.plains.push_back(decoder.decode_reusing(frame, spare));
        shared.buffers.give(std::move(spare));
        shared.buffers.give(std::move(frame.payload));
      }
    }
    shared.results.push(std::move(result));
  }
  shared.results.sender_done();
}

// For checking without writing: each path as extraction would take it, no disk involved.
Result<ExtractionPlan> verification_plan(const std::vector<Entry>& entries) {
  ExtractionPlan plan;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    auto path = check_entry_path(entries[i].path, ".");
    if (!path) return std::unexpected(std::move(path.error()));
    plan.output_paths.push_back(std::move(*path));
    if (entries[i].kind == EntryKind::File) plan.file_order.push_back(i);
  }
  return plan;
}

}  // namespace

Result<ExtractionReport> extract(const ArchiveSource& archive, const std::filesystem::path& destination,
                                 const std::atomic<bool>& cancel_flag, const ExtractOptions& options) {
  const auto start = std::chrono::steady_clock::now();
  const unsigned workers = options.workers ? options.workers : platform::active_processor_count();

  std::optional<std::vector<std::uint8_t>> zone_mark;
  Result<ExtractionPlan> plan = ExtractionPlan{};
  if (options.verify_only) {
    plan = verification_plan(archive.manifest.entries);
  } else {
    zone_mark = read_zone_mark(archive.path);
    if (auto made = platform::create_directories(destination); !made)
      return std::unexpected(ArchiveError::io(std::move(made.error())));
    plan = plan_extraction(destination, archive.manifest.entries);
  }
  if (!plan) return std::unexpected(std::move(plan.error()));
  if (options.after_planning) options.after_planning();

  OutputWriter writer(*plan, archive.manifest.entries, std::move(zone_mark), options.verify_only);
  if (auto opened = writer.open_next_file(); !opened) {
    writer.close_open_file();
    return std::unexpected(std::move(opened.error()));
  }

  Shared shared(workers, std::size_t{archive.header.block_size} + tag_overhead(archive.header.mode));
  for (unsigned i = 0; i < 3 * workers; ++i)
    if (!shared.tokens.push(Token{})) invariant_violated("kanal zetonow");

  // A thread that cannot be started stops the extraction like any failure:
  // the threads already running are stopped and joined before returning.
  Result<void> reader_outcome;
  std::thread reader;
  std::vector<std::thread> worker_threads;
  std::optional<ArchiveError> start_failure;
  try {
    reader = std::thread([&] { reader_thread(archive, shared, cancel_flag, reader_outcome); });
  } catch (const std::system_error& e) {
    start_failure = ArchiveError::io({e.code().value(), "nie mozna uruchomic watku czytajacego", false});
    shared.jobs.close_sending();
  }
  worker_threads.reserve(workers);
  for (unsigned i = 0; i < workers; ++i) {
    try {
      worker_threads.emplace_back([&] { worker_thread(archive, shared); });
    } catch (const std::system_error& e) {
      if (!start_failure) start_failure = ArchiveError::io({e.code().value(), "nie mozna uruchomic watku", false});
      shared.abort.store(true);
      for (unsigned missing = i; missing < workers; ++missing) shared.results.sender_done();
      if (worker_threads.empty()) shared.jobs.close_receiving();
      break;
    }
  }

  std::optional<ArchiveError> recorded;
  std::map<std::uint64_t, std::vector<Result<std::vector<std::uint8_t>>>> pending;
  std::uint64_t next_seq = 0;
  while (auto result = shared.results.pop()) {
    if (result->seq == NO_BATCH) {
      if (!recorded) recorded = std::move(result->plains.front().error());
      continue;
    }
    pending.emplace(result->seq, std::move(result->plains));
    for (auto found = pending.find(next_seq); found != pending.end(); found = pending.find(next_seq)) {
      std::vector<Result<std::vector<std::uint8_t>>> plains = std::move(found->second);
      pending.erase(found);
      for (Result<std::vector<std::uint8_t>>& plain : plains) {
        if (recorded) {
          // after the first error nothing more is written
        } else if (!plain) {
          recorded = std::move(plain.error());
          shared.abort.store(true);
        } else if (auto written = writer.write_frame_data(*plain); !written) {
          recorded = std::move(written.error());
          shared.abort.store(true);
        } else if (options.progress) {
          options.progress(writer.report().bytes_written);
        }
        if (plain && plain->capacity() > small_frame) shared.buffers.give(std::move(*plain));
      }
      (void)shared.tokens.push(Token{});
      ++next_seq;
    }
  }
  shared.tokens.close_receiving();
  if (reader.joinable()) reader.join();
  for (std::thread& t : worker_threads) t.join();

  std::optional<ArchiveError> outcome;
  if (start_failure) {
    outcome = std::move(*start_failure);
  } else if (!recorded) {
    if (!reader_outcome) outcome = std::move(reader_outcome.error());
  } else if (recorded->kind() == ErrorKind::Cancelled && !reader_outcome) {
    outcome = std::move(reader_outcome.error());
  } else {
    outcome = std::move(*recorded);
  }
  if (outcome) {
    writer.close_open_file();
    return std::unexpected(std::move(*outcome));
  }
  if (auto complete = writer.check_complete(); !complete) {
    writer.close_open_file();
    return std::unexpected(std::move(complete.error()));
  }
  writer.finish_directories();

  ExtractionReport report = std::move(writer.report());
  report.threads = workers;
  report.elapsed_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  report.renames = std::move(plan->renames);
  report.suspicious_names = std::move(plan->suspicious_names);
  report.destination = destination;
  return report;
}

}  // namespace quarn
