#!/usr/bin/env bash
# Sanitizer runs of the native tree, each in a build folder of its own:
#   address   AddressSanitizer with UndefinedBehaviorSanitizer over the whole
#             native test suite (slow cases left out, as in scripts/test.sh);
#   thread    ThreadSanitizer over the threaded code: the extraction
#             pipeline and the self-extractor's job.
# Usage: scripts/test-sanitizers.sh [address|thread]...   (default: both)
# scripts/test.sh runs both; the exit status is non-zero when any run fails.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$root/scripts/install-deps.sh"

# -O1 with line tables only: readable reports, and the builds stay short
# enough for every test run.
configure() { # dir sanitizers
  cmake -S "$root" -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_FLAGS="-O1 -g1" -DCMAKE_C_FLAGS="-O1 -g1" \
    -DQUARN_SANITIZE="$2" >/dev/null
}

# allocator_may_return_null: the fault tests refuse memory on purpose and
# expect the library's clean error, not the sanitizer's abort.
run_address() {
  local dir="$root/build/asan"
  configure "$dir" address,undefined
  cmake --build "$dir"
  (cd "$dir" && ASAN_OPTIONS="detect_leaks=1 abort_on_error=1 allocator_may_return_null=1" UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1" \
    ctest -j "$(nproc)" -LE slow --output-on-failure)
}

run_thread() {
  local dir="$root/build/tsan"
  configure "$dir" thread
  cmake --build "$dir" --target quarn_core_tests
  # The filter names every suite whose cases start threads.
  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" "$dir/tests/quarn_core_tests" \
    --gtest_filter='ExtractTest.*:JobTest.*:PathAttackExtraction.*:DiskFull*.*' --gtest_brief=1
}

runs=("$@")
((${#runs[@]})) || runs=(address thread)
status=0
for run in "${runs[@]}"; do
  case "$run" in
    address) echo "== AddressSanitizer + UndefinedBehaviorSanitizer"; run_address || status=1 ;;
    thread) echo "== ThreadSanitizer"; run_thread || status=1 ;;
    *) echo "usage: scripts/test-sanitizers.sh [address|thread]..." >&2; exit 2 ;;
  esac
done
exit "$status"
