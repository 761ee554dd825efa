// Argon2id alone, one thread, at the writer's default costs (256 MiB,
// 3 passes, 4 lanes) and at 1 GiB with 2 passes: Debian's libargon2 (its
// portable build) against ours with each copy of the block-filling code
// (SSE2, AVX2, AVX-512F), each on libargon2's own malloc'd memory and on
// platform::allocate_large (huge pages where the kernel offers them).
// Debian's library is loaded with dlopen: ours is linked in and defines the
// same names.
#include <argon2.h>
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "core/crypto/argon2id.h"
#include "core/platform/system.h"

namespace quarn::bench {
namespace {

using ArgonCtx = int (*)(argon2_context*, argon2_type);

enum class Library { debian, sse2, avx2, avx512 };
enum class Memory { malloc, huge };

// Debian's argon2_ctx, or nullptr (the reason in `why`).
ArgonCtx debian_argon2_ctx(std::string& why) {
#ifdef QUARN_DEBIAN_ARGON2
  void* library = ::dlopen(QUARN_DEBIAN_ARGON2, RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    why = ::dlerror();
    return nullptr;
  }
  auto* function = reinterpret_cast<ArgonCtx>(::dlsym(library, "argon2_ctx"));
  Dl_info info{};
  if (!function || !::dladdr(reinterpret_cast<void*>(function), &info) || !info.dli_fname ||
      !std::strstr(info.dli_fname, "libargon2.so")) {
    why = "argon2_ctx does not come from " QUARN_DEBIAN_ARGON2;
    return nullptr;
  }
  return function;
#else
  why = "built without Debian's libargon2 (pkg-config libargon2)";
  return nullptr;
#endif
}

// AnonHugePages of the mapping that holds `address`, in KiB.
std::size_t huge_kib(const void* address) {
  std::ifstream smaps("/proc/self/smaps");
  std::string line;
  bool inside = false;
  const auto at = reinterpret_cast<std::uintptr_t>(address);
  while (std::getline(smaps, line)) {
    unsigned long start = 0, end = 0;
    char dash = 0;
    if (std::sscanf(line.c_str(), "%lx%c%lx ", &start, &dash, &end) == 3 && dash == '-') {
      if (inside) break;
      inside = start <= at && at < end;
    } else if (inside && line.rfind("AnonHugePages:", 0) == 0) {
      return std::stoul(line.substr(14));
    }
  }
  return 0;
}

// Set around the timed loop: the free callback measures the huge pages of
// the block once per run, with the clock stopped.
benchmark::State* current_state = nullptr;
std::size_t huge_seen_kib = 0;

int allocate_blocks(std::uint8_t** memory, std::size_t length) {
  *memory = static_cast<std::uint8_t*>(platform::allocate_large(length));
  return *memory ? ARGON2_OK : ARGON2_MEMORY_ALLOCATION_ERROR;
}

void free_blocks(std::uint8_t* memory, std::size_t length) {
  if (current_state) {
    current_state->PauseTiming();
    huge_seen_kib = huge_kib(memory);
    current_state->ResumeTiming();
  }
  platform::free_large(memory, length);
}

void BM_Argon2id(benchmark::State& state, Library library, Memory memory) {
  const auto memory_kib = static_cast<std::uint32_t>(state.range(0));
  const auto passes = static_cast<std::uint32_t>(state.range(1));
  ArgonCtx compute = argon2_ctx;
  const crypto::Argon2Fill initial = crypto::argon2_fill();
  if (library == Library::debian) {
    std::string why;
    compute = debian_argon2_ctx(why);
    if (!compute) {
      state.SkipWithError(why.c_str());
      return;
    }
  } else {
    const crypto::Argon2Fill fill = library == Library::avx512 ? crypto::Argon2Fill::avx512
                                    : library == Library::avx2 ? crypto::Argon2Fill::avx2
                                                               : crypto::Argon2Fill::sse2;
    if (!crypto::select_argon2_fill(fill)) {
      state.SkipWithError("this processor cannot run that copy");
      return;
    }
  }

  std::string password = "correct horse battery staple";
  std::vector<std::uint8_t> salt(32, 0x5a), out(64);
  argon2_context context{};
  context.out = out.data();
  context.outlen = static_cast<std::uint32_t>(out.size());
  context.pwd = reinterpret_cast<std::uint8_t*>(password.data());
  context.pwdlen = static_cast<std::uint32_t>(password.size());
  context.salt = salt.data();
  context.saltlen = static_cast<std::uint32_t>(salt.size());
  context.t_cost = passes;
  context.m_cost = memory_kib;
  context.lanes = 4;
  context.threads = 1;
  context.version = ARGON2_VERSION_13;
  context.flags = ARGON2_DEFAULT_FLAGS;
  if (memory == Memory::huge) {
    context.allocate_cbk = allocate_blocks;
    context.free_cbk = free_blocks;
  }

  huge_seen_kib = 0;
  current_state = &state;
  for (auto _ : state) {
    const int status = compute(&context, Argon2_id);
    if (status != ARGON2_OK) {
      state.SkipWithError(argon2_error_message(status));
      break;
    }
  }
  current_state = nullptr;
  (void)crypto::select_argon2_fill(initial);
  state.counters["huge_MiB"] = static_cast<double>(huge_seen_kib) / 1024;
}

void register_all() {
  struct Variant {
    const char* name;
    Library library;
    Memory memory;
  };
  const Variant variants[] = {
      {"debian/malloc", Library::debian, Memory::malloc}, {"debian/huge", Library::debian, Memory::huge},
      {"sse2/malloc", Library::sse2, Memory::malloc},     {"sse2/huge", Library::sse2, Memory::huge},
      {"avx2/malloc", Library::avx2, Memory::malloc},     {"avx2/huge", Library::avx2, Memory::huge},
      {"avx512/malloc", Library::avx512, Memory::malloc}, {"avx512/huge", Library::avx512, Memory::huge},
  };
  for (const Variant& v : variants) {
    benchmark::RegisterBenchmark((std::string("argon2id/") + v.name).c_str(), BM_Argon2id, v.library, v.memory)
        ->ArgNames({"KiB", "passes"})
        ->Args({256 << 10, 3})
        ->Args({1 << 20, 2})
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1);
  }
}

const bool registered = (register_all(), true);

}  // namespace
}  // namespace quarn::bench
